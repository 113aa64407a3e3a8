// The child's hand-off to the main module's run_code.
#ifndef VELDRA_LAUNCHER_HANDOFF_H
#define VELDRA_LAUNCHER_HANDOFF_H

#include "os/win_calls.h"

// The entry point's contract: argc and argv as wmain got them, and the main module's own path;
// the callee removes its arguments.
typedef int(WINAPI* run_code_function)(int argc, wchar_t** argv, const wchar_t* main_module_path);

// Loads main_module_path with its dependencies from unpack_dir and the system directory only,
// and returns what its run_code returns.
int hand_off_to_main_module(int argc, wchar_t** argv);

#endif
