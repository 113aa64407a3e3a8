// Shutdown: stop the child if it still runs and remove the unpack directory.
#ifndef VELDRA_LAUNCHER_TEARDOWN_H
#define VELDRA_LAUNCHER_TEARDOWN_H

#include "os/win_calls.h"

enum {
    child_grace_milliseconds = 5000,
    removal_retries = 20,
    removal_pause_milliseconds = 100,
};

// Gives a running child its grace period, ends it if it outlives it, then removes unpack_dir
// (once unpacking has started), retrying while the directory is still there.
void teardown();
// Runs teardown for Ctrl+C, Ctrl+Break, close, logoff and shutdown; always returns FALSE so
// that the system's default handling ends the process afterwards.
BOOL WINAPI console_control_handler(DWORD control_type);

// The main thread's side of a console stop: closes `open_file` (if any), removes what has
// been unpacked, and never returns; the system ends the process.
[[noreturn]] void halt_after_console_stop(HANDLE open_file);

// Takes the child handle out of child_process, atomically: the caller owns and closes what it
// gets, and any other thread gets none.
HANDLE take_child_process();

#endif
