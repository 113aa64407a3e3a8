// Removal of a real tree: long paths, read-only files and folders deep down go, and nothing
// outside the tree is touched.
#include "launcher/remove_tree.h"
#include "launcher/run_state.h"
#include "launcher/teardown.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring extended(const std::wstring& path)
{
    return L"\\\\?\\" + path;
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(extended(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void write_file(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL)
{
    HANDLE file = CreateFileW(extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, "data", 4, &written, nullptr);
    CloseHandle(file);
}

std::wstring temp_folder()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"veldra_remove_" + std::to_wstring(GetCurrentProcessId());
}

}  // namespace

TEST(ExtendedPath, LiftsTheLengthLimitForDriveAndShareFormsAndKeepsPrefixedOnes)
{
    struct path_case {
        const wchar_t* path;
        const wchar_t* extended;
    };
    const path_case cases[] = {
        {L"C:\\users\\me\\Temp\\onefile_1", L"\\\\?\\C:\\users\\me\\Temp\\onefile_1"},
        {L"\\\\server\\share\\onefile_1", L"\\\\?\\UNC\\server\\share\\onefile_1"},
        {L"\\\\?\\C:\\x", L"\\\\?\\C:\\x"},
        {L"\\\\?\\UNC\\srv\\share\\x", L"\\\\?\\UNC\\srv\\share\\x"},
        {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
    };
    for (const auto& c : cases) {
        wchar_t output[64];
        size_t length = make_extended_path(output, 64, c.path);
        EXPECT_STREQ(c.extended, output);
        EXPECT_EQ(wcslen(c.extended), length);
    }
    wchar_t small[8];
    EXPECT_EQ(0u, make_extended_path(small, 8, L"C:\\abc"));
    EXPECT_EQ(0u, make_extended_path(small, 0, L"C:\\abc"));
}

TEST(RemoveTree, RemovesLongPathsReadOnlyFilesAndNestedFoldersAndNothingBeside)
{
    std::wstring base = temp_folder();
    std::wstring root = base + L"\\onefile_tree";
    CreateDirectoryW(base.c_str(), nullptr);
    CreateDirectoryW(root.c_str(), nullptr);
    write_file(base + L"\\beside.txt");
    write_file(root + L"\\main.dll");
    write_file(root + L"\\locked.dat", FILE_ATTRIBUTE_READONLY);
    // Past 260 characters: folders of 100 characters, three deep.
    std::wstring deep = root;
    for (int level = 0; level < 3; ++level) {
        deep += L"\\" + std::wstring(100, static_cast<wchar_t>(L'a' + level));
        ASSERT_TRUE(CreateDirectoryW(extended(deep).c_str(), nullptr));
    }
    write_file(deep + L"\\far.txt");
    ASSERT_GT(deep.size(), 300u);
    CreateDirectoryW((root + L"\\empty").c_str(), nullptr);

    remove_tree_once(root.c_str());

    EXPECT_FALSE(exists(root));
    EXPECT_TRUE(exists(base + L"\\beside.txt"));
    DeleteFileW((base + L"\\beside.txt").c_str());
    RemoveDirectoryW(base.c_str());
}

TEST(RemoveTree, AHeldFileStaysWithItsFoldersAndEverythingElseGoes)
{
    std::wstring root = temp_folder();
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\d1").c_str(), nullptr);
    write_file(root + L"\\d1\\held.txt");
    write_file(root + L"\\d1\\free.txt");
    write_file(root + L"\\top.txt");
    HANDLE held = CreateFileW((root + L"\\d1\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);

    remove_tree_once(root.c_str());
    EXPECT_TRUE(exists(root + L"\\d1\\held.txt"));
    EXPECT_FALSE(exists(root + L"\\d1\\free.txt"));
    EXPECT_FALSE(exists(root + L"\\top.txt"));

    CloseHandle(held);
    remove_tree_once(root.c_str());
    EXPECT_FALSE(exists(root));
}

namespace {

int closed_handles;
std::vector<DWORD> sleeps;

BOOL WINAPI count_close(HANDLE handle)
{
    ++closed_handles;
    return CloseHandle(handle);
}

struct halted {};

void WINAPI sleep_until_halted(DWORD milliseconds)
{
    sleeps.push_back(milliseconds);
    if (milliseconds == INFINITE) {
        throw halted{};
    }
}

}  // namespace

TEST(ConsoleStop, TheMainThreadClosesItsFileRemovesTheFolderAndWaitsForTheEnd)
{
    seam_scope seam;
    std::wstring root = temp_folder();
    CreateDirectoryW(root.c_str(), nullptr);
    std::wstring file_path = root + L"\\being_written.dll";
    HANDLE file = CreateFileW(file_path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    wcscpy(unpack_dir, root.c_str());
    unpack_started = true;
    closed_handles = 0;
    sleeps.clear();
    os.CloseHandle = count_close;
    os.Sleep = sleep_until_halted;

    EXPECT_THROW(halt_after_console_stop(file), halted);
    EXPECT_EQ(1, closed_handles);
    EXPECT_FALSE(exists(root));
    EXPECT_EQ(std::vector<DWORD>{INFINITE}, sleeps);
    unpack_started = false;
}

TEST(ConsoleStop, TheHandlerAsksTheMainThreadToStopBeforeItTearsDown)
{
    seam_scope seam;
    for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        console_stop_requested = false;
        unpack_started = false;
        EXPECT_EQ(FALSE, console_control_handler(type));
        EXPECT_TRUE(console_stop_requested) << type;
    }
    console_stop_requested = false;
    EXPECT_EQ(FALSE, console_control_handler(3));
    EXPECT_FALSE(console_stop_requested);
}
