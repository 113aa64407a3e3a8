// The realistic application under load and under faults, started as a user would start it,
// each run with a temp folder of its own and inside a job object that counts its processes.
#include "tests/reliability/counted_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

const std::wstring work = VELDRA_RELIABILITY_DIR;
const std::wstring full_fs = VELDRA_FULL_FS;

std::wstring work_file(const std::wstring& name)
{
    return work + L"\\" + name;
}

// Every run of this suite goes into a job of its own, so that a test sees how many processes
// the run made.
started_process start_counted(const std::wstring& executable, const std::wstring& command_line,
                              const std::wstring& temp, const environment_changes& changes = {})
{
    return start_launcher(executable, command_line, temp, changes, L"", start_as::in_job);
}

// The folder the application reported, checked against the template's shape under `temp`.
void expect_unpack_folder_under(const std::wstring& temp, const std::string& folder)
{
    static const std::regex shape(R"(.*\\onefile_[0-9]+_[0-9]{6}_[A-Za-z0-9_-]{11})");
    EXPECT_EQ(utf8(temp) + "\\", folder.substr(0, utf8(temp).size() + 1)) << folder;
    EXPECT_TRUE(std::regex_match(folder, shape)) << folder;
}

std::wstring from_utf8(const std::string& text)
{
    if (text.empty()) {
        return std::wstring();
    }
    int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

// The launcher and the application both reported through files in a folder of the test.
class LargeApplication : public testing::Test {
protected:
    std::wstring temp = make_temp_folder();
    std::wstring reports = make_temp_folder();

    ~LargeApplication() override
    {
        remove_tree(temp);
        remove_tree(reports);
    }

    std::wstring report(const std::wstring& name) const { return reports + L"\\" + name; }
};

}  // namespace

// Twenty users start the same executable at the same moment: each run gets its own folder,
// the whole application in it, its own status back, and removes what it unpacked.
TEST_F(LargeApplication, TwentyConcurrentLaunchesEachGetTheirOwnFolderAndStatus)
{
    const int runs = 20;
    std::vector<started_process> launches;
    for (int i = 0; i < runs; ++i) {
        const std::wstring n = std::to_wstring(i);
        launches.push_back(start_counted(work_file(L"large.exe"), L"large", temp,
                                         {{L"FIXTURE_FOLDER", report(L"folder_" + n)},
                                          {L"FIXTURE_LIST", report(L"list_" + n)},
                                          {L"FIXTURE_EXIT", std::to_wstring(100 + i)}}));
    }
    const std::vector<std::string> expected_files = listing_of(work_file(L"large"));
    ASSERT_EQ(57u, expected_files.size());
    std::set<std::string> folders;
    for (int i = 0; i < runs; ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        process_result result = finish_process(launches[i]);
        EXPECT_EQ(static_cast<unsigned long>(100 + i), result.exit_code) << result.out << result.err;
        EXPECT_EQ(2u, result.processes);
        EXPECT_EQ("", result.out);
        EXPECT_EQ("", result.err);
        const std::wstring n = std::to_wstring(i);
        std::string folder = read_file_bytes(report(L"folder_" + n));
        expect_unpack_folder_under(temp, folder);
        folders.insert(folder);
        EXPECT_EQ(expected_files, read_listing(report(L"list_" + n)));
    }
    EXPECT_EQ(static_cast<size_t>(runs), folders.size()) << "two runs shared a folder";
    expect_folder_empty(temp);
}

TEST_F(LargeApplication, AnAccessViolationReachesTheCallerAndTheFolderIsRemoved)
{
    started_process started = start_counted(work_file(L"large.exe"), L"large", temp,
                                           {{L"FIXTURE_FOLDER", report(L"folder")}, {L"FIXTURE_CRASH", L"1"}});
    process_result result = finish_process(started);
    // Wine also starts its crash debugger in the job (disabled here), so processes are not counted.
    EXPECT_EQ(0xC0000005ul, result.exit_code) << result.out << result.err;
    EXPECT_EQ("", result.out);
    // The application ran in its folder before it crashed; the folder is gone now.
    std::string folder = read_file_bytes(report(L"folder"));
    expect_unpack_folder_under(temp, folder);
    EXPECT_FALSE(file_exists(from_utf8(folder)));
    expect_folder_empty(temp);
}

namespace {

// Runs a damaged launcher: the decode line, status 2, no child, the application never ran, and
// nothing of what was unpacked before the decoder noticed is left.
void run_damaged(const std::wstring& executable, const std::wstring& temp_folder, const std::wstring& folder_report)
{
    started_process started =
        start_counted(work_file(executable), L"damaged", temp_folder, {{L"FIXTURE_FOLDER", folder_report}});
    process_result result = finish_process(started);
    EXPECT_EQ(2u, result.exit_code);
    EXPECT_EQ("Error, couldn't decode attached data.\r\n", result.out);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(1u, result.processes) << "a child was started";
    EXPECT_FALSE(file_exists(folder_report)) << "the application ran";
    expect_folder_empty(temp_folder);
}

}  // namespace

// A byte changed in the middle of the frame: wherever the decoder notices, nothing starts.
TEST_F(LargeApplication, AChangedByteInTheFrameStopsTheParentBeforeAnyChild)
{
    run_damaged(L"damaged.exe", temp, report(L"folder"));
}

// Only the content checksum is wrong: every file decodes whole, and only the check at the end
// of the frame tells; the parent must still not start the application. How much is written by
// then depends on where the frame's last block falls, which differs between builds.
TEST_F(LargeApplication, AWrongChecksumStopsTheParentAfterEveryFileBeforeAnyChildAndLeavesNothing)
{
    run_damaged(L"bad_sum.exe", temp, report(L"folder"));
}

// The temp folder on a tmpfs of 4 MiB: the main module, first in the archive, does not fit.
TEST_F(LargeApplication, AFullDiskStopsTheParentWithTheSystemsReasonAndNoChild)
{
    if (!file_exists(full_fs + L"\\.mounted")) {
        GTEST_SKIP() << "no tmpfs could be mounted at " << utf8(full_fs) << ": mounting needs root";
    }
    std::wstring small_temp = full_fs + L"\\temp";
    CreateDirectoryW(small_temp.c_str(), nullptr);
    started_process started =
        start_counted(work_file(L"large.exe"), L"large", small_temp, {{L"FIXTURE_FOLDER", report(L"folder")}});
    process_result result = finish_process(started);
    EXPECT_EQ(2u, result.exit_code);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("Error, couldn't unpack file to target path. ([Error 112] " + system_text(112) + ")\r\n",
              result.err);
    EXPECT_EQ(1u, result.processes) << "a child was started";
    EXPECT_FALSE(file_exists(report(L"folder"))) << "the application ran";

    // The part of the main module that fitted is gone with its folder.
    expect_folder_empty(small_temp);
    remove_tree(small_temp);
}

// Non-ASCII names in files, folders, the main module and the temp folder itself: é, Japanese,
// and U+1F600, which UTF-16 writes as the surrogate pair D83D DE00.
TEST(NonAsciiNames, UnpackUnderTheirExactNames)
{
    const std::wstring face = L"\xD83D\xDE00";
    ASSERT_EQ(2u, face.size());
    std::wstring temp = make_temp_folder() + L"\\temp_\x00E9\x65E5\x672C\x8A9E" + face;
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    std::wstring reports = make_temp_folder();

    started_process started = start_counted(work_file(L"names.exe"), L"names", temp,
                                           {{L"FIXTURE_FOLDER", reports + L"\\folder"},
                                            {L"FIXTURE_LIST", reports + L"\\list"}});
    process_result result = finish_process(started);
    EXPECT_EQ(0u, result.exit_code) << result.out << result.err;
    EXPECT_EQ("", result.out);
    EXPECT_EQ("", result.err);

    std::wstring folder = from_utf8(read_file_bytes(reports + L"\\folder"));
    EXPECT_EQ(temp + L"\\onefile_", folder.substr(0, temp.size() + 9));
    std::set<std::wstring> names;
    for (const auto& line : read_listing(reports + L"\\list")) {
        names.insert(from_utf8(line.substr(line.find('\t') + 1)));
    }
    const std::set<std::wstring> expected = {
        L"\x4E3B_\x00E9" + face + L".dll",
        L"caf\x00E9.txt",
        L"plain.txt",
        L"\x65E5\x672C\x8A9E\\\x8AAC\x660E.txt",
        L"emoji_" + face + L"\\face_" + face + L".dat",
        L"donn\x00E9" L"es\\\x00E9\\\x65E5\x672C\x8A9E" + face + L"\x00E9.bin",
    };
    EXPECT_EQ(expected, names);
    EXPECT_EQ(listing_of(work_file(L"names")), read_listing(reports + L"\\list"));
    expect_folder_empty(temp);
    remove_tree(temp.substr(0, temp.rfind(L'\\')));
    remove_tree(reports);
}
