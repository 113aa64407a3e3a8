// The run state: process-wide values that live from start to exit and are never freed.
#ifndef VELDRA_LAUNCHER_RUN_STATE_H
#define VELDRA_LAUNCHER_RUN_STATE_H

#include "os/win_calls.h"
#include "payload/walk_buffers.h"

enum {
    command_line_capacity = 32768,
};

extern bool is_child;
// Volatile: the console control thread reads it while the main thread sets it.
extern volatile bool unpack_started;
// Set by the console control handler before it tears down; the main thread then stops
// writing and launches no child.
extern volatile bool console_stop_requested;
// teardown's own handle of the running child; the thread that takes it with an interlocked
// exchange closes it (see launch_child_and_wait).
extern HANDLE volatile child_process;
// 1 while the main thread creates the child suspended and decides whether to resume it. The
// console handler waits for it to fall back to 0 before it looks for a child: were the
// process to end inside that stretch, a suspended child would stay behind, never running and
// never ended.
extern volatile LONG child_launch_pending;
// 1 once a console control thread has taken the stop upon itself; it alone ends the process.
extern volatile LONG console_stop_claimed;
// Set once CreateProcessW has made the child: from then on a stop of the parent leaves the
// folder to teardown, which waits for the child first.
extern volatile bool child_created;
extern DWORD child_exit_code;
// Set once the main thread has read child_exit_code, before it takes the console handler's
// handle of the child away: a handler that finds no handle then knows the status.
extern volatile bool child_exit_known;
extern wchar_t launcher_module_name[path_capacity];
extern wchar_t child_command_line[command_line_capacity];

#endif
