// The start-up sweep on real folders under Wine: what it removes and every reason it leaves a
// folder alone (held by a live run, a link, not ours, a file, another shape), and its bounds.
// Links and foreign owners are shown through the system-call table: Wine makes no links of
// its own and gives every file the user's owner.
#include "launcher/sweep.h"
#include "launcher/remove_tree.h"
#include "paths/private_folder.h"
#include "tests/support/kit.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const wchar_t default_template[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

std::wstring sweep_base()
{
    return temp_path_for(L"sweep");
}

// The folder this start would make; it does not exist.
std::wstring own_folder()
{
    return sweep_base() + L"\\onefile_4242_123456_AAAAAAAAAAA";
}

std::wstring leftover_name(int run)
{
    return L"onefile_" + std::to_wstring(run) + L"_000001_abcdefghijk";
}

void write_file(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, "data", 4, &written, nullptr);
    CloseHandle(file);
}

// A folder as a killed run leaves it: files, and a folder with a file of its own.
std::wstring make_leftover(const std::wstring& name)
{
    std::wstring folder = sweep_base() + L"\\" + name;
    EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    write_file(folder + L"\\main.dll");
    CreateDirectoryW((folder + L"\\data").c_str(), nullptr);
    write_file(folder + L"\\data\\values.txt");
    return folder;
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void fresh_base()
{
    remove_tree_once(sweep_base().c_str());
    ASSERT_FALSE(exists(sweep_base()));
    ASSERT_TRUE(CreateDirectoryW(sweep_base().c_str(), nullptr));
}

bool name_ends_with(const std::wstring& path, const std::wstring& tail)
{
    return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
}

std::wstring handle_name(HANDLE handle)
{
    DWORD buffer[1024];
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, buffer, sizeof buffer)) {
        return L"";
    }
    const FILE_NAME_INFO* name = reinterpret_cast<const FILE_NAME_INFO*>(buffer);
    return std::wstring(name->FileName, name->FileNameLength / sizeof(wchar_t));
}

// The names the fakes below act on.
const std::wstring link_name = leftover_name(21);
const std::wstring handle_link_name = leftover_name(22);
const std::wstring foreign_name = leftover_name(23);

// A link by name, as a query by name shows one.
DWORD WINAPI attributes_with_link(LPCWSTR path)
{
    const DWORD real = GetFileAttributesW(path);
    return name_ends_with(path, link_name) ? real | FILE_ATTRIBUTE_REPARSE_POINT : real;
}

// A link on the handle: the name was swapped after the listing.
BOOL WINAPI information_with_link(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS type, LPVOID buffer, DWORD size)
{
    BOOL read = GetFileInformationByHandleEx(handle, type, buffer, size);
    if (read && type == FileBasicInfo && name_ends_with(handle_name(handle), handle_link_name)) {
        static_cast<FILE_BASIC_INFO*>(buffer)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    return read;
}

// SYSTEM owns one folder; the others are read as they are.
BOOL WINAPI security_with_foreign_owner(HANDLE handle, SECURITY_INFORMATION which, PSECURITY_DESCRIPTOR descriptor,
                                        DWORD size, LPDWORD needed)
{
    if (!name_ends_with(handle_name(handle), foreign_name)) {
        return GetKernelObjectSecurity(handle, which, descriptor, size, needed);
    }
    static const unsigned char local_system[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    SECURITY_DESCRIPTOR_RELATIVE header = {};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = SE_SELF_RELATIVE;
    header.Owner = sizeof header;
    *needed = sizeof header + sizeof local_system;
    if (size < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(descriptor, &header, sizeof header);
    memcpy(static_cast<unsigned char*>(descriptor) + sizeof header, local_system, sizeof local_system);
    return TRUE;
}

FARPROC WINAPI proc_address_with_foreign_owner(HMODULE module, LPCSTR name)
{
    if (strcmp(name, "GetKernelObjectSecurity") == 0) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(security_with_foreign_owner));
    }
    return GetProcAddress(module, name);
}

FARPROC WINAPI proc_address_without_security(HMODULE module, LPCSTR name)
{
    return strcmp(name, "GetKernelObjectSecurity") == 0 ? nullptr : GetProcAddress(module, name);
}

}  // namespace

TEST(UnpackDirHold, KeepsOutAnOpenForDeletionWithoutSharingUntilItIsReleased)
{
    seam_scope seam;
    fresh_base();
    const std::wstring folder = make_leftover(leftover_name(5));
    ASSERT_TRUE(hold_unpack_dir(folder.c_str()));
    HANDLE sweep_open = CreateFileW(folder.c_str(), DELETE | FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const DWORD error = GetLastError();
    EXPECT_EQ(INVALID_HANDLE_VALUE, sweep_open);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), error);
    // A rename is an open for deletion too.
    EXPECT_FALSE(MoveFileW(folder.c_str(), (folder + L"_moved").c_str()));
    // Files are still made and removed inside a held folder.
    write_file(folder + L"\\late.txt");
    EXPECT_TRUE(DeleteFileW((folder + L"\\late.txt").c_str()));

    release_unpack_dir_hold();
    EXPECT_EQ(nullptr, unpack_dir_hold);
    sweep_open = CreateFileW(folder.c_str(), DELETE | FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, sweep_open);
    CloseHandle(sweep_open);
    release_unpack_dir_hold();  // a second release does nothing
    remove_tree_once(sweep_base().c_str());
}

TEST(Sweep, RemovesALeftoverAndLeavesHeldLinkedForeignFileOtherShapedAndOwnNamedEntries)
{
    seam_scope seam;
    fresh_base();
    const std::wstring base = sweep_base();
    const std::wstring leftover = make_leftover(leftover_name(17));
    const std::wstring held = make_leftover(leftover_name(18));
    const std::wstring link = make_leftover(link_name);
    const std::wstring handle_link = make_leftover(handle_link_name);
    const std::wstring foreign = make_leftover(foreign_name);
    const std::wstring other_shape = make_leftover(L"onefile_20_00001_abcdefghijk");
    const std::wstring not_a_folder = base + L"\\" + leftover_name(19);
    write_file(not_a_folder);
    // There before this run made its own: the run refuses it, so the sweep leaves it.
    const std::wstring own_name_taken = make_leftover(L"ONEFILE_4242_123456_AAAAAAAAAAA");
    os.GetFileAttributesW = attributes_with_link;
    os.GetFileInformationByHandleEx = information_with_link;
    os.GetProcAddress = proc_address_with_foreign_owner;
    ASSERT_TRUE(hold_unpack_dir(held.c_str()));

    EXPECT_EQ(1, sweep_folders_beside(own_folder().c_str(), default_template));
    EXPECT_FALSE(exists(leftover));
    for (const std::wstring& kept : {held, link, handle_link, foreign, other_shape, own_name_taken}) {
        SCOPED_TRACE(testing::Message() << "kept " << kept);
        EXPECT_TRUE(exists(kept + L"\\main.dll"));
        EXPECT_TRUE(exists(kept + L"\\data\\values.txt"));
    }
    EXPECT_TRUE(exists(not_a_folder));

    // Once the run that held it has ended, its folder goes too.
    release_unpack_dir_hold();
    EXPECT_EQ(1, sweep_folders_beside(own_folder().c_str(), default_template));
    EXPECT_FALSE(exists(held));
    EXPECT_TRUE(exists(foreign + L"\\main.dll"));
    os_restore_defaults();
    remove_tree_once(base.c_str());
}

TEST(Sweep, WithoutTheOwnerCallOrWithATemplateOfNoShapeNothingIsRemoved)
{
    seam_scope seam;
    fresh_base();
    const std::wstring leftover = make_leftover(leftover_name(17));
    os.GetProcAddress = proc_address_without_security;
    EXPECT_EQ(0, sweep_folders_beside(own_folder().c_str(), default_template));
    EXPECT_TRUE(exists(leftover + L"\\main.dll"));
    os_restore_defaults();
    // The own folder's name must have the template's shape as well.
    EXPECT_EQ(0, sweep_folders_beside((sweep_base() + L"\\elsewhere").c_str(), default_template));
    EXPECT_EQ(0, sweep_folders_beside(own_folder().c_str(), L"{TEMP}\\onefile_fixed"));
    EXPECT_TRUE(exists(leftover + L"\\main.dll"));
    EXPECT_EQ(1, sweep_folders_beside(own_folder().c_str(), default_template));
    remove_tree_once(sweep_base().c_str());
}

namespace {
ULONGLONG tick_calls;
// The budget runs out as soon as the sweep has taken its deadline.
ULONGLONG WINAPI time_runs_out()
{
    return tick_calls++ == 0 ? 1000 : 1000 + sweep_budget_milliseconds;
}
}  // namespace

TEST(Sweep, StopsAtItsTimeBudgetAndALaterStartTakesTheRest)
{
    seam_scope seam;
    fresh_base();
    for (int run = 1; run <= 6; ++run) {
        make_leftover(leftover_name(run));
    }
    tick_calls = 0;
    os.GetTickCount64 = time_runs_out;
    EXPECT_GE(1, sweep_folders_beside(own_folder().c_str(), default_template));
    int left = 0;
    for (int run = 1; run <= 6; ++run) {
        left += exists(sweep_base() + L"\\" + leftover_name(run)) ? 1 : 0;
    }
    EXPECT_LE(5, left);
    os_restore_defaults();
    EXPECT_EQ(left, sweep_folders_beside(own_folder().c_str(), default_template));
    remove_tree_once(sweep_base().c_str());
}

namespace {
ULONGLONG WINAPI time_stands_still()
{
    return 1000;
}
}  // namespace

TEST(Sweep, RemovesAtMostItsLimitOfFoldersInOneStart)
{
    seam_scope seam;
    fresh_base();
    // The time budget would end a slow machine's sweep first.
    os.GetTickCount64 = time_stands_still;
    const int folders = sweep_removal_limit + 2;
    for (int run = 1; run <= folders; ++run) {
        ASSERT_TRUE(CreateDirectoryW((sweep_base() + L"\\" + leftover_name(run)).c_str(), nullptr));
    }
    EXPECT_EQ(sweep_removal_limit, sweep_folders_beside(own_folder().c_str(), default_template));
    EXPECT_EQ(2, sweep_folders_beside(own_folder().c_str(), default_template));
    remove_tree_once(sweep_base().c_str());
}

namespace {
int next_calls;
// A folder of endless entries, none of the shape.
BOOL WINAPI endless_listing(HANDLE, LPWIN32_FIND_DATAW found)
{
    ++next_calls;
    *found = WIN32_FIND_DATAW{};
    found->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    wcscpy(found->cFileName, L"someone_else");
    return TRUE;
}
}  // namespace

TEST(Sweep, LooksAtNoMoreThanItsLimitOfEntries)
{
    seam_scope seam;
    fresh_base();
    next_calls = 0;
    os.FindNextFileW = endless_listing;
    EXPECT_EQ(0, sweep_folders_beside(own_folder().c_str(), default_template));
    EXPECT_EQ(sweep_entry_limit - 1, next_calls);
    os_restore_defaults();
    remove_tree_once(sweep_base().c_str());
}
