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
        fatal_system_error("Error, couldn't launch child", GetLastError());
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

static void wait_for_child(HANDLE process)
{
    os.WaitForSingleObject(process, INFINITE);
    DWORD status = 0;
    child_exit_code = os.GetExitCodeProcess(process, &status) ? status : 1;
    os.CloseHandle(process);
    HANDLE unclaimed = take_child_process();
    if (unclaimed != nullptr) {
        os.CloseHandle(unclaimed);
    }
}

void launch_child_and_wait()
{
    fill_launcher_module_name();
    STARTUPINFOW startup;
    fill_startup_info(&startup);
    wchar_t* command_line = build_child_command_line();
    PROCESS_INFORMATION info = {};
    if (!os.CreateProcessW(launcher_module_name, command_line, nullptr, nullptr, TRUE,
                           NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &info)) {
        fatal_system_error("Error, couldn't launch child", GetLastError());
    }
    os.CloseHandle(info.hThread);
    child_exit_code = 0;
    publish_child_for_teardown(info.hProcess);
    wait_for_child(info.hProcess);
}
