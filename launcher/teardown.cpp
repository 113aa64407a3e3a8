// Shutdown and console control. teardown may run on the main thread and on the thread the
// system starts for a console control event at the same time: the child handle is handed over
// by an interlocked exchange, and everything else here lives on the running thread's stack.
#include "launcher/teardown.h"

#include "launcher/remove_tree.h"
#include "launcher/run_state.h"
#include "paths/private_folder.h"
#include "payload/extract.h"

HANDLE take_child_process()
{
    return InterlockedExchangePointer(&child_process, nullptr);
}

// How the child's end came about, for the status a console stop ends the parent with.
enum child_end { no_child_here, child_ended_by_itself, child_ended_by_launcher };

static child_end stop_child(DWORD* status)
{
    HANDLE process = take_child_process();
    if (process == nullptr) {
        return no_child_here;
    }
    child_end end = child_ended_by_itself;
    // Ended with the status Ctrl+C gives, so that no one takes an application cut short for
    // one that succeeded.
    if (os.WaitForSingleObject(process, child_grace_milliseconds) != WAIT_OBJECT_0) {
        os.TerminateProcess(process, STATUS_CONTROL_C_EXIT);
        end = child_ended_by_launcher;
    } else if (!os.GetExitCodeProcess(process, status)) {
        *status = 1;
    }
    os.CloseHandle(process);
    return end;
}

// A directory that cannot be removed (a file in it held open elsewhere) is left without a word.
// A folder the run did not create itself is never touched.
static void remove_unpack_dir()
{
    if (!unpack_dir_created) {
        return;
    }
    // The hold keeps out every opening for deletion, the walk's own among them.
    release_unpack_dir_hold();
    remove_tree_once(unpack_dir);
    for (int retry = 0; retry < removal_retries && tree_root_still_there(unpack_dir); ++retry) {
        os.Sleep(removal_pause_milliseconds);
        remove_tree_once(unpack_dir);
    }
}

static child_end stop_child_and_remove(DWORD* status)
{
    child_end end = stop_child(status);
    if (unpack_started) {
        remove_unpack_dir();
    }
    return end;
}

void teardown()
{
    DWORD ignored = 0;
    stop_child_and_remove(&ignored);
}

// The status of a parent that a console event stops. The child's own, when it ended by itself
// within its grace (the application handled the event and chose it); the main thread may have
// read it first, and then took the handle away. Otherwise the child had to be ended, or the
// event came before there was a child: STATUS_CONTROL_C_EXIT, never the 0 of a success.
static DWORD console_stop_status(child_end end, DWORD status)
{
    if (end == child_ended_by_itself) {
        return status;
    }
    MemoryBarrier();
    if (end == no_child_here && child_exit_known) {
        return child_exit_code;
    }
    return STATUS_CONTROL_C_EXIT;
}

// Ending the process while the main thread is between creating the child suspended and
// resuming or ending it would leave that child behind, suspended for good. The barrier orders
// the flag's store before the load here, as the main thread's interlocked store of the
// pending mark comes before its look at the flag: one of the two threads sees the other.
static void wait_for_pending_launch()
{
    MemoryBarrier();
    while (InterlockedCompareExchange(&child_launch_pending, 0, 0) != 0) {
        os.Sleep(launch_poll_milliseconds);
    }
}

static bool is_stopping_event(DWORD control_type)
{
    switch (control_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        return true;
    default:
        return false;
    }
}

BOOL WINAPI console_control_handler(DWORD control_type)
{
    if (!is_stopping_event(control_type)) {
        return FALSE;
    }
    // First, so that the main thread writes and launches nothing more from here on.
    console_stop_requested = true;
    // The first event's thread decides; a later one (a second Ctrl+C) waits for it to end the
    // process, so that it can neither cut the grace short nor end with a status of its own.
    if (InterlockedExchange(&console_stop_claimed, 1) != 0) {
        for (;;) {
            os.Sleep(INFINITE);
        }
    }
    wait_for_pending_launch();
    DWORD status = 0;
    child_end end = stop_child_and_remove(&status);
    // Ended here, not by the system's default handling: that would race the main thread's
    // own end with a status of its choosing (0 under Wine).
    os.exit(static_cast<int>(console_stop_status(end, status)));
    return TRUE;
}

// The child's last handler, registered before the application's own, which the system asks
// first: an event that no handler of the application claims ends the child as the system's
// default handling does on Windows, with STATUS_CONTROL_C_EXIT. (Wine's default ends it with
// 0, which the parent would pass on as a success.)
BOOL WINAPI child_console_control_handler(DWORD control_type)
{
    if (!is_stopping_event(control_type)) {
        return FALSE;
    }
    os.exit(static_cast<int>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

// The main thread has seen a console stop: it writes nothing more, so a removal that runs
// after its last write leaves nothing behind, whatever the handler's own removal found. Then
// it waits for the handler to end the process.
void halt_after_console_stop()
{
    if (unpack_started) {
        remove_unpack_dir();
    }
    for (;;) {
        os.Sleep(INFINITE);
    }
}
