// The launch sequence: the road of one run, from the role decision to the exit status.
#ifndef VELDRA_LAUNCHER_LAUNCH_H
#define VELDRA_LAUNCHER_LAUNCH_H

int run_launcher(int argc, wchar_t** argv);

#endif
