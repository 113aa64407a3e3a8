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

TEST(ConsoleControl, CloseLogoffShutdownBreakAndCtrlCTearDownAndTheHandlerNeverClaimsTheEvent)
{
    seam_scope seam;
    struct event_case {
        DWORD type;
        int removals;
    };
    const event_case cases[] = {{CTRL_C_EVENT, 1},     {CTRL_BREAK_EVENT, 1},    {CTRL_CLOSE_EVENT, 1},
                                {3, 0},                {4, 0},                   {CTRL_LOGOFF_EVENT, 1},
                                {CTRL_SHUTDOWN_EVENT, 1}, {7, 0},                {0xFFFFFFFF, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        install_removal_stubs({gone});
        EXPECT_EQ(FALSE, console_control_handler(c.type));
        EXPECT_EQ(c.removals, removal.removals);
    }
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
