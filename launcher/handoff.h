// The child's hand-off to the main module's run_code.
#ifndef VELDRA_LAUNCHER_HANDOFF_H
#define VELDRA_LAUNCHER_HANDOFF_H

int hand_off_to_main_module(int argc, wchar_t** argv);

#endif
