// The check of a cached folder against its table: real files in a folder of the test's own, and
// the seam for what Wine cannot make from inside (a handle that a link led elsewhere).
#include "launcher/cache.h"

#include "tests/support/file_table_bytes.h"
#include "tests/support/seam.h"
#include "tests/support/kit.h"
#include "tests/support/probe.h"
#include "build/constants.h"
#include "paths/private_folder.h"
#include "payload/file_table.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace {

const std::string main_bytes = "the main module";
const std::string note_bytes = "first";

// The folder as an unpack leaves it, and the table of the pack that made it.
class CachedFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = make_temp_folder();
        ASSERT_TRUE(CreateDirectoryW((folder_ + L"\\data").c_str(), nullptr));
        write_file_bytes(folder_ + L"\\main.dll", main_bytes);
        write_file_bytes(folder_ + L"\\data\\note.txt", note_bytes);
        bytes_ = table_bytes({{u"main.dll", main_bytes.size(), XXH64(main_bytes.data(), main_bytes.size(), 0)},
                              {u"data\\note.txt", note_bytes.size(), XXH64(note_bytes.data(), note_bytes.size(), 0)}});
        ASSERT_TRUE(parse_file_table(bytes_.data(), bytes_.size(), &table_));
    }
    void TearDown() override
    {
        release_cache_holds();
        DeleteFileW(folder_.c_str());
        remove_tree(folder_);
    }

    bool matches() { return cached_folder_matches(folder_.c_str(), &table_); }

    std::wstring folder_;
    std::vector<unsigned char> bytes_;
    file_table table_;
};

}  // namespace

// A DLL the table does not list would be found beside the main module before the system's: any
// entry of the folder that the table does not list makes it a mismatch, a folder of its own too.
TEST_F(CachedFolder, AFolderAsUnpackedMatchesAndAnEntryTheTableDoesNotListIsAMismatch)
{
    EXPECT_TRUE(matches());
    struct extra {
        const char* what;
        void (*make)(const std::wstring& folder);
        void (*undo)(const std::wstring& folder);
    };
    const extra extras[] = {
        {"a DLL beside the main module", [](const std::wstring& f) { write_file_bytes(f + L"\\version.dll", "MZ"); },
         [](const std::wstring& f) { DeleteFileW((f + L"\\version.dll").c_str()); }},
        {"a file in a listed folder", [](const std::wstring& f) { write_file_bytes(f + L"\\data\\x.txt", "x"); },
         [](const std::wstring& f) { DeleteFileW((f + L"\\data\\x.txt").c_str()); }},
        {"an empty folder", [](const std::wstring& f) { CreateDirectoryW((f + L"\\empty").c_str(), nullptr); },
         [](const std::wstring& f) { RemoveDirectoryW((f + L"\\empty").c_str()); }},
    };
    for (const auto& e : extras) {
        release_cache_holds();
        e.make(folder_);
        EXPECT_FALSE(matches()) << e.what;
        e.undo(folder_);
        EXPECT_TRUE(matches()) << e.what;
    }
}

// What the child loads cannot be replaced, renamed or removed while the check's holds last, nor
// can the folder itself; afterwards all of it can.
TEST_F(CachedFolder, AMatchingFolderIsHeldUntilItsHoldsAreReleased)
{
    const std::wstring moved = folder_ + L".moved";
    ASSERT_TRUE(matches());
    EXPECT_FALSE(MoveFileExW((folder_ + L"\\main.dll").c_str(), (folder_ + L"\\main.old").c_str(), 0));
    EXPECT_FALSE(DeleteFileW((folder_ + L"\\data\\note.txt").c_str()));
    EXPECT_FALSE(MoveFileExW(folder_.c_str(), moved.c_str(), 0));
    HANDLE writer = CreateFileW((folder_ + L"\\main.dll").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, writer);
    // Another start's check reads them all the same.
    HANDLE reader = CreateFileW((folder_ + L"\\main.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, reader);
    CloseHandle(reader);
    release_cache_holds();
    EXPECT_TRUE(MoveFileExW(folder_.c_str(), moved.c_str(), 0));
    EXPECT_TRUE(MoveFileExW(moved.c_str(), folder_.c_str(), 0));
}

TEST_F(CachedFolder, EachDifferenceIsAMismatch)
{
    struct change {
        const char* what;
        void (*make)(const std::wstring& folder);
    };
    const change changes[] = {
        {"a missing file", [](const std::wstring& f) { DeleteFileW((f + L"\\data\\note.txt").c_str()); }},
        {"a size that differs", [](const std::wstring& f) { write_file_bytes(f + L"\\data\\note.txt", "first!"); }},
        {"contents that differ at one size", [](const std::wstring& f) { write_file_bytes(f + L"\\data\\note.txt", "firsT"); }},
        {"a folder where a file should be",
         [](const std::wstring& f) {
             DeleteFileW((f + L"\\data\\note.txt").c_str());
             CreateDirectoryW((f + L"\\data\\note.txt").c_str(), nullptr);
         }},
        {"no folder at all", [](const std::wstring& f) { remove_tree(f); }},
        {"a file where the folder should be",
         [](const std::wstring& f) {
             remove_tree(f);
             write_file_bytes(f, "x");
         }},
    };
    for (const auto& c : changes) {
        SetUp();
        ASSERT_TRUE(matches()) << c.what;
        release_cache_holds();
        c.make(folder_);
        EXPECT_FALSE(matches()) << c.what;
        TearDown();
    }
}

// Wine follows a link even when asked not to; either way a handle that a link led elsewhere is
// named by where it led, which is no entry of the folder: the folder's own handle or a file's.
static std::wstring renamed_suffix;

TEST_F(CachedFolder, AFolderOrFileReachedThroughALinkIsAMismatch)
{
    const std::wstring folder_name = folder_.substr(folder_.rfind(L'\\'));
    for (const std::wstring& suffix : {folder_name, std::wstring(L"\\main.dll"), std::wstring(L"\\note.txt")}) {
        seam_scope scope;
        renamed_suffix = suffix;
        os.GetFileInformationByHandleEx = [](HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info,
                                              DWORD size) WINAPI -> BOOL {
            BOOL named = GetFileInformationByHandleEx(handle, kind, info, size);
            if (kind != FileNameInfo) {
                return named;
            }
            FILE_NAME_INFO* name = static_cast<FILE_NAME_INFO*>(info);
            const std::wstring text(name->FileName, name->FileNameLength / sizeof(wchar_t));
            if (named && text.size() >= renamed_suffix.size() &&
                text.compare(text.size() - renamed_suffix.size(), renamed_suffix.size(), renamed_suffix) == 0) {
                name->FileName[name->FileNameLength / sizeof(wchar_t) - 1] = L'X';
            }
            return named;
        };
        EXPECT_FALSE(matches()) << std::string(suffix.begin(), suffix.end());
        seam_restore("GetFileInformationByHandleEx");
        EXPECT_TRUE(matches());
        release_cache_holds();
    }
}

TEST_F(CachedFolder, AFileThatCannotBeReadWholeIsAMismatch)
{
    seam_scope scope;
    os.ReadFile = [](HANDLE, LPVOID, DWORD, LPDWORD read, LPOVERLAPPED) WINAPI -> BOOL {
        *read = 0;
        return TRUE;
    };
    EXPECT_FALSE(matches());
}

// A folder of another owner (here SYSTEM), or one whose owner cannot be read, is no cache of
// this user's, whatever it holds. Wine enforces no access list, so the owner is given through the
// seam's lookup of the call that reads it.
static BOOL WINAPI owned_by_system(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR descriptor, DWORD size,
                                   LPDWORD needed)
{
    const unsigned char system_sid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    SECURITY_DESCRIPTOR_RELATIVE head = {};
    head.Revision = SECURITY_DESCRIPTOR_REVISION;
    head.Control = SE_SELF_RELATIVE;
    head.Owner = sizeof head;
    *needed = sizeof head + sizeof system_sid;
    if (size < *needed) {
        return FALSE;
    }
    memcpy(descriptor, &head, sizeof head);
    memcpy(static_cast<unsigned char*>(descriptor) + sizeof head, system_sid, sizeof system_sid);
    return TRUE;
}

static BOOL WINAPI owner_unreadable(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, DWORD, LPDWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

static decltype(&GetKernelObjectSecurity) owner_call;

TEST_F(CachedFolder, AFolderOfAnotherOwnerIsAMismatch)
{
    for (auto call : {&owned_by_system, &owner_unreadable}) {
        seam_scope scope;
        owner_call = call;
        os.GetProcAddress = [](HMODULE module, LPCSTR name) WINAPI -> FARPROC {
            return lstrcmpA(name, "GetKernelObjectSecurity") == 0
                       ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(owner_call))
                       : GetProcAddress(module, name);
        };
        EXPECT_FALSE(matches());
        seam_restore("GetProcAddress");
        EXPECT_TRUE(matches());
    }
}

// argv: "yes" or "no", the elevation of this process's token.
VELDRA_PROBE(cached_mode_with_elevation)
{
    fake_token_elevation(wcscmp(argv[0], L"yes") == 0 ? token_elevation::yes : token_elevation::no,
                         token_elevation::no);
    printf("%s", cached_mode_applies(build_option_cached_unpack) ? "cached" : "per-run");
    return 0;
}

// Wine starts no process elevated that asks for no elevation: the token's answer is given
// through the seam. An elevated process keeps no cached folder, whatever the pack says.
TEST(CachedMode, AnElevatedTokenFallsBackToAPerRunFolder)
{
    EXPECT_EQ("cached", run_probe(L"cached_mode_with_elevation", {L"no"}).out);
    EXPECT_EQ("per-run", run_probe(L"cached_mode_with_elevation", {L"yes"}).out);
    EXPECT_FALSE(cached_mode_applies(0));
}
