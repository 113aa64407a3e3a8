// The parent's side of the child: the variables the application reads, the child's command
// line, the launch with the parent's console and handles, and the unbounded wait.
#include "launcher/child.h"

#include "launcher/command_line.h"
#include "launcher/fatal.h"
#include "launcher/run_state.h"
#include "launcher/teardown.h"
#include "os/win_calls.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/self_path.h"

#include <cwchar>

static wchar_t launcher_directory[self_path_capacity];

void cut_at_last_backslash(wchar_t* path)
{
    wchar_t* last = wcsrchr(path, L'\\');
    if (last != nullptr) {
        *last = L'\0';
    }
}

void set_application_variables(const wchar_t* original_argv0)
{
    // A copy: the cached own path stays whole for everyone else.
    copy_bounded(launcher_directory, get_self_path(false), self_path_capacity);
    cut_at_last_backslash(launcher_directory);
    setenv_ascii("VELDRA_ONEFILE_DIRECTORY", launcher_directory);
    setenv_ascii("VELDRA_ORIGINAL_ARGV0", original_argv0);
}

static void fill_launcher_module_name()
{
    if (launcher_module_name[0] != L'\0') {
        return;
    }
    // A full buffer means a cut name, which would start the wrong program.
    DWORD length = os.GetModuleFileNameW(nullptr, launcher_module_name, path_capacity);
    if (length == 0 || length >= path_capacity) {
        fail_fast();
    }
}

// The system's split of our own command line. When it yields no list (it can only fail for
// want of memory) the launch is impossible as promised: running the application with other
// arguments than the user gave would be worse than stopping, so this stops with the launch
// message and the system's code, exactly as a failing CreateProcessW does.
static wchar_t** split_own_command_line(int* count)
{
    wchar_t** arguments = os.CommandLineToArgvW(os.GetCommandLineW(), count);
    if (arguments == nullptr || *count < 1) {
        fatal_system_error(error_launch_child, os.GetLastError());
    }
    return arguments;
}

wchar_t* build_child_command_line()
{
    int count = 0;
    // The list is kept until the process ends, never released.
    wchar_t** arguments = split_own_command_line(&count);
    child_command_line[0] = L'\0';
    fill_launcher_module_name();
    arguments[0] = launcher_module_name;
    join_arguments(child_command_line, count, arguments, command_line_capacity);
    return child_command_line;
}

static void fill_startup_info(STARTUPINFOW* startup)
{
    *startup = STARTUPINFOW{};
    startup->cb = sizeof *startup;
    startup->dwFlags = STARTF_USESTDHANDLES;
    startup->hStdInput = os.GetStdHandle(STD_INPUT_HANDLE);
    startup->hStdOutput = os.GetStdHandle(STD_OUTPUT_HANDLE);
    startup->hStdError = os.GetStdHandle(STD_ERROR_HANDLE);
}

// Who owns the child handle: the main thread keeps the handle CreateProcessW gave it, for its
// own unbounded wait and the exit status, and closes it itself. teardown on the console
// control thread gets a duplicate in child_process; whichever thread takes child_process with
// an interlocked exchange (take_child_process) owns that duplicate and closes it. So every
// handle has one owner, is closed once, and no thread can close a handle that the other is
// still waiting on. Without a duplicate the control thread cannot stop the child, but the
// child shares the console and receives the same event itself.
static void publish_child_for_teardown(HANDLE process)
{
    HANDLE duplicate = nullptr;
    if (os.DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &duplicate, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        InterlockedExchangePointer(&child_process, duplicate);
    }
}

static void close_unclaimed_duplicate()
{
    HANDLE unclaimed = take_child_process();
    if (unclaimed != nullptr) {
        os.CloseHandle(unclaimed);
    }
}

static void wait_for_child(HANDLE process)
{
    os.WaitForSingleObject(process, INFINITE);
    DWORD status = 0;
    child_exit_code = os.GetExitCodeProcess(process, &status) ? status : 1;
    MemoryBarrier();
    child_exit_known = true;
    os.CloseHandle(process);
    close_unclaimed_duplicate();
}

// The parent's own executable, held from before unpacking until the child has been created
// from it; null when not held.
static HANDLE own_executable;

// A running executable can be renamed, and its folder (Downloads, a share) may be writable by
// others: another file could then stand at this path when the parent, perhaps elevated,
// starts "itself". Read access with read sharing alone keeps the file from being renamed,
// deleted or written until the child is created; read sharing lets the system open it for the
// child, and other copies of the launcher start from it at the same time.
//
// A parent that cannot hold its executable stops: the file may be gone or renamed already,
// or someone holds it open for writing or deleting, which is how a swap starts; running on
// without the hold is exactly the case it exists for, and the parent may be elevated. A
// launcher on a read-only share or medium still starts, since a read open with read sharing
// needs no right to write. The hold begins when the parent first runs its own code: a swap
// in the moment between the start of the process and this open is not caught.
void hold_own_executable()
{
    fill_launcher_module_name();
    HANDLE file = os.CreateFileW(launcher_module_name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fatal_system_error(error_hold_own_executable,
                           os.GetLastError());
    }
    own_executable = file;
}

static void release_own_executable()
{
    if (own_executable != nullptr) {
        os.CloseHandle(own_executable);
        own_executable = nullptr;
    }
}

// While the launch is pending the console handler waits instead of letting the process end;
// see child_launch_pending. Interlocked, so that the store is ordered before the main
// thread's next look at console_stop_requested, as the handler's store of that flag is
// ordered before its look here.
static void begin_launch()
{
    InterlockedExchange(&child_launch_pending, 1);
}

static void end_launch()
{
    InterlockedExchange(&child_launch_pending, 0);
}

// The folder was unpacked for this child alone, so it goes before the message.
[[noreturn]] static void fail_launch(DWORD error)
{
    end_launch();
    teardown();
    fatal_system_error(error_launch_child, error);
}

static wchar_t child_image_path[path_capacity];

static bool file_identity(HANDLE file, BY_HANDLE_FILE_INFORMATION* identity)
{
    return os.GetFileInformationByHandle(file, identity) != FALSE;
}

// 0 when the suspended child runs the very file the parent holds, else the code for the
// launch line. The system opened the executable once more by its path to make the child, and
// a link on the way that was switched since the hold began leads to another file. The child's
// image, by the name the system made it from, must be the held file (volume and file index).
static DWORD child_image_mismatch(HANDLE process)
{
    BY_HANDLE_FILE_INFORMATION held = {};
    BY_HANDLE_FILE_INFORMATION image = {};
    DWORD length = path_capacity;
    if (!file_identity(own_executable, &held) ||
        !os.QueryFullProcessImageNameW(process, 0, child_image_path, &length)) {
        return os.GetLastError();
    }
    HANDLE file = os.CreateFileW(child_image_path, FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return os.GetLastError();
    }
    const bool known = file_identity(file, &image);
    const DWORD error = known ? 0 : os.GetLastError();
    os.CloseHandle(file);
    if (!known) {
        return error;
    }
    const bool same = held.dwVolumeSerialNumber == image.dwVolumeSerialNumber &&
                      held.nFileIndexHigh == image.nFileIndexHigh && held.nFileIndexLow == image.nFileIndexLow;
    return same ? 0 : ERROR_FILE_INVALID;
}

// Created suspended: no code of the child runs before the parent has published the handle
// and looked at the stop flag once more, nor before it is known to run the held executable.
static void create_child_suspended(wchar_t* command_line, STARTUPINFOW* startup, PROCESS_INFORMATION* info)
{
    BOOL created = os.CreateProcessW(launcher_module_name, command_line, nullptr, nullptr, TRUE,
                                     NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr, startup, info);
    DWORD error = created ? child_image_mismatch(info->hProcess) : os.GetLastError();
    release_own_executable();
    if (created && error != 0) {
        os.TerminateProcess(info->hProcess, error);
        os.CloseHandle(info->hThread);
        os.CloseHandle(info->hProcess);
    }
    if (!created || error != 0) {
        fail_launch(error);
    }
    child_created = true;
}

static void close_launch_handles(PROCESS_INFORMATION* info)
{
    os.CloseHandle(info->hThread);
    close_unclaimed_duplicate();
    os.CloseHandle(info->hProcess);
}

// A stop came after the child was created: it has run no code of its own, so it is ended at
// once, with the status of a process that Ctrl+C ended, and nothing starts.
[[noreturn]] static void abandon_suspended_child(PROCESS_INFORMATION* info)
{
    os.TerminateProcess(info->hProcess, STATUS_CONTROL_C_EXIT);
    close_launch_handles(info);
    end_launch();
    halt_after_console_stop();
}

static void resume_child(PROCESS_INFORMATION* info)
{
    if (os.ResumeThread(info->hThread) == static_cast<DWORD>(-1)) {
        DWORD error = os.GetLastError();
        os.TerminateProcess(info->hProcess, error);
        close_launch_handles(info);
        fail_launch(error);
    }
    os.CloseHandle(info->hThread);
}

void launch_child_and_wait()
{
    fill_launcher_module_name();
    STARTUPINFOW startup;
    fill_startup_info(&startup);
    wchar_t* command_line = build_child_command_line();
    PROCESS_INFORMATION info = {};
    begin_launch();
    // Ctrl+C during unpacking: the handler removes the folder; no application starts.
    if (console_stop_requested) {
        release_own_executable();
        end_launch();
        halt_after_console_stop();
    }
    create_child_suspended(command_line, &startup, &info);
    child_exit_code = 0;
    publish_child_for_teardown(info.hProcess);
    if (console_stop_requested) {
        abandon_suspended_child(&info);
    }
    resume_child(&info);
    end_launch();
    wait_for_child(info.hProcess);
}
