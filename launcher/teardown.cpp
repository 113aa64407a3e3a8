// Shutdown and console control. teardown may run on the main thread and on the thread the
// system starts for a console control event at the same time: the child handle is handed over
// by an interlocked exchange, and everything else here lives on the running thread's stack.
#include "launcher/teardown.h"

#include "launcher/run_state.h"
#include "paths/bounded.h"

#include <cwchar>

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
    if (os.WaitForSingleObject(process, child_grace_milliseconds) != WAIT_OBJECT_0) {
        os.TerminateProcess(process, 0);
    }
    os.CloseHandle(process);
}

// One removal attempt with a request filled afresh: the shell may write into it. The list of
// paths ends with a second NUL, so it names unpack_dir and nothing else.
static void remove_unpack_dir_once()
{
    wchar_t from[path_capacity + 1];
    copy_bounded(from, unpack_dir, path_capacity);
    from[wcslen(from) + 1] = L'\0';
    SHFILEOPSTRUCTW request = {};
    request.hwnd = nullptr;
    request.wFunc = FO_DELETE;
    request.pFrom = from;
    request.pTo = L"";
    request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    request.fAnyOperationsAborted = FALSE;
    request.hNameMappings = nullptr;
    request.lpszProgressTitle = L"";
    os.SHFileOperationW(&request);
}

static bool unpack_dir_still_there()
{
    DWORD attributes = os.GetFileAttributesW(unpack_dir);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A directory that cannot be removed (a file in it held open elsewhere) is left without a word.
static void remove_unpack_dir()
{
    remove_unpack_dir_once();
    for (int retry = 0; retry < removal_retries && unpack_dir_still_there(); ++retry) {
        os.Sleep(removal_pause_milliseconds);
        remove_unpack_dir_once();
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

BOOL WINAPI console_control_handler(DWORD control_type)
{
    switch (control_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        teardown();
        break;
    default:
        break;
    }
    return FALSE;
}
