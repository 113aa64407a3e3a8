// Removal of a real tree: long paths, read-only files and folders deep down go, and nothing
// outside the tree is touched.
#include "launcher/remove_tree.h"
#include "launcher/run_state.h"
#include "launcher/teardown.h"
#include "payload/extract.h"
#include "tests/support/kit.h"
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
    return temp_path_for(L"remove");
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

std::vector<DWORD> sleeps;

struct halted {};

void WINAPI sleep_until_halted(DWORD milliseconds)
{
    sleeps.push_back(milliseconds);
    if (milliseconds == INFINITE) {
        throw halted{};
    }
}

}  // namespace

TEST(ConsoleStop, TheMainThreadRemovesTheFolderAndWaitsForTheEnd)
{
    seam_scope seam;
    std::wstring root = temp_folder();
    CreateDirectoryW(root.c_str(), nullptr);
    write_file(root + L"\\written.dll");
    wcscpy(unpack_dir, root.c_str());
    unpack_started = true;
    unpack_dir_created = true;
    sleeps.clear();
    os.Sleep = sleep_until_halted;

    EXPECT_THROW(halt_after_console_stop(), halted);
    EXPECT_FALSE(exists(root));
    EXPECT_EQ(std::vector<DWORD>{INFINITE}, sleeps);
    unpack_started = false;
}

TEST(ConsoleStop, TheHandlerAsksTheMainThreadToStopBeforeItTearsDown)
{
    seam_scope seam;
    for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        console_stop_requested = false;
        console_stop_claimed = 0;
        unpack_started = false;
        EXPECT_EQ(static_cast<int>(STATUS_CONTROL_C_EXIT), exit_status_of([&] { console_control_handler(type); }));
        EXPECT_TRUE(console_stop_requested) << type;
    }
    console_stop_claimed = 0;
    console_stop_requested = false;
    EXPECT_EQ(FALSE, console_control_handler(3));
    EXPECT_FALSE(console_stop_requested);
}

namespace {

// The handles the walk opens, told apart by their final path's last component.
std::wstring link_name;
int listings;

std::wstring last_component_of(HANDLE handle)
{
    wchar_t path[4096];
    DWORD length = GetFinalPathNameByHandleW(handle, path, 4096, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= 4096) {
        return L"";
    }
    std::wstring whole(path);
    return whole.substr(whole.rfind(L'\\') + 1);
}

// The entry named link_name answers, on its own handle, as a link: what another process that
// swaps a folder for a junction after the listing makes the walk see on Windows. Listings are
// counted.
BOOL WINAPI link_on_the_handle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS type, LPVOID buffer, DWORD size)
{
    if (type == FileIdBothDirectoryInfo || type == FileIdBothDirectoryRestartInfo) {
        ++listings;
    }
    BOOL got = ::GetFileInformationByHandleEx(handle, type, buffer, size);
    if (got && type == FileBasicInfo && last_component_of(handle) == link_name) {
        static_cast<FILE_BASIC_INFO*>(buffer)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    return got;
}

// root\main.dll, root\sub\inner.txt, root\sub\deeper\far.txt
std::wstring make_small_tree(const std::wstring& root)
{
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\sub").c_str(), nullptr);
    CreateDirectoryW((root + L"\\sub\\deeper").c_str(), nullptr);
    write_file(root + L"\\main.dll");
    write_file(root + L"\\sub\\inner.txt");
    write_file(root + L"\\sub\\deeper\\far.txt");
    return root;
}

void remove_real_tree(const std::wstring& root)
{
    seam_scope clean;
    remove_tree_once(root.c_str());
}

}  // namespace

TEST(RemoveTree, ARootThatIsALinkIsRemovedAsTheLinkAndNothingUnderItIsListedOrTouched)
{
    seam_scope seam;
    std::wstring root = make_small_tree(temp_folder() + L"_root_link");
    link_name = root.substr(root.rfind(L'\\') + 1);
    listings = 0;
    os.GetFileInformationByHandleEx = link_on_the_handle;

    remove_tree_once(root.c_str());

    EXPECT_EQ(0, listings);
    EXPECT_TRUE(exists(root + L"\\main.dll"));
    EXPECT_TRUE(exists(root + L"\\sub\\deeper\\far.txt"));
    remove_real_tree(root);
    EXPECT_FALSE(exists(root));
}

TEST(RemoveTree, AFolderThatIsALinkWhenOpenedIsRemovedAsTheLinkThoughItWasListedAsAFolder)
{
    seam_scope seam;
    std::wstring root = make_small_tree(temp_folder() + L"_swapped");
    link_name = L"sub";
    os.GetFileInformationByHandleEx = link_on_the_handle;

    remove_tree_once(root.c_str());

    // The "link" is a real folder that is not empty, so its deletion fails and all it holds stays.
    EXPECT_FALSE(exists(root + L"\\main.dll"));
    EXPECT_TRUE(exists(root + L"\\sub\\inner.txt"));
    EXPECT_TRUE(exists(root + L"\\sub\\deeper\\far.txt"));
    remove_real_tree(root);
    EXPECT_FALSE(exists(root));
}

// The read-only attribute belongs to the file, not to the name: the other name, outside the
// tree, keeps it.
TEST(RemoveTree, AReadOnlyFileWithASecondNameOutsideGoesFromTheTreeAndStaysReadOnlyOutside)
{
    std::wstring root = temp_folder() + L"_links";
    std::wstring outside = temp_folder() + L"_outside.txt";
    CreateDirectoryW(root.c_str(), nullptr);
    write_file(outside, FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(CreateHardLinkW((root + L"\\linked.txt").c_str(), outside.c_str(), nullptr)) << GetLastError();
    write_file(root + L"\\alone.txt", FILE_ATTRIBUTE_READONLY);

    remove_tree_once(root.c_str());

    EXPECT_FALSE(exists(root));
    DWORD attributes = GetFileAttributesW(outside.c_str());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(outside.c_str());
}

TEST(RemoveTree, TheRootIsStillThereWhenItIsAFolderAndAskedForInTheLongForm)
{
    std::wstring root = temp_folder() + L"_" + std::wstring(150, L'r');
    std::wstring deep = root + L"\\" + std::wstring(150, L's');
    ASSERT_TRUE(CreateDirectoryW(extended(root).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(extended(deep).c_str(), nullptr));
    ASSERT_GT(deep.size(), 260u);
    EXPECT_TRUE(tree_root_still_there(deep.c_str()));
    write_file(deep + L"\\held.txt");
    EXPECT_FALSE(tree_root_still_there((deep + L"\\held.txt").c_str())) << "a file is no folder";
    remove_tree_once(root.c_str());
    EXPECT_FALSE(tree_root_still_there(deep.c_str()));
    EXPECT_FALSE(exists(root));
}

namespace {

std::vector<DWORD> pauses;

void WINAPI record_pause(DWORD milliseconds)
{
    pauses.push_back(milliseconds);
}

}  // namespace

// Retries that never ran for a path past 260 units: the check asked without the long form and
// found nothing.
TEST(RemoveTree, TeardownRetriesALongPathFolderThatAHeldFileKeeps)
{
    seam_scope seam;
    std::wstring root = temp_folder() + L"_" + std::wstring(150, L'h');
    std::wstring deep = root + L"\\" + std::wstring(150, L'i');
    ASSERT_TRUE(CreateDirectoryW(extended(root).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(extended(deep).c_str(), nullptr));
    write_file(deep + L"\\held.txt");
    HANDLE held = CreateFileW(extended(deep + L"\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    wcscpy(unpack_dir, root.c_str());
    unpack_started = true;
    unpack_dir_created = true;
    pauses.clear();
    os.Sleep = record_pause;

    teardown();

    EXPECT_EQ(std::vector<DWORD>(removal_retries, removal_pause_milliseconds), pauses);
    EXPECT_TRUE(exists(deep + L"\\held.txt"));
    CloseHandle(held);
    teardown();
    EXPECT_FALSE(exists(root));
    unpack_started = false;
    unpack_dir_created = false;
}

// A folder the run did not create, because it was there first, is no one's to remove.
TEST(RemoveTree, TeardownLeavesAFolderTheRunDidNotCreate)
{
    seam_scope seam;
    std::wstring root = make_small_tree(temp_folder() + L"_foreign");
    wcscpy(unpack_dir, root.c_str());
    unpack_started = true;
    unpack_dir_created = false;
    teardown();
    EXPECT_TRUE(exists(root + L"\\sub\\deeper\\far.txt"));
    unpack_started = false;
    remove_real_tree(root);
}
