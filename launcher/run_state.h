// The run state: process-wide values that live from start to exit and are never freed.
#ifndef VELDRA_LAUNCHER_RUN_STATE_H
#define VELDRA_LAUNCHER_RUN_STATE_H

#include "os/win_calls.h"

enum {
    path_capacity = 4096,
    entry_name_capacity = 1024,
    command_line_capacity = 32768,
};

extern bool is_child;
extern bool unpack_started;
extern wchar_t unpack_dir[path_capacity];
extern wchar_t main_module_path[path_capacity];
extern wchar_t target_path[path_capacity];
extern wchar_t entry_name[entry_name_capacity];
// Written by the main thread, taken by whichever thread closes it first (see teardown).
extern HANDLE volatile child_process;
extern DWORD child_exit_code;
extern wchar_t launcher_module_name[path_capacity];
extern wchar_t child_command_line[command_line_capacity];

#endif
