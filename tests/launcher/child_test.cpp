// The parent's side of the child: the application's variables, the launch parameters, the
// wait and exit status, and who closes the child handle when a control event comes between.
#include "launcher/child.h"
#include "launcher/run_state.h"
#include "launcher/teardown.h"
#include "paths/environment.h"
#include "tests/support/probe.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <set>
#include <string>
#include <vector>

TEST(ApplicationVariables, TheLauncherFolderIsItsPathCutAtTheLastBackslash)
{
    struct cut_case {
        const wchar_t* path;
        const wchar_t* folder;
    };
    const cut_case cases[] = {
        {L"C:\\app.exe", L"C:"},
        {L"C:\\tools\\x y\\app.exe", L"C:\\tools\\x y"},
        {L"\\\\server\\share\\app.exe", L"\\\\server\\share"},
        {L"app.exe", L"app.exe"},
        {L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.path));
        wchar_t path[64];
        wcscpy(path, c.path);
        cut_at_last_backslash(path);
        EXPECT_STREQ(c.folder, path);
    }
}

namespace {

const wchar_t* fake_module_name;

DWORD WINAPI module_name_stub(HMODULE, LPWSTR name, DWORD size)
{
    wcsncpy(name, fake_module_name, size);
    return static_cast<DWORD>(wcslen(fake_module_name));
}

}  // namespace

VELDRA_PROBE(application_variables)
{
    fake_module_name = argv[0];
    os.GetModuleFileNameW = module_name_stub;
    set_application_variables(argv[1]);
    printf("%ls|%ls", getenv_ascii("VELDRA_ONEFILE_DIRECTORY"), getenv_ascii("VELDRA_ORIGINAL_ARGV0"));
    return 0;
}

TEST(ApplicationVariables, TheApplicationLearnsTheLauncherFolderAndTheTypedName)
{
    EXPECT_EQ("C:|app", run_probe(L"application_variables", {L"C:\\app.exe", L"app"}).out);
    EXPECT_EQ("Z:\\dir with blank|..\\APP~1.EXE",
              run_probe(L"application_variables", {L"Z:\\dir with blank\\app.exe", L"..\\APP~1.EXE"}).out);
}

// A fake child process: every call on a handle is logged, and a call on a handle that was
// already closed counts as misuse.
namespace {

HANDLE const fake_process = reinterpret_cast<HANDLE>(0x1100);
HANDLE const fake_thread = reinterpret_cast<HANDLE>(0x1200);
HANDLE const fake_duplicate = reinterpret_cast<HANDLE>(0x1300);

struct launch_record {
    std::vector<std::string> calls;
    std::set<HANDLE> closed;
    int misuse = 0;
    std::wstring application;
    std::wstring command_line;
    BOOL inherit = FALSE;
    DWORD flags = 0;
    void* environment = reinterpret_cast<void*>(1);
    const wchar_t* directory = L"unset";
    STARTUPINFOW startup = {};
    BOOL exit_code_readable = TRUE;
    DWORD exit_code = 0;
    bool control_event_during_wait = false;
    DWORD grace_result = WAIT_TIMEOUT;
} record;

std::string name_of(HANDLE handle)
{
    const std::map<HANDLE, std::string> names = {
        {fake_process, "process"}, {fake_thread, "thread"}, {fake_duplicate, "duplicate"}};
    auto found = names.find(handle);
    return found == names.end() ? "other" : found->second;
}

void use(HANDLE handle, const std::string& what)
{
    if (record.closed.count(handle)) {
        ++record.misuse;
    }
    record.calls.push_back(what + " " + name_of(handle));
}

HANDLE WINAPI std_handle_stub(DWORD which)
{
    record.calls.push_back("std " + std::to_string(static_cast<long>(which)));
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x40 - which));
}

BOOL WINAPI create_process_stub(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES,
                                LPSECURITY_ATTRIBUTES, BOOL inherit, DWORD flags, LPVOID environment,
                                LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info)
{
    record.calls.push_back("create");
    record.application = application;
    record.command_line = command_line;
    record.inherit = inherit;
    record.flags = flags;
    record.environment = environment;
    record.directory = directory;
    record.startup = *startup;
    info->hProcess = fake_process;
    info->hThread = fake_thread;
    return TRUE;
}

BOOL WINAPI duplicate_stub(HANDLE, HANDLE source, HANDLE, LPHANDLE target, DWORD, BOOL inherit, DWORD options)
{
    use(source, "duplicate");
    EXPECT_FALSE(inherit);
    EXPECT_EQ(static_cast<DWORD>(DUPLICATE_SAME_ACCESS), options);
    *target = fake_duplicate;
    return TRUE;
}

DWORD WINAPI wait_stub(HANDLE handle, DWORD milliseconds)
{
    use(handle, "wait " + std::to_string(static_cast<long>(milliseconds)));
    if (milliseconds == INFINITE && record.control_event_during_wait) {
        // The control thread runs while the main thread blocks here.
        console_control_handler(CTRL_C_EVENT);
    }
    return milliseconds == INFINITE ? WAIT_OBJECT_0 : record.grace_result;
}

BOOL WINAPI exit_code_stub(HANDLE handle, LPDWORD code)
{
    use(handle, "exit code");
    *code = record.exit_code;
    if (!record.exit_code_readable) {
        *code = 0x12345678;  // whatever a failing call leaves behind must not be used
    }
    return record.exit_code_readable;
}

BOOL WINAPI terminate_stub(HANDLE handle, UINT code)
{
    use(handle, "terminate " + std::to_string(code));
    return TRUE;
}

BOOL WINAPI close_stub(HANDLE handle)
{
    use(handle, "close");
    record.closed.insert(handle);
    return TRUE;
}

LPWSTR WINAPI command_line_stub()
{
    return const_cast<LPWSTR>(L"typed.exe one \"two words\"");
}

DWORD WINAPI module_name_fixed(HMODULE, LPWSTR name, DWORD)
{
    wcscpy(name, L"C:\\dir with blank\\app.exe");
    return static_cast<DWORD>(wcslen(name));
}

void install_fake_child()
{
    record = launch_record{};
    launcher_module_name[0] = L'\0';
    child_process = nullptr;
    unpack_started = false;
    os.GetStdHandle = std_handle_stub;
    os.CreateProcessW = create_process_stub;
    os.DuplicateHandle = duplicate_stub;
    os.WaitForSingleObject = wait_stub;
    os.GetExitCodeProcess = exit_code_stub;
    os.TerminateProcess = terminate_stub;
    os.CloseHandle = close_stub;
    os.GetCommandLineW = command_line_stub;
    os.GetModuleFileNameW = module_name_fixed;
}

}  // namespace

TEST(ChildLaunch, StartsItsOwnExecutableWithTheParentsConsoleHandlesAndEnvironment)
{
    seam_scope seam;
    install_fake_child();
    record.exit_code = 7;
    launch_child_and_wait();

    EXPECT_EQ(L"C:\\dir with blank\\app.exe", record.application);
    EXPECT_EQ(L"\"C:\\dir with blank\\app.exe\" one \"two words\"", record.command_line);
    EXPECT_TRUE(record.inherit);
    EXPECT_EQ(static_cast<DWORD>(NORMAL_PRIORITY_CLASS), record.flags);
    EXPECT_EQ(nullptr, record.environment);
    EXPECT_EQ(nullptr, record.directory);
    EXPECT_EQ(sizeof(STARTUPINFOW), record.startup.cb);
    EXPECT_EQ(static_cast<DWORD>(STARTF_USESTDHANDLES), record.startup.dwFlags);
    EXPECT_EQ(reinterpret_cast<HANDLE>(0x40 - STD_INPUT_HANDLE), record.startup.hStdInput);
    EXPECT_EQ(reinterpret_cast<HANDLE>(0x40 - STD_OUTPUT_HANDLE), record.startup.hStdOutput);
    EXPECT_EQ(reinterpret_cast<HANDLE>(0x40 - STD_ERROR_HANDLE), record.startup.hStdError);
    EXPECT_EQ(nullptr, record.startup.lpDesktop);
    EXPECT_EQ(0u, record.startup.wShowWindow);

    const std::vector<std::string> expected = {
        "std -10", "std -11", "std -12", "create", "close thread", "duplicate process",
        "wait -1 process", "exit code process", "close process", "close duplicate"};
    EXPECT_EQ(expected, record.calls);
    EXPECT_EQ(0, record.misuse);
    EXPECT_EQ(7u, child_exit_code);
    EXPECT_EQ(nullptr, child_process);
}

TEST(ChildLaunch, AnExitStatusThatCannotBeReadBecomesOne)
{
    seam_scope seam;
    install_fake_child();
    record.exit_code_readable = FALSE;
    launch_child_and_wait();
    EXPECT_EQ(1u, child_exit_code);
    EXPECT_EQ(0, record.misuse);
}

TEST(ChildLaunch, AControlEventDuringTheWaitClosesEveryHandleOnceAndUsesNoneAfterwards)
{
    seam_scope seam;
    for (DWORD grace_result : {static_cast<DWORD>(WAIT_TIMEOUT), static_cast<DWORD>(WAIT_OBJECT_0)}) {
        install_fake_child();
        record.control_event_during_wait = true;
        record.grace_result = grace_result;
        record.exit_code = 0xC000013A;
        launch_child_and_wait();

        std::vector<std::string> expected = {"std -10", "std -11", "std -12", "create", "close thread",
                                             "duplicate process", "wait -1 process", "wait 5000 duplicate"};
        if (grace_result == WAIT_TIMEOUT) {
            expected.push_back("terminate 0 duplicate");
        }
        for (const char* call : {"close duplicate", "exit code process", "close process"}) {
            expected.push_back(call);
        }
        EXPECT_EQ(expected, record.calls);
        EXPECT_EQ(0, record.misuse);
        // The main thread kept its own handle, so it still reads the status.
        EXPECT_EQ(0xC000013Au, child_exit_code);
    }
}

TEST(ChildLaunch, AControlEventAfterTheWaitFindsNoChild)
{
    seam_scope seam;
    install_fake_child();
    launch_child_and_wait();
    record.calls.clear();
    console_control_handler(CTRL_C_EVENT);
    EXPECT_TRUE(record.calls.empty());
}

namespace {
BOOL WINAPI failing_create_process(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                   LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION)
{
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}
}  // namespace

VELDRA_PROBE(failing_launch)
{
    os.CreateProcessW = failing_create_process;
    launch_child_and_wait();
    return 0;
}

TEST(ChildLaunch, AFailingCreateProcessStopsWithTheLaunchMessage)
{
    process_result result = run_probe(L"failing_launch");
    EXPECT_EQ(2u, result.exit_code);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("Error, couldn't launch child ([Error 2] " + system_text(ERROR_FILE_NOT_FOUND) + ")\r\n", result.err);
}

// A real child: this test executable, started by the launch code as its own child.
VELDRA_PROBE(child_side)
{
    printf("child out, mark=%ls\n", getenv_ascii("VELDRA_TEST_MARK"));
    fflush(stdout);
    fprintf(stderr, "child err\n");
    return static_cast<int>(wcstoul(argv[0], nullptr, 0));
}

namespace {
std::wstring real_child_line;
LPWSTR WINAPI real_child_line_stub()
{
    return &real_child_line[0];
}
}  // namespace

VELDRA_PROBE(real_launch)
{
    real_child_line = std::wstring(L"ignored --veldra-probe child_side ") + argv[0];
    os.GetCommandLineW = real_child_line_stub;
    setenv_ascii("VELDRA_TEST_MARK", L"inherited");
    launch_child_and_wait();
    printf("status %lx, handle %s\n", child_exit_code, child_process == nullptr ? "closed" : "open");
    return 0;
}

TEST(ChildLaunch, ARealChildSharesTheHandlesAndEnvironmentAndReturnsAll32Bits)
{
    for (const wchar_t* status : {L"7", L"0", L"0xC0000005"}) {
        process_result result = run_probe(L"real_launch", {status});
        EXPECT_EQ(0u, result.exit_code);
        std::string expected_status = narrow(status) == "0xC0000005" ? "c0000005" : narrow(status);
        EXPECT_EQ("child out, mark=inherited\r\nstatus " + expected_status + ", handle closed\r\n", result.out);
        EXPECT_EQ("child err\r\n", result.err);
    }
}
