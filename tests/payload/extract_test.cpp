// The walk and the extraction over hand-made archives: files, folders and the calls they cost,
// the child's short walk, the directory cache and the failures of each step.
#include "launcher/run_state.h"
#include "paths/private_folder.h"
#include "paths/template.h"
#include "payload/extract.h"
#include "payload/stream.h"
#include "payload/writer.h"
#include "tests/payload/frames.h"
#include "tests/support/kit.h"
#include "tests/support/probe.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string held_block;
std::vector<DWORD> write_sizes;
std::vector<std::wstring> directory_calls;
std::vector<std::wstring> opened_files;
int file_creations;

BOOL WINAPI counting_write_file(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    write_sizes.push_back(size);
    return ::WriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI failing_write_file(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

BOOL WINAPI recording_create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    directory_calls.push_back(path);
    return ::CreateDirectoryW(path, attributes);
}

BOOL WINAPI pretending_create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES)
{
    directory_calls.push_back(path);
    return TRUE;
}

BOOL WINAPI existing_create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES)
{
    directory_calls.push_back(path);
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
}

BOOL WINAPI missing_parent_create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES)
{
    directory_calls.push_back(path);
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
}

// Counts the files written; the removal's own opens of existing entries are not creations.
HANDLE WINAPI counting_create_file(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE template_file)
{
    if (disposition != OPEN_EXISTING) {
        ++file_creations;
    }
    return ::CreateFileW(path, access, share, security, disposition, flags, template_file);
}

// Writes into a scratch file whatever the path: for paths the file system here cannot hold.
std::wstring scratch_file;
os_nt_create_file_call* default_nt_create_file;
NTSTATUS NTAPI pretending_nt_create_file(PHANDLE handle, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                         PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    *handle = ::CreateFileW(temp, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return 0;
}

HANDLE WINAPI scratch_create_file(LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE)
{
    // The parent's hold on the folder it pretends to have made: a handle on the temp folder.
    if (flags & FILE_FLAG_BACKUP_SEMANTICS) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        return ::CreateFileW(temp, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    }
    opened_files.push_back(path);
    return ::CreateFileW(scratch_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
}

HRESULT WINAPI fake_home_folder(HWND, int, HANDLE, DWORD, LPWSTR path)
{
    wcscpy(path, L"C:\\users\\fake-home");
    return S_OK;
}

HRESULT WINAPI failing_home_folder(HWND, int, HANDLE, DWORD, LPWSTR)
{
    return E_FAIL;
}

void remove_unpacked(const std::wstring& path)
{
    // The hold a walk took on its folder would keep the folder from going.
    release_unpack_dir_hold();
    remove_tree(path);
}

// The role and the stop flag the walk is given, as the road gives them.
walk_role walk_as = walk_as_parent;
volatile bool stop_requested;

// A fresh run state with unpack_dir set; the cache starts with a home folder of its own, so
// that no test depends on the template expander.
void prepare_walk(const std::wstring& unpack, bool child = false)
{
    wcscpy(unpack_dir, unpack.c_str());
    main_module_path[0] = L'\0';
    walk_as = child ? walk_as_child : walk_as_parent;
    stop_requested = false;
    directory_cache[0] = L"C:\\users\\test-home";
    directory_cache_count = 1;
}

void open_archive(const std::vector<archive_entry>& entries, const std::string& after_terminator = "")
{
    held_block = block_around(raw_frame(archive_stream(entries) + after_terminator));
    payload_open_block(reinterpret_cast<const unsigned char*>(held_block.data()),
                       static_cast<uint32_t>(held_block.size()));
}

walk_result walk(const std::vector<archive_entry>& entries, const std::string& after_terminator = "")
{
    open_archive(entries, after_terminator);
    return walk_archive(walk_as, &stop_requested);
}

class Walk : public testing::Test {
protected:
    seam_scope seam;
    scoped_temp_folder temp;
    // Made by the walk, as the parent makes its unpack folder.
    std::wstring unpack = temp.path + L"\\unpack";

    void SetUp() override
    {
        write_sizes.clear();
        directory_calls.clear();
        opened_files.clear();
        file_creations = 0;
        prepare_walk(unpack);
    }
    void TearDown() override
    {
        payload_close();
        release_unpack_dir_hold();
    }
};

}  // namespace

TEST_F(Walk, TheWorkedExampleUnpacksItsTwoFilesAndClosesTheStream)
{
    walk({{L"a.dll", "abc"}, {L"d\\b.txt", ""}});
    EXPECT_EQ(read_file_bytes(unpack + L"\\a.dll"), "abc");
    EXPECT_EQ(read_file_bytes(unpack + L"\\d\\b.txt"), "");
    EXPECT_EQ(std::wstring(main_module_path), unpack + L"\\a.dll");
    EXPECT_EQ(payload_stream.decoder, nullptr);
}

TEST_F(Walk, EntryDataGoesOutInChunksOfAtMost32768BytesWithNoEmptyWrite)
{
    os.WriteFile = counting_write_file;
    struct chunk_case {
        size_t size;
        std::vector<DWORD> writes;
    };
    const chunk_case cases[] = {
        {0, {}},
        {32769, {32768, 1}},
        {65536, {32768, 32768}},
    };
    for (const auto& each : cases) {
        write_sizes.clear();
        remove_unpacked(unpack);
        prepare_walk(unpack);
        std::string data = noise(each.size, 9);
        walk({{L"main.dll", data}});
        EXPECT_EQ(write_sizes, each.writes) << each.size;
        EXPECT_TRUE(read_file_bytes(unpack + L"\\main.dll") == data) << each.size;
    }
}

TEST_F(Walk, MissingFoldersAreTriedGoingUpAndMadeComingDownThenCached)
{
    os.CreateDirectoryW = recording_create_directory;
    walk({{L"d1\\d2\\f", "1"}, {L"d1\\d2\\g", "2"}});
    // The folder that holds the unpack folder, found; the unpack folder itself is made with its
    // hold, and the entry's folders below its final path, whose climb stops at that path.
    const std::wstring above = unpack.substr(0, unpack.rfind(L'\\'));
    const std::wstring written = L"\\\\?\\" + unpack;
    const std::vector<std::wstring> expected = {
        above, written + L"\\d1\\d2", written + L"\\d1", written + L"\\d1\\d2",
    };
    EXPECT_EQ(directory_calls, expected);
    EXPECT_EQ(read_file_bytes(unpack + L"\\d1\\d2\\g"), "2");
}

TEST_F(Walk, ARepeatedNameOverwritesTheEarlierFile)
{
    walk({{L"main.dll", "MZ"}, {L"x.txt", "the first and longer text"}, {L"x.txt", "second"}});
    EXPECT_EQ(read_file_bytes(unpack + L"\\x.txt"), "second");
}

TEST_F(Walk, BytesAfterTheTerminatorAreNeverRead)
{
    walk({{L"main.dll", "MZ"}}, "garbage that looks like no entry at all");
    EXPECT_EQ(read_file_bytes(unpack + L"\\main.dll"), "MZ");
    EXPECT_EQ(payload_stream.decoder, nullptr);
}

TEST_F(Walk, OnlyTheFirstEntryNamesTheMainModule)
{
    walk({{L"data\\first.bin", "1"}, {L"main.dll", "MZ"}});
    EXPECT_EQ(std::wstring(main_module_path), unpack + L"\\data\\first.bin");
}

TEST_F(Walk, AnArchiveThatClaimsMoreDataThanItHoldsEndsWithStatus2AndKeepsEarlierFiles)
{
    std::string stream = archive_stream({{L"main.dll", "MZ"}, {L"cut.bin", "0123456789"}});
    stream.resize(stream.size() - 7);  // the terminator and the last five data bytes
    held_block = block_around(raw_frame(stream));
    payload_open_block(reinterpret_cast<const unsigned char*>(held_block.data()),
                       static_cast<uint32_t>(held_block.size()));
    EXPECT_EQ(exit_status_of([] { walk_archive(walk_as, &stop_requested); }), 2);
    EXPECT_EQ(read_file_bytes(unpack + L"\\main.dll"), "MZ");
}

TEST_F(Walk, TheChildLeavesAfterTheFirstNameAndTouchesNoFile)
{
    prepare_walk(unpack, true);
    os.CreateDirectoryW = recording_create_directory;
    os.CreateFileW = counting_create_file;
    os.WriteFile = counting_write_file;
    walk({{L"main.dll", "MZ"}, {L"other.dll", "xx"}});
    EXPECT_EQ(std::wstring(main_module_path), unpack + L"\\main.dll");
    EXPECT_EQ(std::wstring(target_path), unpack + L"\\main.dll");
    EXPECT_TRUE(directory_calls.empty());
    EXPECT_EQ(file_creations, 0);
    EXPECT_TRUE(write_sizes.empty());
    // The size of the first entry is the next thing in the stream, unread.
    unsigned char size[8];
    payload_read(size, 8);
    EXPECT_EQ(size[0], 2);
    EXPECT_NE(payload_stream.decoder, nullptr);
    EXPECT_EQ(GetFileAttributesW(unpack.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Walk, AChildThatMeetsTheTerminatorFirstReturnsWithNoMainModule)
{
    prepare_walk(unpack, true);
    walk({});
    EXPECT_EQ(main_module_path[0], L'\0');
    EXPECT_NE(payload_stream.decoder, nullptr);
}

TEST_F(Walk, ATargetPathOf4095UnitsFitsAndOneOf4096Aborts)
{
    scratch_file = temp_path_for(L"scratch");
    os.CreateDirectoryW = pretending_create_directory;
    os.NtCreateFile = pretending_nt_create_file;
    os.CreateFileW = scratch_create_file;
    std::wstring name(1000, L'n');
    for (size_t total : {4095u, 4096u}) {
        std::wstring long_dir = L"C:\\" + std::wstring(total - 1 - name.size() - 3, L'u');
        for (bool child : {false, true}) {
            prepare_walk(long_dir, child);
            opened_files.clear();
            bool aborted = ends_in_fail_fast([&] { walk({{name, "x"}}); });
            EXPECT_EQ(aborted, total == 4096) << total << (child ? " child" : " parent");
            if (!aborted) {
                EXPECT_EQ(wcslen(main_module_path), 4095u);
                EXPECT_EQ(opened_files.size(), child ? 0u : 1u);
            }
            payload_close();
        }
    }
    DeleteFileW(scratch_file.c_str());
}

// What the walk asks of the system to make its folder: one creation that fails for any name
// already there and follows no link, whose handle is the hold itself.
struct folder_creation {
    std::wstring name;
    ACCESS_MASK access;
    ULONG share;
    ULONG disposition;
    ULONG options;
    bool protected_list;
    HANDLE made;
};
std::vector<folder_creation> folder_creations;

NTSTATUS NTAPI recording_nt_create_file(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                        PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG attributes, ULONG share,
                                        ULONG disposition, ULONG options, PVOID ea, ULONG ea_length)
{
    const SECURITY_DESCRIPTOR* descriptor = static_cast<const SECURITY_DESCRIPTOR*>(object->SecurityDescriptor);
    const NTSTATUS status = default_nt_create_file(handle, access, object, io, size, attributes, share, disposition,
                                                   options, ea, ea_length);
    folder_creations.push_back({std::wstring(object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t)),
                                access, share, disposition, options,
                                descriptor != nullptr && (descriptor->Control & SE_DACL_PROTECTED) != 0,
                                status >= 0 ? *handle : nullptr});
    return status;
}

TEST_F(Walk, TheFolderIsMadeAndHeldByOneCreationThatTakesNoNameAlreadyThere)
{
    default_nt_create_file = os.NtCreateFile;
    os.NtCreateFile = recording_nt_create_file;
    folder_creations.clear();
    walk({{L"main.dll", "MZ"}});
    ASSERT_EQ(folder_creations.size(), 1u);
    const folder_creation& made = folder_creations[0];
    EXPECT_EQ(made.name, L"\\??\\" + unpack);
    EXPECT_EQ(made.disposition, static_cast<ULONG>(FILE_CREATE));
    EXPECT_EQ(made.options & (FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT),
              static_cast<ULONG>(FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT));
    // No delete sharing: nobody renames or removes the folder while the run holds it.
    EXPECT_EQ(made.share, static_cast<ULONG>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_TRUE(made.protected_list);
    EXPECT_EQ(unpack_dir_hold, made.made);
    EXPECT_TRUE(unpack_dir_created);
    EXPECT_EQ(read_file_bytes(unpack + L"\\main.dll"), "MZ");
}

TEST_F(Walk, ANameOf1023UnitsFitsAndOneOf1024Aborts)
{
    os.CreateDirectoryW = pretending_create_directory;
    prepare_walk(unpack, true);
    walk({{std::wstring(1023, L'n'), ""}});
    EXPECT_EQ(wcslen(main_module_path), unpack.size() + 1 + 1023);
    payload_close();
    prepare_walk(unpack, true);
    EXPECT_TRUE(ends_in_fail_fast([] { walk({{std::wstring(1024, L'n'), ""}}); }));
}

class DirectoryCache : public testing::Test {
protected:
    seam_scope seam;
    void SetUp() override
    {
        directory_calls.clear();
        prepare_walk(L"C:\\unused");
    }
};

TEST_F(DirectoryCache, HoldsAtMost1024FoldersAndStillCreatesTheRest)
{
    os.CreateDirectoryW = pretending_create_directory;
    for (int i = 1; i < 1024; ++i) {
        EXPECT_TRUE(ensure_directory((L"C:\\cache\\" + std::to_wstring(i)).c_str()));
    }
    EXPECT_EQ(directory_cache_count, 1024);
    EXPECT_EQ(directory_calls.size(), 1023u);
    EXPECT_TRUE(ensure_directory(L"C:\\cache\\1023"));
    EXPECT_EQ(directory_calls.size(), 1023u);
    os.CreateDirectoryW = existing_create_directory;
    EXPECT_TRUE(ensure_directory(L"C:\\cache\\beyond"));
    EXPECT_TRUE(ensure_directory(L"C:\\cache\\beyond"));
    EXPECT_EQ(directory_calls.size(), 1025u);
    EXPECT_EQ(directory_cache_count, 1024);
}

TEST_F(DirectoryCache, BareDrivesAndTheHomeFolderNeedNoCall)
{
    os.CreateDirectoryW = missing_parent_create_directory;
    EXPECT_TRUE(ensure_directory(L"Q:"));
    EXPECT_TRUE(ensure_directory(L"C:\\users\\test-home"));
    EXPECT_TRUE(directory_calls.empty());
    EXPECT_EQ(directory_cache_count, 1);
}

TEST_F(DirectoryCache, AFolderThatCannotBeMadeIsNotRememberedOneThatExistsIs)
{
    os.CreateDirectoryW = missing_parent_create_directory;
    EXPECT_FALSE(ensure_directory(L"C:\\missing\\child"));
    EXPECT_EQ(directory_cache_count, 1);
    os.CreateDirectoryW = existing_create_directory;
    EXPECT_TRUE(ensure_directory(L"C:\\present"));
    EXPECT_TRUE(ensure_directory(L"C:\\present"));
    EXPECT_EQ(directory_calls.size(), 2u);
}

TEST_F(DirectoryCache, WithNoMemoryForACopyTheFolderIsAskedForAgain)
{
    os.CreateDirectoryW = existing_create_directory;
    os.malloc = [](size_t) -> void* { return nullptr; };
    EXPECT_TRUE(ensure_directory(L"C:\\present"));
    EXPECT_TRUE(ensure_directory(L"C:\\present"));
    EXPECT_EQ(directory_calls.size(), 2u);
    EXPECT_EQ(directory_cache_count, 1);
}

TEST_F(DirectoryCache, TheClimbStopsAtABareDrive)
{
    os.CreateDirectoryW = missing_parent_create_directory;
    EXPECT_FALSE(create_parent_directories(L"Q:\\a\\b\\file"));
    const std::vector<std::wstring> expected = {L"Q:\\a\\b", L"Q:\\a", L"Q:\\a", L"Q:\\a\\b"};
    EXPECT_EQ(directory_calls, expected);
    EXPECT_TRUE(create_parent_directories(L"file-without-folder"));
}

TEST_F(DirectoryCache, TheFirstUseSeedsSlotZeroWithTheExpandedHomeFolder)
{
    os.SHGetFolderPathW = fake_home_folder;
    wchar_t home[4096];
    if (!expand_template(home, L"{HOME}", 4096)) {
        GTEST_SKIP() << "the template expander cannot give {HOME} yet";
    }
    directory_cache_count = 0;
    os.CreateDirectoryW = missing_parent_create_directory;
    EXPECT_TRUE(ensure_directory(home));
    EXPECT_TRUE(directory_calls.empty());
    EXPECT_EQ(directory_cache_count, 1);
    EXPECT_EQ(std::wstring(directory_cache[0]), std::wstring(home));
}

VELDRA_PROBE(seed_without_home)
{
    os.SHGetFolderPathW = failing_home_folder;
    directory_cache_count = 0;
    ensure_directory(L"C:\\anything");
    return 0;
}

TEST(DirectoryCacheSeed, AHomeFolderThatCannotBeExpandedEndsWithTheTemplateLine)
{
    process_result result = run_probe(L"seed_without_home");
    EXPECT_EQ(result.exit_code, 0xC0000409u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error, couldn't runtime expand spec '{HOME}'.\r\n");
}

// The unpack folder is the run's own from its creation on, so no other process can hold a file
// in it before the parent writes there: the holder is the application of an earlier run of the
// same folder, played here by an open that the system refuses.
HANDLE WINAPI held_create_file(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE template_file)
{
    if (wcsstr(path, L"held.txt") != nullptr) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileW(path, access, share, security, disposition, flags, template_file);
}

// argv: unpack folder, failure to show ("open" or "write").
VELDRA_PROBE(walk_and_fail)
{
    prepare_walk(argv[0]);
    if (wcscmp(argv[1], L"write") == 0) {
        os.WriteFile = failing_write_file;
    } else {
        os.CreateFileW = held_create_file;
    }
    walk({{L"main.dll", "MZ"}, {L"held.txt", "new"}});
    return 0;
}

TEST_F(Walk, AFileThatCannotBeOpenedEndsWithTheOpenLineAndKeepsEarlierFiles)
{
    std::wstring held = unpack + L"\\held.txt";
    process_result result = run_probe(L"walk_and_fail", {unpack, L"open"});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error, failed to open '" + narrow(held) + "' for writing.\r\n");
    EXPECT_EQ(read_file_bytes(unpack + L"\\main.dll"), "MZ");
}

TEST_F(Walk, AFailingWriteEndsWithTheUnpackLineAndTheSystemText)
{
    process_result result = run_probe(L"walk_and_fail", {unpack, L"write"});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error, couldn't unpack file to target path. ([Error 112] " + system_text(112) + ")\r\n");
}

namespace {

// A console stop arrives while the second chunk of the first file is being written.
BOOL WINAPI write_then_stop(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    write_sizes.push_back(size);
    if (write_sizes.size() == 2) {
        stop_requested = true;
    }
    return ::WriteFile(file, data, size, written, overlapped);
}

}  // namespace

// The road ends the run on the report; what it may count on is that the walk wrote nothing
// more and left no handle that would keep the file, and so the folder, from going.
TEST_F(Walk, AConsoleStopEndsTheWritingClosesTheFileAndIsReported)
{
    os.WriteFile = write_then_stop;
    os.CreateFileW = counting_create_file;
    // More than the writer's queue holds, so that the walk meets the stop inside this file.
    std::string big(3 * writer_slot_count * writer_slot_size, 'x');
    EXPECT_EQ(walk_stopped, walk({{L"main.dll", big}, {L"sub\\later.txt", "later"}}));
    EXPECT_EQ(2u, write_sizes.size());
    EXPECT_EQ(1, file_creations);
    EXPECT_NE(0, DeleteFileW((unpack + L"\\main.dll").c_str())) << GetLastError();
}

namespace {

// The stop's removal pulls the folder from under the write, which then fails.
BOOL WINAPI write_fails_under_stop(HANDLE, LPCVOID, DWORD size, LPDWORD, LPOVERLAPPED)
{
    write_sizes.push_back(size);
    stop_requested = true;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

}  // namespace

TEST_F(Walk, AWriteThatFailsUnderAConsoleStopIsReportedAsTheStopWithTheFileClosed)
{
    os.WriteFile = write_fails_under_stop;
    // The fatal line would end the test with the seam's exit instead of the report. The first
    // file is more than the writer's queue holds, so that the walk meets the stop inside it.
    std::string big(3 * writer_slot_count * writer_slot_size, 'x');
    EXPECT_EQ(walk_stopped, walk({{L"main.dll", big}, {L"later.txt", "later"}}));
    EXPECT_EQ(1u, write_sizes.size());
    EXPECT_NE(0, DeleteFileW((unpack + L"\\main.dll").c_str())) << GetLastError();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((unpack + L"\\later.txt").c_str()));
}

namespace {

// A write or close that fails at one position of the first file; every call is counted, on
// whichever thread makes it.
enum class fail_at { write, close };
struct failure_position {
    const char* where;
    fail_at call;
    int number;  // the failing write, counted from 1; for a close, the close of the first file
};
failure_position failing;
volatile LONG writes_seen;
volatile LONG writes_after_failure;
volatile LONG closes_seen;
std::string error_lines;

BOOL WINAPI write_failing_at_position(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                      LPOVERLAPPED overlapped)
{
    LONG number = InterlockedIncrement(&writes_seen);
    if (failing.call == fail_at::write && number > failing.number) {
        InterlockedIncrement(&writes_after_failure);
    }
    if (failing.call == fail_at::write && number == failing.number) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return ::WriteFile(file, data, size, written, overlapped);
}

// The handle is closed all the same: a close that reports a failure has still let go. Closes
// count from the first write on, so the first is that of the file being written.
BOOL WINAPI close_failing_at_position(HANDLE handle)
{
    BOOL closed = ::CloseHandle(handle);
    if (failing.call == fail_at::close && writes_seen > 0 && InterlockedIncrement(&closes_seen) == failing.number) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return closed;
}

void record_error_line(unsigned long std_handle, const char* bytes, size_t length)
{
    if (std_handle == STD_ERROR_HANDLE) {
        error_lines.append(bytes, length);
    }
}

}  // namespace

// The first file fills two slots and one chunk of a third: nine writes, the last of 100 bytes.
// Wherever its writing fails, the run ends with the write line and the system's text, no
// write follows the failing one, the walk never returns to start the child, and no file of the
// run is left open, so that its folder can go.
TEST_F(Walk, AFailedWriteOrCloseAtAnyPositionEndsWithTheWriteLineBeforeAnyChild)
{
    const failure_position positions[] = {
        {"the first write", fail_at::write, 1},
        {"a write in the middle, the first of the second slot", fail_at::write, 5},
        {"the last chunk of the file", fail_at::write, 9},
        {"the close of the file", fail_at::close, 1},
    };
    const std::string first(2 * writer_slot_size + 100, 'm');
    const std::string expected =
        "Error, couldn't unpack file to target path. ([Error 112] " + system_text(112) + ")\r\n";
    for (const failure_position& position : positions) {
        SCOPED_TRACE(position.where);
        failing = position;
        writes_seen = 0;
        writes_after_failure = 0;
        closes_seen = 0;
        error_lines.clear();
        remove_unpacked(unpack);
        prepare_walk(unpack);
        os.WriteFile = write_failing_at_position;
        os.CloseHandle = close_failing_at_position;
        os.standard_write = record_error_line;
        bool returned = false;
        EXPECT_EQ(2, exit_status_of([&] {
                      walk({{L"main.dll", first}, {L"sub\\second.dat", std::string(70000, 's')}});
                      returned = true;
                  }));
        EXPECT_FALSE(returned);
        EXPECT_EQ(expected, error_lines);
        EXPECT_EQ(0, writes_after_failure);
        seam_restore("WriteFile");
        seam_restore("CloseHandle");
        seam_restore("standard_write");
        payload_close();
        remove_unpacked(unpack);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(unpack.c_str())) << "a file of the run is still open";
    }
}

namespace {

// A volume that fills up inside a chunk: the write takes half of what it is given and succeeds,
// the next one fails.
volatile LONG short_writes;
BOOL WINAPI write_half_then_fail(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (InterlockedIncrement(&short_writes) == 1) {
        return ::WriteFile(file, data, size / 2, written, overlapped);
    }
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// A write that reports success without taking a byte.
BOOL WINAPI write_nothing(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    *written = 0;
    return TRUE;
}

}  // namespace

// The last file's only chunk is the one cut short: nothing after it would tell, so the short
// write itself must end the run, never a short file and a run that goes on.
TEST_F(Walk, AWriteThatSucceedsShortIsContinuedAndItsFailureEndsTheRun)
{
    struct short_write {
        const char* what;
        decltype(os.WriteFile) call;
        unsigned long code;
    };
    const short_write cases[] = {
        {"half, then the disk is full", write_half_then_fail, ERROR_DISK_FULL},
        {"success without a byte", write_nothing, ERROR_WRITE_FAULT},
    };
    for (const short_write& write : cases) {
        SCOPED_TRACE(write.what);
        short_writes = 0;
        error_lines.clear();
        remove_unpacked(unpack);
        prepare_walk(unpack);
        os.WriteFile = write.call;
        os.standard_write = record_error_line;
        EXPECT_EQ(2, exit_status_of([] { walk({{L"main.dll", std::string(1000, 'm')}}); }));
        EXPECT_EQ("Error, couldn't unpack file to target path. ([Error " + std::to_string(write.code) + "] " +
                      system_text(write.code) + ")\r\n",
                  error_lines);
        seam_restore("WriteFile");
        seam_restore("standard_write");
        payload_close();
    }
}

namespace {

int thread_starts;

HANDLE WINAPI counting_create_thread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                     LPVOID parameter, DWORD flags, LPDWORD id)
{
    ++thread_starts;
    return ::CreateThread(security, stack, start, parameter, flags, id);
}

HANDLE WINAPI failing_create_thread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    ++thread_starts;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

}  // namespace

TEST_F(Walk, TheChildStartsNoWriterThread)
{
    thread_starts = 0;
    prepare_walk(unpack, true);
    os.CreateThread = counting_create_thread;
    walk({{L"main.dll", "MZ"}, {L"other.dll", "xx"}});
    EXPECT_EQ(0, thread_starts);
}

// Where no thread can be started the walk writes on its own thread: the same files, the same
// chunks.
TEST_F(Walk, WithoutAWriterThreadEveryFileIsWrittenAllTheSame)
{
    writer_end();
    thread_starts = 0;
    os.CreateThread = failing_create_thread;
    os.WriteFile = counting_write_file;
    const std::string big(writer_slot_size + 32769, 'b');
    walk({{L"main.dll", big}, {L"empty.txt", ""}, {L"d\\small.txt", "small"}});
    writer_end();
    EXPECT_EQ(1, thread_starts);
    EXPECT_EQ(big, read_file_bytes(unpack + L"\\main.dll"));
    EXPECT_EQ("", read_file_bytes(unpack + L"\\empty.txt"));
    EXPECT_EQ("small", read_file_bytes(unpack + L"\\d\\small.txt"));
    EXPECT_EQ((std::vector<DWORD>{32768, 32768, 32768, 32768, 32768, 1, 5}), write_sizes);
}

// argv: unpack folder, the unsafe name, "parent" or "child". A good file comes first, so the
// parent has begun to unpack when it meets the name.
VELDRA_PROBE(walk_unsafe_name)
{
    bool child = wcscmp(argv[2], L"child") == 0;
    prepare_walk(argv[0], child);
    unpack_started = true;
    if (child) {
        walk({{argv[1], "bad"}, {L"main.dll", "MZ"}});
    } else {
        walk({{L"main.dll", "MZ"}, {L"sub\\first.txt", "1"}, {argv[1], "bad"}});
    }
    return 0;
}

TEST_F(Walk, AnUnsafeNameEndsTheParentWithItsLineAndRemovesWhatItUnpacked)
{
    // Each name would otherwise reach a file outside the folder, a stream or a device.
    const wchar_t* const names[] = {L"..\\escape_walk.txt", L"sub\\..\\..\\escape_walk.txt", L"\\escape_walk.txt",
                                    L"main.dll:stream", L"NUL", L"sub\\con.txt", L"a/../../escape_walk.txt",
                                    L"dot.", L"tab\tname"};
    const std::wstring outside = unpack + L"\\..\\escape_walk.txt";
    for (const wchar_t* name : names) {
        process_result result = run_probe(L"walk_unsafe_name", {unpack, name, L"parent"});
        std::string shown(name, name + wcslen(name));
        EXPECT_EQ(result.exit_code, 2u) << shown;
        EXPECT_EQ(result.out, "Error, attached data holds an unsafe file name.\r\n") << shown;
        EXPECT_EQ(result.err, "") << shown;
        EXPECT_EQ(GetFileAttributesW(unpack.c_str()), INVALID_FILE_ATTRIBUTES) << shown;
        EXPECT_EQ(GetFileAttributesW(outside.c_str()), INVALID_FILE_ATTRIBUTES) << shown;
        DeleteFileW(outside.c_str());
    }
}

TEST_F(Walk, TheChildChecksTheFirstNameAndLeavesTheFolderToItsParent)
{
    CreateDirectoryW(unpack.c_str(), nullptr);
    std::wstring kept = unpack + L"\\kept.txt";
    FILE* file = _wfopen(kept.c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    fclose(file);
    process_result result = run_probe(L"walk_unsafe_name", {unpack, L"..\\main.dll", L"child"});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "Error, attached data holds an unsafe file name.\r\n");
    EXPECT_NE(GetFileAttributesW(kept.c_str()), INVALID_FILE_ATTRIBUTES);
}

// argv: unpack folder. A parent's walk with a plain archive.
VELDRA_PROBE(walk_parent)
{
    prepare_walk(argv[0]);
    unpack_started = true;
    walk({{L"main.dll", "MZ"}, {L"sub\\data.txt", "data"}});
    return 0;
}

TEST_F(Walk, AnUnpackFolderThatExistsAlreadyIsRefusedAndNothingIsWrittenOrRemoved)
{
    // Whoever made it first, with whatever in it: the parent leaves it exactly as it found it.
    ASSERT_TRUE(CreateDirectoryW(unpack.c_str(), nullptr));
    const std::wstring planted = unpack + L"\\main.dll";
    FILE* file = _wfopen(planted.c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    fputs("planted", file);
    fclose(file);
    process_result result = run_probe(L"walk_parent", {unpack});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error, couldn't create a fresh unpack folder '" + narrow(unpack) + "'.\r\n");
    EXPECT_EQ(read_file_bytes(planted), "planted");
    EXPECT_EQ(GetFileAttributesW((unpack + L"\\sub").c_str()), INVALID_FILE_ATTRIBUTES);
}

namespace {
std::wstring final_root;
DWORD WINAPI resolved_elsewhere(HANDLE, LPWSTR path, DWORD capacity, DWORD)
{
    wcsncpy(path, final_root.c_str(), capacity);
    return static_cast<DWORD>(final_root.size());
}
}  // namespace

// A junction put in place of a folder above the unpack folder after it was made would lead a
// write by its path elsewhere; the writes go below the path the system gives the held handle
// instead (here another folder, as the system would name a folder reached through a junction),
// while the messages and the child's paths keep the template's form.
TEST_F(Walk, EveryFileIsWrittenBelowTheFinalPathOfTheHeldFolder)
{
    scoped_temp_folder resolved;
    final_root = L"\\\\?\\" + resolved.path;
    os.GetFinalPathNameByHandleW = resolved_elsewhere;
    walk({{L"main.dll", "MZ"}, {L"sub\\x.txt", "x"}});
    EXPECT_EQ(read_file_bytes(resolved.path + L"\\main.dll"), "MZ");
    EXPECT_EQ(read_file_bytes(resolved.path + L"\\sub\\x.txt"), "x");
    EXPECT_EQ(folder_entries(unpack), std::vector<std::wstring>{});
    EXPECT_EQ(std::wstring(main_module_path), unpack + L"\\main.dll");
    EXPECT_EQ(std::wstring(target_path), unpack + L"\\sub\\x.txt");
}

TEST_F(Walk, AMissingFolderAboveTheUnpackFolderIsMadeAsBefore)
{
    const std::wstring below = unpack + L"\\run_1";
    prepare_walk(below);
    walk({{L"main.dll", "MZ"}});
    EXPECT_EQ(read_file_bytes(below + L"\\main.dll"), "MZ");
}

namespace {

HMODULE WINAPI no_advapi(LPCWSTR name, HANDLE file, DWORD flags)
{
    if (_wcsicmp(name, L"advapi32.dll") == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return ::LoadLibraryExW(name, file, flags);
}

}  // namespace

VELDRA_PROBE(walk_without_token_user)
{
    os.LoadLibraryExW = no_advapi;
    prepare_walk(argv[0]);
    walk({{L"main.dll", "MZ"}});
    return 0;
}

// Without the user's identifier the folder could only be made with a list that shuts out the
// child or lets others in: neither, the run ends and nothing is made.
TEST_F(Walk, WhenTheTokenCannotNameTheUserNoFolderIsMade)
{
    process_result result = run_probe(L"walk_without_token_user", {unpack});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error, couldn't read the user of the process token. ([Error 126] " + system_text(126) + ")\r\n");
    EXPECT_EQ(GetFileAttributesW(unpack.c_str()), INVALID_FILE_ATTRIBUTES);
}

namespace {

std::vector<unsigned char> token_user_sid()
{
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    unsigned char buffer[256];
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
    CloseHandle(token);
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    const unsigned char* bytes = static_cast<const unsigned char*>(sid);
    return std::vector<unsigned char>(bytes, bytes + GetLengthSid(sid));
}

std::vector<unsigned char> well_known_sid(WELL_KNOWN_SID_TYPE type)
{
    unsigned char sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    CreateWellKnownSid(type, nullptr, sid, &size);
    return std::vector<unsigned char>(sid, sid + size);
}

struct acl_entry {
    BYTE type;
    BYTE flags;
    DWORD mask;
    std::vector<unsigned char> sid;
    bool operator==(const acl_entry& other) const
    {
        return type == other.type && flags == other.flags && mask == other.mask && sid == other.sid;
    }
};

// The entries of a descriptor's access list, read with the system's own calls.
std::vector<acl_entry> access_entries(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL* control)
{
    std::vector<acl_entry> entries;
    DWORD revision = 0;
    EXPECT_TRUE(GetSecurityDescriptorControl(descriptor, control, &revision));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    EXPECT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted));
    EXPECT_TRUE(present && acl != nullptr) << "a missing list would let everyone in";
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        void* entry = nullptr;
        EXPECT_TRUE(GetAce(acl, i, &entry));
        const ACCESS_ALLOWED_ACE* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        unsigned char* sid = reinterpret_cast<unsigned char*>(const_cast<DWORD*>(&ace->SidStart));
        entries.push_back({ace->Header.AceType, ace->Header.AceFlags, ace->Mask,
                           std::vector<unsigned char>(sid, sid + GetLengthSid(sid))});
    }
    return entries;
}

std::vector<acl_entry> private_entries()
{
    const BYTE inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    return {{ACCESS_ALLOWED_ACE_TYPE, inherited, FILE_ALL_ACCESS, token_user_sid()},
            {ACCESS_ALLOWED_ACE_TYPE, inherited, FILE_ALL_ACCESS, well_known_sid(WinLocalSystemSid)},
            {ACCESS_ALLOWED_ACE_TYPE, inherited, FILE_ALL_ACCESS, well_known_sid(WinBuiltinAdministratorsSid)}};
}

std::vector<std::wstring> secured_folders;
std::vector<unsigned char> captured_descriptor;

BOOL WINAPI capturing_create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    if (attributes != nullptr) {
        secured_folders.push_back(path);
    }
    return ::CreateDirectoryW(path, attributes);
}

NTSTATUS NTAPI capturing_nt_create_file(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                        PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG attributes, ULONG share,
                                        ULONG disposition, ULONG options, PVOID ea, ULONG ea_length)
{
    if (object->SecurityDescriptor != nullptr) {
        secured_folders.push_back(std::wstring(object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t)));
        // Kept in the self-relative form, which outlives the caller's stack.
        DWORD descriptor_size = 0;
        MakeSelfRelativeSD(object->SecurityDescriptor, nullptr, &descriptor_size);
        captured_descriptor.assign(descriptor_size, 0);
        EXPECT_TRUE(MakeSelfRelativeSD(object->SecurityDescriptor, captured_descriptor.data(), &descriptor_size));
        EXPECT_EQ(object->Attributes & OBJ_INHERIT, 0u);
    }
    return default_nt_create_file(handle, access, object, io, size, attributes, share, disposition, options, ea,
                                  ea_length);
}

}  // namespace

// What the parent asks the system for, taken at the call and read with the system's own calls:
// only the unpack folder gets a descriptor of its own, everything below inherits it.
TEST_F(Walk, TheUnpackFolderIsCreatedWithAProtectedListForTheUserSystemAndAdministratorsAlone)
{
    secured_folders.clear();
    captured_descriptor.clear();
    os.CreateDirectoryW = capturing_create_directory;
    default_nt_create_file = os.NtCreateFile;
    os.NtCreateFile = capturing_nt_create_file;
    walk({{L"main.dll", "MZ"}, {L"sub\\deeper\\x.txt", "x"}});
    EXPECT_EQ(secured_folders, std::vector<std::wstring>{L"\\??\\" + unpack});
    ASSERT_FALSE(captured_descriptor.empty());
    EXPECT_TRUE(IsValidSecurityDescriptor(captured_descriptor.data()));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    EXPECT_EQ(access_entries(captured_descriptor.data(), &control), private_entries());
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "inherits nothing from the folder above";
}

// Read back from the folder itself. Wine keeps no descriptor for a file: it derives one from
// the Unix mode bits it set from ours (here 0750), so it shows the user and SYSTEM, no
// Administrators entry and no protection, and it checks no access against any of it. It does
// not pass the list on to folders made below either (they get its default mode), though on
// Unix the mode of this one already keeps others from reaching them. What holds on both
// systems: nobody else has an entry, and the user has full control, which is what lets the
// child, under the same token, read the folder.
TEST_F(Walk, TheFreshFolderReadsBackWithEntriesForTheUserAndTheSystemAlone)
{
    walk({{L"main.dll", "MZ"}});
    for (const std::wstring& folder : {unpack}) {
        std::vector<unsigned char> descriptor(4096);
        DWORD needed = 0;
        ASSERT_TRUE(GetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(),
                                     static_cast<DWORD>(descriptor.size()), &needed))
            << GetLastError();
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        const std::vector<acl_entry> entries = access_entries(descriptor.data(), &control);
        const std::vector<acl_entry> allowed = private_entries();
        bool user_has_full_control = false;
        for (const acl_entry& entry : entries) {
            bool known = false;
            for (const acl_entry& mine : allowed) {
                known = known || entry.sid == mine.sid;
            }
            EXPECT_TRUE(known) << "an entry for someone else";
            user_has_full_control = user_has_full_control ||
                                    (entry.sid == allowed[0].sid && entry.type == ACCESS_ALLOWED_ACE_TYPE &&
                                     (entry.mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS);
        }
        EXPECT_TRUE(user_has_full_control);
    }
}
