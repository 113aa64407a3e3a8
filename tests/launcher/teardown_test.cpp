// teardown and the console control handler: the grace period, the removal request and its
// retries, counted through the system-call table, and a real tree removed or left behind.
#include "launcher/run_state.h"
#include "launcher/teardown.h"
#include "paths/private_folder.h"
#include "payload/extract.h"
#include "tests/support/kit.h"
#include "tests/support/probe.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

struct removal_record {
    int removals = 0;
    int attribute_queries = 0;
    int checked_attempts = 0;  // attempts whose retry check has been asked
    std::vector<DWORD> pauses;
    std::vector<DWORD> attributes;  // answers of the attribute queries, in order; then the last
} removal;

std::wstring extended_unpack_dir()
{
    return std::wstring(L"\\\\?\\") + unpack_dir;
}

// Every attempt opens the folder first; here it cannot, so nothing is removed.
HANDLE WINAPI failing_open(LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    EXPECT_EQ(extended_unpack_dir(), path);
    ++removal.removals;
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
}

// An attempt asks for the root's attributes before it opens it; the retry check asks after.
DWORD WINAPI attributes_stub(LPCWSTR path)
{
    EXPECT_EQ(extended_unpack_dir(), path);
    if (removal.removals == removal.checked_attempts) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    removal.checked_attempts = removal.removals;
    size_t index = static_cast<size_t>(removal.attribute_queries++);
    return removal.attributes[index < removal.attributes.size() ? index : removal.attributes.size() - 1];
}

void WINAPI sleep_stub(DWORD milliseconds)
{
    removal.pauses.push_back(milliseconds);
}

void install_removal_stubs(std::vector<DWORD> attributes)
{
    removal = removal_record{};
    removal.attributes = attributes;
    os.CreateFileW = failing_open;
    os.GetFileAttributesW = attributes_stub;
    os.Sleep = sleep_stub;
    child_process = nullptr;
    unpack_started = true;
    unpack_dir_created = true;
    wcscpy(unpack_dir, L"C:\\users\\me\\Temp\\onefile_12_345678_abcdefghijk");
}

const DWORD gone = INVALID_FILE_ATTRIBUTES;
const DWORD directory = FILE_ATTRIBUTE_DIRECTORY;
const DWORD plain_file = FILE_ATTRIBUTE_ARCHIVE;

}  // namespace

TEST(Teardown, RemovalIsRetriedWhileTheDirectoryStaysAtMost11Times)
{
    seam_scope seam;
    struct removal_case {
        const char* what;
        std::vector<DWORD> attributes;
        int removals;
        int queries;
    };
    const removal_case cases[] = {
        {"removed at the first attempt", {gone}, 1, 1},
        {"a plain file of that name after the first attempt", {plain_file}, 1, 1},
        {"removed at the third attempt", {directory, directory, gone}, 3, 3},
        {"a directory that never goes", {directory}, 11, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        install_removal_stubs(c.attributes);
        teardown();
        EXPECT_EQ(c.removals, removal.removals);
        EXPECT_EQ(c.queries, removal.attribute_queries);
        EXPECT_EQ(std::vector<DWORD>(static_cast<size_t>(c.removals - 1), 100), removal.pauses);
    }
}

TEST(Teardown, NothingIsRemovedBeforeUnpackingHasStarted)
{
    seam_scope seam;
    install_removal_stubs({gone});
    unpack_started = false;
    teardown();
    EXPECT_EQ(0, removal.removals);
    EXPECT_EQ(0, removal.attribute_queries);
}

namespace {
// The handler ends the process itself once the folder is gone; here its end is the thrown exit.
int handler_status(DWORD control_type)
{
    console_stop_claimed = 0;
    child_exit_known = false;
    return exit_status_of([&] { EXPECT_EQ(FALSE, console_control_handler(control_type)); });
}
}  // namespace

TEST(ConsoleControl, CloseLogoffShutdownBreakAndCtrlCTearDownAndEndTheProcessOtherEventsPassOn)
{
    seam_scope seam;
    struct event_case {
        DWORD type;
        int removals;
        int status;  // -1: the handler returned, passing the event on
    };
    const int ctrl_c_exit = static_cast<int>(STATUS_CONTROL_C_EXIT);
    const event_case cases[] = {{CTRL_C_EVENT, 1, ctrl_c_exit},       {CTRL_BREAK_EVENT, 1, ctrl_c_exit},
                                {CTRL_CLOSE_EVENT, 1, ctrl_c_exit},   {3, 0, -1},
                                {4, 0, -1},                           {CTRL_LOGOFF_EVENT, 1, ctrl_c_exit},
                                {CTRL_SHUTDOWN_EVENT, 1, ctrl_c_exit}, {7, 0, -1},
                                {0xFFFFFFFF, 0, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        install_removal_stubs({gone});
        EXPECT_EQ(c.status, handler_status(c.type));
        EXPECT_EQ(c.removals, removal.removals);
    }
}

namespace {
DWORD child_wait_answer;
HANDLE terminated_with_handle;
UINT terminated_with_status;
}  // namespace

// The status after Ctrl+C: the child's own when it ended by itself within its grace, whoever
// read it first; STATUS_CONTROL_C_EXIT when the launcher ended it or there was no child yet.
TEST(ConsoleControl, TheStatusIsTheChildsOwnWhenItEndedByItselfElseThatOfCtrlC)
{
    seam_scope seam;
    HANDLE fake_child = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x5c));
    os.WaitForSingleObject = [](HANDLE, DWORD milliseconds) WINAPI -> DWORD {
        EXPECT_EQ(3000u, milliseconds);
        return child_wait_answer;
    };
    os.GetExitCodeProcess = [](HANDLE, LPDWORD status) WINAPI -> BOOL {
        *status = 9;
        return TRUE;
    };
    os.TerminateProcess = [](HANDLE process, UINT status) WINAPI -> BOOL {
        terminated_with_handle = process;
        terminated_with_status = status;
        return TRUE;
    };
    os.CloseHandle = [](HANDLE) WINAPI -> BOOL { return TRUE; };
    struct status_case {
        const char* what;
        bool has_handle;
        DWORD wait_answer;
        bool main_thread_read_it;
        DWORD main_thread_status;
        DWORD expected;
        bool terminated;
    };
    const status_case cases[] = {
        {"the child handled Ctrl+C and returned 9", true, WAIT_OBJECT_0, false, 0, 9, false},
        {"the child outlived its grace", true, WAIT_TIMEOUT, false, 0, STATUS_CONTROL_C_EXIT, true},
        {"the wait failed", true, WAIT_FAILED, false, 0, STATUS_CONTROL_C_EXIT, true},
        {"the main thread read the child's 0 first", false, 0, true, 0, 0, false},
        {"the main thread read the child's 7 first", false, 0, true, 7, 7, false},
        {"no child yet", false, 0, false, 0, STATUS_CONTROL_C_EXIT, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        install_removal_stubs({gone});
        child_wait_answer = c.wait_answer;
        terminated_with_handle = nullptr;
        console_stop_claimed = 0;
        child_process = c.has_handle ? fake_child : nullptr;
        child_exit_known = c.main_thread_read_it;
        child_exit_code = c.main_thread_status;
        int status = exit_status_of([] { console_control_handler(CTRL_C_EVENT); });
        EXPECT_EQ(c.expected, static_cast<DWORD>(status));
        EXPECT_EQ(1, removal.removals);
        EXPECT_EQ(nullptr, child_process);
        EXPECT_EQ(c.terminated ? fake_child : nullptr, terminated_with_handle);
        if (c.terminated) {
            EXPECT_EQ(STATUS_CONTROL_C_EXIT, terminated_with_status);
        }
    }
    child_exit_known = false;
    child_exit_code = 0;
}

namespace {
struct second_event_waits {};
}  // namespace

// A second event while the first one's thread still tears down touches nothing and ends
// nothing: it waits for the first to end the process.
TEST(ConsoleControl, ASecondEventWaitsForTheFirstToEndTheProcess)
{
    seam_scope seam;
    install_removal_stubs({gone});
    console_stop_claimed = 1;
    os.Sleep = [](DWORD milliseconds) WINAPI {
        EXPECT_EQ(INFINITE, milliseconds);
        throw second_event_waits{};
    };
    EXPECT_THROW(console_control_handler(CTRL_C_EVENT), second_event_waits);
    EXPECT_EQ(0, removal.removals);
    console_stop_claimed = 0;
}

// The child's handler, the last one asked, ends an unclaimed event as Windows' default
// handling does: never with Wine's 0.
TEST(ConsoleControl, TheChildsLastHandlerEndsTheChildWithTheStatusOfCtrlC)
{
    seam_scope seam;
    for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(static_cast<int>(STATUS_CONTROL_C_EXIT),
                  exit_status_of([&] { child_console_control_handler(type); }));
    }
    EXPECT_EQ(-1, exit_status_of([] { EXPECT_EQ(FALSE, child_console_control_handler(3)); }));
}

namespace {

std::wstring make_tree()
{
    std::wstring root = temp_path_for(L"teardown");
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\d1").c_str(), nullptr);
    CreateDirectoryW((root + L"\\d1\\d2").c_str(), nullptr);
    for (const wchar_t* name : {L"\\main.dll", L"\\d1\\d2\\data.txt"}) {
        HANDLE file = CreateFileW((root + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, "x", 1, &written, nullptr);
        CloseHandle(file);
    }
    return root;
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

TEST(Teardown, ARealTreeIsRemovedWholeAndAHeldFileLeavesItAfter11Attempts)
{
    seam_scope seam;
    std::wstring root = make_tree();
    wcscpy(unpack_dir, root.c_str());
    unpack_started = true;
    unpack_dir_created = true;
    teardown();
    EXPECT_FALSE(exists(root));

    root = make_tree();
    HANDLE held = CreateFileW((root + L"\\d1\\d2\\data.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    removal = removal_record{};
    os.Sleep = sleep_stub;
    teardown();
    EXPECT_EQ(10u, removal.pauses.size());
    EXPECT_TRUE(exists(root + L"\\d1\\d2\\data.txt"));
    CloseHandle(held);
    teardown();
    EXPECT_FALSE(exists(root));
}

TEST(Teardown, TheRunsHoldOnItsFolderIsReleasedBeforeTheFolderIsRemoved)
{
    seam_scope seam;
    std::wstring root = make_tree();
    wcscpy(unpack_dir, root.c_str());
    unpack_started = true;
    unpack_dir_created = true;
    ASSERT_TRUE(hold_unpack_dir(unpack_dir));
    removal = removal_record{};
    os.Sleep = sleep_stub;
    teardown();
    EXPECT_EQ(nullptr, unpack_dir_hold);
    EXPECT_FALSE(exists(root));
    EXPECT_TRUE(removal.pauses.empty());
}

VELDRA_PROBE(sleep_long)
{
    Sleep(30000);
    return 9;
}

namespace {
DWORD WINAPI grace_passes_at_once(HANDLE, DWORD milliseconds)
{
    EXPECT_EQ(3000u, milliseconds);
    return WAIT_TIMEOUT;
}
}  // namespace

TEST(Teardown, AChildThatOutlivesItsGraceIsEndedWithTheStatusOfCtrlC)
{
    seam_scope seam;
    std::wstring self = this_executable_path();
    std::wstring line = quote_argument(self) + L" --veldra-probe sleep_long";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessW(self.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &info));
    CloseHandle(info.hThread);
    HANDLE teardown_copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), info.hProcess, GetCurrentProcess(), &teardown_copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    child_process = teardown_copy;
    unpack_started = false;
    os.WaitForSingleObject = grace_passes_at_once;
    teardown();
    EXPECT_EQ(nullptr, child_process);

    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, 10000));
    DWORD status = 99;
    GetExitCodeProcess(info.hProcess, &status);
    // STATUS_CONTROL_C_EXIT, as Ctrl+C gives on Windows: never the 0 of a success.
    EXPECT_EQ(0xC000013Au, status);
    CloseHandle(info.hProcess);
}

// A closing console gives a process about 5 s before the system ends it; the handler's whole
// teardown, grace and removal retries, must end before that, with room for the removal walks.
TEST(Teardown, TheGraceAndTheRetriesFitTheTimeAClosingConsoleGives)
{
    EXPECT_LE(child_grace_milliseconds + removal_retries * removal_pause_milliseconds, 4000);
}
