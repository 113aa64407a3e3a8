// What a pack's build configuration does at run time, under Wine: the identity texts and the
// unpack template compiled in, and a signed executable running like an unsigned one.
#include "tests/support/launcher_runs.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace {

std::vector<std::string> sorted_files(const std::string& out)
{
    std::vector<std::string> files = values_of(out, "file=");
    std::sort(files.begin(), files.end());
    return files;
}

std::wstring shell_folder(int folder)
{
    wchar_t path[MAX_PATH];
    return SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK ? path : L"(none)";
}

bool exists(const std::string& path_utf8)
{
    std::wstring path(MultiByteToWideChar(CP_UTF8, 0, path_utf8.c_str(), -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path_utf8.c_str(), -1, &path[0], static_cast<int>(path.size()));
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

struct run_in_folder {
    std::string parent_id;
    process_result result;
    std::string folder;
};

run_in_folder run_reporting_folder(const wchar_t* name, const std::wstring& temp)
{
    started_process started = start_launcher(packed_executable(name), L"launcher print-folder list-files", temp);
    run_in_folder run;
    run.parent_id = std::to_string(started.id);
    run.result = finish_process(started);
    run.folder = value_of(run.result.out, "folder=");
    return run;
}

const std::vector<std::string> probe_files = {"helper.dll", "main.dll"};

}  // namespace

TEST(IdentityTemplate, TheFolderIsNamedWithTheIdentityTextsAndTheThreePartVersions)
{
    struct identity_case {
        const wchar_t* executable;
        std::string name_before_pid;
    };
    const identity_case cases[] = {
        {L"identity", u8"Quill & S\u00f6hne_Widget_2.5.17_2.5.17_2.5.17_"},
        {L"default_identity", "Quendle Forge_Brellum_3.198.0_3.198.0_3.198.0_"},  // no identity options
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(utf8(c.executable));
        scoped_temp_folder temp_folder;
        const std::wstring temp = temp_folder.path;
        run_in_folder run = run_reporting_folder(c.executable, temp);
        ASSERT_EQ(0u, run.result.exit_code) << run.result.out << run.result.err;
        EXPECT_EQ("", run.result.err);
        EXPECT_EQ(utf8(temp) + "\\" + c.name_before_pid + run.parent_id, run.folder);
        EXPECT_EQ(probe_files, sorted_files(run.result.out));
        expect_folder_empty(temp);
    }
}

TEST(ShellFolderTemplate, TheApplicationRunsInTheUsersFolderAndTheFolderIsRemovedAfterwards)
{
    struct shell_case {
        const wchar_t* executable;
        int folder;
        const char* name_pattern;
    };
    const shell_case cases[] = {
        {L"cache_dir", CSIDL_LOCAL_APPDATA, R"(veldra_e2e_cache_(\d+)_[A-Za-z0-9_-]{11})"},
        {L"home", CSIDL_PROFILE, R"(veldra_e2e_home_(\d+)_\d{6})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(utf8(c.executable));
        scoped_temp_folder temp_folder;
        const std::wstring temp = temp_folder.path;
        run_in_folder run = run_reporting_folder(c.executable, temp);
        ASSERT_EQ(0u, run.result.exit_code) << run.result.out << run.result.err;
        const std::string parent = utf8(shell_folder(c.folder));
        ASSERT_EQ(parent + "\\", run.folder.substr(0, parent.size() + 1)) << run.folder;
        std::smatch name;
        const std::string rest = run.folder.substr(parent.size() + 1);
        ASSERT_TRUE(std::regex_match(rest, name, std::regex(c.name_pattern))) << rest;
        EXPECT_EQ(run.parent_id, name[1].str());
        EXPECT_EQ(probe_files, sorted_files(run.result.out));
        EXPECT_FALSE(exists(run.folder)) << run.folder << " is left behind";
        EXPECT_TRUE(exists(parent)) << "the user's folder itself is gone: " << parent;
        expect_folder_empty(temp);
    }
}

TEST(Signed, ASignedExecutableRunsLikeTheUnsignedOne)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    std::vector<process_result> results;
    for (const wchar_t* name : {L"plain", L"signed"}) {
        SCOPED_TRACE(utf8(name));
        started_process started =
            start_launcher(packed_executable(name), L"launcher print-args list-files helper exit=5", temp);
        results.push_back(finish_process(started));
        expect_folder_empty(temp);
    }
    for (const auto& result : results) {
        EXPECT_EQ(5u, result.exit_code) << result.out << result.err;
        EXPECT_EQ("", result.err);
        EXPECT_EQ(probe_files, sorted_files(result.out));
        EXPECT_EQ("helper loaded", value_of(result.out, "helper="));
    }
    // The same arguments reach the application; only argv[0], the executable's path, differs.
    EXPECT_EQ(values_of(results[0].out, "argv[1]="), values_of(results[1].out, "argv[1]="));
    EXPECT_EQ(values_of(results[0].out, "argv[3]="), values_of(results[1].out, "argv[3]="));
}
