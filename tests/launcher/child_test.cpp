// The parent's side of the child: the application's variables, the launch parameters, the
// hold on the own executable, the suspended start, the wait and exit status, and who closes
// the child handle when a control event comes between.
#include "launcher/child.h"
#include "launcher/run_state.h"
#include "launcher/teardown.h"
#include "paths/environment.h"
#include "tests/support/kit.h"
#include "tests/support/probe.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <algorithm>
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
HANDLE const fake_hold = reinterpret_cast<HANDLE>(0x1400);
HANDLE const fake_image = reinterpret_cast<HANDLE>(0x1500);

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
    bool stop_during_create = false;
    DWORD resume_error = 0;
    int handler_status = -1;  // how the console handler ended the process, -1 if it did not
    // The file index of the child's image; the held executable's is 1.
    DWORD image_index = 1;
} record;

std::string name_of(HANDLE handle)
{
    const std::map<HANDLE, std::string> names = {
        {fake_process, "process"}, {fake_thread, "thread"}, {fake_duplicate, "duplicate"}, {fake_hold, "hold"},
        {fake_image, "image"}};
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
    if (record.stop_during_create) {
        // The handler has set the flag and now waits for the launch to be settled.
        console_stop_requested = true;
    }
    return TRUE;
}

DWORD WINAPI resume_stub(HANDLE thread)
{
    use(thread, "resume");
    if (record.resume_error != 0) {
        SetLastError(record.resume_error);
        return static_cast<DWORD>(-1);
    }
    return 1;
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
        record.handler_status = exit_status_of([] { console_control_handler(CTRL_C_EVENT); });
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

struct halted {};

void WINAPI halt_sleep(DWORD milliseconds)
{
    if (milliseconds == INFINITE) {
        throw halted{};
    }
}

BOOL WINAPI image_name_stub(HANDLE process, DWORD, LPWSTR name, PDWORD size)
{
    use(process, "image name");
    wcscpy(name, L"C:\\dir with blank\\app.exe");
    *size = static_cast<DWORD>(wcslen(name));
    return TRUE;
}

HANDLE WINAPI image_open_stub(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    record.calls.push_back("open image");
    return fake_image;
}

BOOL WINAPI identity_stub(HANDLE file, LPBY_HANDLE_FILE_INFORMATION identity)
{
    use(file, "identity");
    *identity = BY_HANDLE_FILE_INFORMATION{};
    identity->dwVolumeSerialNumber = 0x5EA1;
    identity->nFileIndexLow = file == fake_image ? record.image_index : 1;
    return TRUE;
}

void install_fake_child()
{
    record = launch_record{};
    launcher_module_name[0] = L'\0';
    child_process = nullptr;
    child_launch_pending = 0;
    console_stop_requested = false;
    console_stop_claimed = 0;
    child_exit_known = false;
    unpack_started = false;
    os.GetStdHandle = std_handle_stub;
    os.CreateProcessW = create_process_stub;
    os.ResumeThread = resume_stub;
    os.Sleep = halt_sleep;
    os.DuplicateHandle = duplicate_stub;
    os.WaitForSingleObject = wait_stub;
    os.GetExitCodeProcess = exit_code_stub;
    os.TerminateProcess = terminate_stub;
    os.CloseHandle = close_stub;
    os.GetCommandLineW = command_line_stub;
    os.GetModuleFileNameW = module_name_fixed;
    os.QueryFullProcessImageNameW = image_name_stub;
    os.CreateFileW = image_open_stub;
    os.GetFileInformationByHandle = identity_stub;
}

size_t count_of(const std::string& call)
{
    return static_cast<size_t>(std::count(record.calls.begin(), record.calls.end(), call));
}

// Both calls were made, the first one before the second.
bool comes_before(const std::string& first, const std::string& second)
{
    auto at_first = std::find(record.calls.begin(), record.calls.end(), first);
    auto at_second = std::find(record.calls.begin(), record.calls.end(), second);
    return at_first != record.calls.end() && at_second != record.calls.end() && at_first < at_second;
}

// The child's handles and the duplicate teardown holds, each closed exactly once and none used
// after its close.
void expect_each_handle_closed_once()
{
    for (const char* close : {"close thread", "close process", "close duplicate"}) {
        EXPECT_EQ(1u, count_of(close)) << close;
    }
    EXPECT_EQ(0, record.misuse);
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
    EXPECT_EQ(static_cast<DWORD>(NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED), record.flags);
    EXPECT_EQ(nullptr, record.environment);
    EXPECT_EQ(nullptr, record.directory);
    EXPECT_EQ(sizeof(STARTUPINFOW), record.startup.cb);
    EXPECT_EQ(static_cast<DWORD>(STARTF_USESTDHANDLES), record.startup.dwFlags);
    EXPECT_EQ(reinterpret_cast<HANDLE>(0x40 - STD_INPUT_HANDLE), record.startup.hStdInput);
    EXPECT_EQ(reinterpret_cast<HANDLE>(0x40 - STD_OUTPUT_HANDLE), record.startup.hStdOutput);
    EXPECT_EQ(reinterpret_cast<HANDLE>(0x40 - STD_ERROR_HANDLE), record.startup.hStdError);
    EXPECT_EQ(nullptr, record.startup.lpDesktop);
    EXPECT_EQ(0u, record.startup.wShowWindow);

    // Published before it runs a single instruction, so that a console stop always finds it;
    // its status read once it has ended.
    EXPECT_TRUE(comes_before("duplicate process", "resume thread"));
    EXPECT_TRUE(comes_before("resume thread", "wait -1 process"));
    EXPECT_TRUE(comes_before("wait -1 process", "exit code process"));
    expect_each_handle_closed_once();
    EXPECT_EQ(7u, child_exit_code);
    EXPECT_EQ(nullptr, child_process);
    EXPECT_EQ(0, child_launch_pending);
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

        // A child that ends within the grace is not ended; one that does not is ended with
        // STATUS_CONTROL_C_EXIT, so that an application cut short never reads as a success.
        EXPECT_EQ(1u, count_of("wait 3000 duplicate"));
        if (grace_result == WAIT_TIMEOUT) {
            EXPECT_TRUE(comes_before("wait 3000 duplicate", "terminate 3221225786 duplicate"));
        } else {
            EXPECT_EQ(0u, count_of("terminate 3221225786 duplicate"));
        }
        EXPECT_EQ(1u, count_of("exit code process"));
        expect_each_handle_closed_once();
        // The main thread kept its own handle, so it still reads the status.
        EXPECT_EQ(0xC000013Au, child_exit_code);
        // The handler ends the process with the status the child ended with either way.
        EXPECT_EQ(0xC000013Au, static_cast<DWORD>(record.handler_status));
    }
}

TEST(ChildLaunch, AControlEventAfterTheWaitFindsNoChild)
{
    seam_scope seam;
    install_fake_child();
    record.exit_code = 5;
    launch_child_and_wait();
    record.calls.clear();
    // The main thread has read the child's status: the handler ends the process with it.
    EXPECT_EQ(5, exit_status_of([] { console_control_handler(CTRL_C_EVENT); }));
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
    hold_own_executable();
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

// A console stop that comes before the child may run: the handler sets the flag and waits for
// the launch to settle, so the main thread starts nothing, or ends the suspended child itself.
TEST(ChildLaunch, AStopBeforeTheChildIsResumedStartsNothingAndEndsTheSuspendedChild)
{
    seam_scope seam;
    struct stop_case {
        const char* when;
        bool before_launch;
        std::vector<std::string> calls;
    };
    const stop_case cases[] = {
        {"while unpacking, before the launch", true, {}},
        {"while CreateProcessW runs", false, {"create", "terminate 3221225786 process"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.when);
        install_fake_child();
        console_stop_requested = c.before_launch;
        record.stop_during_create = !c.before_launch;
        bool halted_for_good = false;
        try {
            launch_child_and_wait();
        } catch (const halted&) {
            halted_for_good = true;
        }
        EXPECT_TRUE(halted_for_good);
        // A child that was made is ended suspended: it never runs a single instruction.
        EXPECT_EQ(0u, count_of("resume thread"));
        for (const auto& call : {"create", "terminate 3221225786 process"}) {
            const bool expected = std::find(c.calls.begin(), c.calls.end(), call) != c.calls.end();
            EXPECT_EQ(expected ? 1u : 0u, count_of(call)) << call;
        }
        if (!c.before_launch) {
            expect_each_handle_closed_once();
        }
        EXPECT_EQ(0, record.misuse);
        EXPECT_EQ(nullptr, child_process);
        // Settled: the waiting handler goes on, finds no child left to wait for, and ends the
        // process with the status of Ctrl+C.
        EXPECT_EQ(0, child_launch_pending);
        record.calls.clear();
        EXPECT_EQ(static_cast<int>(STATUS_CONTROL_C_EXIT),
                  exit_status_of([] { console_control_handler(CTRL_C_EVENT); }));
        EXPECT_TRUE(record.calls.empty());
    }
}

TEST(ChildLaunch, AChildThatCannotBeResumedIsEndedAndTheLaunchFails)
{
    seam_scope seam;
    install_fake_child();
    record.resume_error = ERROR_ACCESS_DENIED;
    EXPECT_EQ(2, exit_status_of([] { launch_child_and_wait(); }));
    EXPECT_EQ(1u, count_of("terminate 5 process"));
    expect_each_handle_closed_once();
    EXPECT_EQ(0, child_launch_pending);
}

namespace {

DWORD WINAPI run_handler(void*)
{
    record.handler_status = exit_status_of([] { console_control_handler(CTRL_C_EVENT); });
    return 0;
}

void WINAPI yielding_sleep(DWORD milliseconds)
{
    Sleep(milliseconds == INFINITE ? 0 : 1);
}

}  // namespace

TEST(ConsoleControlDuringLaunch, TheHandlerWaitsUntilTheLaunchIsSettledBeforeItLooksForTheChild)
{
    seam_scope seam;
    install_fake_child();
    os.Sleep = yielding_sleep;
    record.grace_result = WAIT_OBJECT_0;
    child_launch_pending = 1;
    HANDLE thread = CreateThread(nullptr, 0, run_handler, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    // The handler has no child to look at yet; had it gone on, the process would end now and a
    // child created in the meantime would stay behind, suspended.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 300));
    EXPECT_TRUE(console_stop_requested);
    child_process = fake_duplicate;
    InterlockedExchange(&child_launch_pending, 0);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread, 10000));
    CloseHandle(thread);
    const std::vector<std::string> expected = {"wait 3000 duplicate", "exit code duplicate", "close duplicate"};
    EXPECT_EQ(expected, record.calls);
}

namespace {

DWORD hold_access;
DWORD hold_share;
DWORD hold_disposition;
std::wstring hold_path;
DWORD hold_error;

HANDLE WINAPI hold_stub(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                        DWORD, HANDLE)
{
    record.calls.push_back("open own executable");
    hold_path = path;
    hold_access = access;
    hold_share = share;
    hold_disposition = disposition;
    if (hold_error != 0) {
        SetLastError(hold_error);
        return INVALID_HANDLE_VALUE;
    }
    return fake_hold;
}

BOOL WINAPI logged_failing_create(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                  LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION)
{
    record.calls.push_back("create");
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return FALSE;
}

}  // namespace

TEST(OwnExecutable, HeldWithoutDeleteOrWriteSharingUntilTheChildIsCreatedFromIt)
{
    seam_scope seam;
    for (bool create_fails : {false, true}) {
        SCOPED_TRACE(create_fails ? "CreateProcessW fails" : "the child starts");
        install_fake_child();
        hold_error = 0;
        os.CreateFileW = hold_stub;
        if (create_fails) {
            os.CreateProcessW = logged_failing_create;
        }
        hold_own_executable();
        os.CreateFileW = image_open_stub;
        EXPECT_EQ(L"C:\\dir with blank\\app.exe", hold_path);
        EXPECT_EQ(static_cast<DWORD>(GENERIC_READ), hold_access);
        // Read sharing alone: no rename or delete (FILE_SHARE_DELETE), no write in place.
        EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ), hold_share);
        EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), hold_disposition);
        // Held through the whole unpacking: nothing closes it before the launch.
        EXPECT_EQ(std::vector<std::string>{"open own executable"}, record.calls);

        if (create_fails) {
            EXPECT_EQ(2, exit_status_of([] { launch_child_and_wait(); }));
        } else {
            launch_child_and_wait();
            expect_each_handle_closed_once();
        }
        // Let go of once the child exists and runs the held file, or the creation failed: not a
        // moment earlier.
        EXPECT_TRUE(comes_before("create", "close hold"));
        if (!create_fails) {
            EXPECT_TRUE(comes_before("identity image", "close hold"));
            EXPECT_TRUE(comes_before("identity image", "resume thread"));
        }
        EXPECT_EQ(1u, count_of("close hold"));
        EXPECT_EQ(0, record.misuse);
    }
}

// The system made the child from another file than the one held (a folder on the way switched
// for a link): the child is ended before it runs and the launch fails with the system's text.
TEST(OwnExecutable, AChildOfAnotherFileThanTheHeldOneIsEndedAndTheLaunchFails)
{
    seam_scope seam;
    install_fake_child();
    hold_error = 0;
    os.CreateFileW = hold_stub;
    hold_own_executable();
    os.CreateFileW = image_open_stub;
    record.image_index = 2;
    EXPECT_EQ(2, exit_status_of([] { launch_child_and_wait(); }));
    EXPECT_EQ(1u, count_of("terminate " + std::to_string(ERROR_FILE_INVALID) + " process"));
    EXPECT_EQ(0u, count_of("resume thread"));
    EXPECT_TRUE(comes_before("identity image", "close hold"));
    for (const char* close : {"close thread", "close process", "close image", "close hold"}) {
        EXPECT_EQ(1u, count_of(close)) << close;
    }
    EXPECT_EQ(0, record.misuse);
    EXPECT_EQ(0, child_launch_pending);
}

TEST(OwnExecutable, AStopBeforeTheLaunchStillLetsGoOfIt)
{
    seam_scope seam;
    install_fake_child();
    hold_error = 0;
    os.CreateFileW = hold_stub;
    hold_own_executable();
    console_stop_requested = true;
    EXPECT_THROW(launch_child_and_wait(), halted);
    EXPECT_EQ(1u, count_of("close hold"));
    EXPECT_EQ(0u, count_of("create"));
}

VELDRA_PROBE(hold_fails)
{
    os.GetModuleFileNameW = module_name_fixed;
    os.CreateFileW = hold_stub;
    hold_error = wcstoul(argv[0], nullptr, 0);
    hold_own_executable();
    printf("went on\n");
    return 0;
}

// Whatever keeps the parent from holding its executable stops it before anything is unpacked:
// a file already renamed or deleted, or one that someone holds open for writing or deleting.
TEST(OwnExecutable, AParentThatCannotHoldItStopsWithOneLine)
{
    for (DWORD error : {static_cast<DWORD>(ERROR_SHARING_VIOLATION), static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
                        static_cast<DWORD>(ERROR_ACCESS_DENIED)}) {
        SCOPED_TRACE(error);
        process_result result = run_probe(L"hold_fails", {std::to_wstring(error)});
        EXPECT_EQ(2u, result.exit_code);
        EXPECT_EQ("", result.out);
        EXPECT_EQ("Error, couldn't hold the launcher's own executable against replacement. ([Error " +
                      std::to_string(error) + "] " + system_text(error) + ")\r\n",
                  result.err);
    }
}

// A real file in place of the own executable: a copy of this test program, held by the real
// system call, renamed and deleted from another process, and started as the child.
namespace {
std::wstring copied_executable;
DWORD WINAPI copied_module_name(HMODULE, LPWSTR name, DWORD size)
{
    wcsncpy(name, copied_executable.c_str(), size);
    return static_cast<DWORD>(copied_executable.size());
}
}  // namespace

VELDRA_PROBE(rename_and_delete)
{
    std::wstring moved = std::wstring(argv[0]) + L".moved";
    BOOL renamed = MoveFileW(argv[0], moved.c_str());
    DWORD rename_error = renamed ? 0 : GetLastError();
    if (renamed) {
        MoveFileW(moved.c_str(), argv[0]);
    }
    BOOL deleted = DeleteFileW(argv[0]);
    DWORD delete_error = deleted ? 0 : GetLastError();
    printf("rename %lu, delete %lu", rename_error, delete_error);
    return 0;
}

VELDRA_PROBE(held_executable)
{
    copied_executable = argv[0];
    os.GetModuleFileNameW = copied_module_name;
    real_child_line = L"ignored --veldra-probe child_side 7";
    os.GetCommandLineW = real_child_line_stub;
    setenv_ascii("VELDRA_TEST_MARK", L"held");
    hold_own_executable();
    printf("held: %s\n", run_probe(L"rename_and_delete", {copied_executable}).out.c_str());
    fflush(stdout);
    launch_child_and_wait();
    printf("child status %lu\n", child_exit_code);
    printf("let go: %s\n", run_probe(L"rename_and_delete", {copied_executable}).out.c_str());
    return 0;
}

TEST(OwnExecutable, AnotherProcessCanNeitherRenameNorDeleteItWhileHeldAndTheChildStillStartsFromIt)
{
    std::wstring copy = temp_path_for(L"held") + L".exe";
    ASSERT_TRUE(CopyFileW(this_executable_path().c_str(), copy.c_str(), FALSE));
    process_result result = run_probe(L"held_executable", {copy});
    EXPECT_EQ(0u, result.exit_code);
    // 32: ERROR_SHARING_VIOLATION. Once the child exists the file is free again.
    EXPECT_EQ("held: rename 32, delete 32\r\nchild out, mark=held\r\nchild status 7\r\nlet go: rename 0, delete 0\r\n",
              result.out);
    DeleteFileW(copy.c_str());
}

// A launcher on a read-only medium or share must still start: the hold asks for reading only.
VELDRA_PROBE(read_only_executable)
{
    copied_executable = argv[0];
    os.GetModuleFileNameW = copied_module_name;
    real_child_line = L"ignored --veldra-probe child_side 7";
    os.GetCommandLineW = real_child_line_stub;
    setenv_ascii("VELDRA_TEST_MARK", L"read-only");
    hold_own_executable();
    launch_child_and_wait();
    printf("child status %lu\n", child_exit_code);
    return 0;
}

TEST(OwnExecutable, AReadOnlyExecutableIsHeldAndStartsTheChild)
{
    std::wstring copy = temp_path_for(L"read_only") + L".exe";
    ASSERT_TRUE(CopyFileW(this_executable_path().c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_READONLY));
    process_result result = run_probe(L"read_only_executable", {copy});
    EXPECT_EQ(0u, result.exit_code);
    EXPECT_EQ("child out, mark=read-only\r\nchild status 7\r\n", result.out);
    SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(copy.c_str());
}
