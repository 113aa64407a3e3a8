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

static void stop_child()
{
    HANDLE process = take_child_process();
    if (process == nullptr) {
        return;
    }
    // Ended with the status Ctrl+C gives, so that no one takes an application cut short for
    // one that succeeded.
    if (os.WaitForSingleObject(process, child_grace_milliseconds) != WAIT_OBJECT_0) {
        os.TerminateProcess(process, STATUS_CONTROL_C_EXIT);
    }
    os.CloseHandle(process);
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

void teardown()
{
    stop_child();
    if (!unpack_started) {
        return;
    }
    remove_unpack_dir();
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

BOOL WINAPI console_control_handler(DWORD control_type)
{
    switch (control_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // First, so that the main thread writes and launches nothing more from here on.
        console_stop_requested = true;
        wait_for_pending_launch();
        teardown();
        break;
    default:
        break;
    }
    return FALSE;
}

// The main thread has seen a console stop: it writes nothing more, so a removal that runs
// after its last write leaves nothing behind, whatever the handler's own removal found. Then
// it waits for the system's default handling to end the process.
void halt_after_console_stop()
{
    if (unpack_started) {
        remove_unpack_dir();
    }
    for (;;) {
        os.Sleep(INFINITE);
    }
}
