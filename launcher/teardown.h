// Shutdown: stop the child if it still runs and remove the unpack directory.
#ifndef VELDRA_LAUNCHER_TEARDOWN_H
#define VELDRA_LAUNCHER_TEARDOWN_H

#include "os/win_calls.h"

// A closing console (CTRL_CLOSE_EVENT) gives each of its processes about 5 s before the system
// ends it, the parent in the middle of its handler included: the grace period, the ending of
// the child and every removal attempt must fit in that. 3 s of grace leave the application
// most of the time the system would give it anyway; the retries, 1 s in all, outlast the
// moment an ended child's files stay open, and the remaining second is the removal walks'
// own time (a few milliseconds for tens of files under Wine) and the start of the handler's
// thread.
enum {
    child_grace_milliseconds = 3000,
    removal_retries = 10,
    removal_pause_milliseconds = 100,
    launch_poll_milliseconds = 5,
};

// Gives a running child its grace period, ends it if it outlives it, then removes unpack_dir
// (once unpacking has started), retrying while the directory is still there.
void teardown();
// Runs teardown for Ctrl+C, Ctrl+Break, close, logoff and shutdown, once a launch under way has
// either resumed or ended its child, then ends the process itself: with the child's status
// when the child ended by itself within its grace, else with STATUS_CONTROL_C_EXIT. Other
// events return FALSE.
BOOL WINAPI console_control_handler(DWORD control_type);
// The child's handler for the same events, below the application's own: ends the child with
// STATUS_CONTROL_C_EXIT, as the system's default handling does on Windows.
BOOL WINAPI child_console_control_handler(DWORD control_type);

// The main thread's side of a console stop: removes what has been unpacked, and never returns;
// the console handler ends the process. The walk has closed its files by then.
[[noreturn]] void halt_after_console_stop();

// Takes the child handle out of child_process, atomically: the caller owns and closes what it
// gets, and any other thread gets none.
HANDLE take_child_process();

#endif
