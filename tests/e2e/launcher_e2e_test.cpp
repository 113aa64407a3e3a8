// Packed launchers end to end under Wine: what the application sees, what the caller gets back,
// and what is left in the temp folder afterwards.
#include "tests/support/launcher_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

// The launcher's own temp folder is the test's: nothing may stay in it.
std::string regex_escaped(const std::string& text)
{
    static const std::string special = "\\^$.|?*+()[]{}";
    std::string escaped;
    for (char c : text) {
        if (special.find(c) != std::string::npos) {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

std::string folder_of(const std::wstring& path)
{
    return utf8(path.substr(0, path.rfind(L'\\')));
}

}  // namespace

TEST(FullRun, ParentAndChildShareTheFolderTheTemplateNamesAndLeaveNothingBehind)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    std::wstring executable = packed_executable(L"probe");
    // Values a caller's environment may carry from another launcher: a parent ignores them.
    started_process started = start_launcher(executable, L"typed-name print-env print-folder list-files helper print-args",
                                    temp,
                                    {{L"VELDRA_ONEFILE_PARENT", L"1"},
                                     {L"VELDRA_ONEFILE_TIME_US", L"111111"},
                                     {L"VELDRA_ONEFILE_RANDOM", L"AAAAAAAAAAA"},
                                     {L"VELDRA_ONEFILE_START", L"1"}});
    const std::string parent_id = std::to_string(started.id);
    process_result result = finish_process(started);
    ASSERT_EQ(0u, result.exit_code) << result.out << result.err;
    EXPECT_EQ("", result.err);

    std::string folder = value_of(result.out, "folder=");
    std::smatch parts;
    std::regex name(regex_escaped(utf8(temp)) + R"(\\onefile_([0-9]+)_([0-9]{6})_([A-Za-z0-9_-]{11}))");
    ASSERT_TRUE(std::regex_match(folder, parts, name)) << folder;
    EXPECT_EQ(parent_id, parts[1].str());
    EXPECT_EQ(parent_id, value_of(result.out, "VELDRA_ONEFILE_PARENT="));
    EXPECT_EQ(parts[2].str(), value_of(result.out, "VELDRA_ONEFILE_TIME_US="));
    EXPECT_EQ(parts[3].str(), value_of(result.out, "VELDRA_ONEFILE_RANDOM="));
    EXPECT_EQ(1u, values_of(result.out, "VELDRA_ONEFILE_START unset").size());
    EXPECT_EQ(folder_of(executable), value_of(result.out, "VELDRA_ONEFILE_DIRECTORY="));
    EXPECT_EQ("typed-name", value_of(result.out, "VELDRA_ORIGINAL_ARGV0="));
    // The child's first argument is the full module path, not the typed name.
    EXPECT_EQ("[" + utf8(executable) + "]", value_of(result.out, "argv[0]="));
    EXPECT_EQ(folder + "\\main.dll", value_of(result.out, "module="));

    // The child found what the parent unpacked, and the DLL main.dll imports beside it.
    std::vector<std::string> files = values_of(result.out, "file=");
    std::sort(files.begin(), files.end());
    const std::vector<std::string> expected_files = {"data\\level1\\level2\\deep.txt", "data\\level1\\note.txt",
                                                     "helper.dll", "main.dll", "plugin.dll"};
    EXPECT_EQ(expected_files, files);
    EXPECT_EQ("helper loaded", value_of(result.out, "helper="));
    expect_folder_empty(temp);
}

TEST(FullRun, TheExitStatusReachesAWindowsCallerInAll32Bits)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    struct status_case {
        const wchar_t* arguments;
        unsigned long status;
    };
    const status_case cases[] = {
        {L"probe exit=7", 7},
        {L"probe exit=0", 0},
        {L"probe exit=0xC0000005", 0xC0000005},
        {L"probe exit=0xFFFFFFFF", 0xFFFFFFFF},
        {L"probe crash", 0xC0000005},  // an access violation in the application itself
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(utf8(c.arguments));
        started_process started = start_launcher(packed_executable(L"probe"), c.arguments, temp);
        process_result result = finish_process(started);
        EXPECT_EQ(c.status, result.exit_code);
        expect_folder_empty(temp);
    }
}

TEST(CommandLine, TheChildSeesEveryArgumentAsTheUserGaveIt)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    scoped_temp_folder install_parent;
    const std::wstring install = install_parent.path + L"\\dir with blank";
    CreateDirectoryW(install.c_str(), nullptr);
    std::wstring executable = install + L"\\probe.exe";
    ASSERT_TRUE(CopyFileW(packed_executable(L"probe").c_str(), executable.c_str(), FALSE));

    const std::vector<std::wstring> arguments = {L"print-cmdline", L"print-args", L"plain", L"a\\b", L"x y\\",
                                                 L"a\"b", L"a\\\\\"b", L"", L"t\tab", L"n\nl"};
    std::wstring line = L"probe";
    for (const auto& argument : arguments) {
        line += L" " + quote_argument(argument);
    }
    // What the user typed, checked against the system's split and not against the quoting that
    // wrote it, which is the launcher's own.
    int count = 0;
    wchar_t** typed = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(nullptr, typed);
    EXPECT_EQ(std::vector<std::wstring>(arguments), std::vector<std::wstring>(typed + 1, typed + count));
    LocalFree(typed);
    started_process started = start_launcher(executable, line, temp);
    process_result result = finish_process(started);
    ASSERT_EQ(0u, result.exit_code) << result.out << result.err;

    // Control characters show as <HH> in the application's report.
    const std::string path = utf8(executable);
    EXPECT_EQ("\"" + path + "\" print-cmdline print-args plain a\\b \"x y\\\\\" \"a\\\"b\" \"a\\\\\\\\\\\"b\" \"\" "
                            "\"t<09>ab\" \"n<0A>l\"",
              value_of(result.out, "cmdline="));
    const std::vector<std::string> expected_arguments = {
        "[" + path + "]", "[print-cmdline]", "[print-args]", "[plain]", "[a\\b]",     "[x y\\]",
        "[a\"b]",         "[a\\\\\"b]",        "[]",           "[t<09>ab]", "[n<0A>l]"};
    std::vector<std::string> seen;
    for (size_t i = 0; i < expected_arguments.size() + 1; ++i) {
        std::vector<std::string> value = values_of(result.out, "argv[" + std::to_string(i) + "]=");
        if (!value.empty()) {
            seen.push_back(value.front());
        }
    }
    EXPECT_EQ(expected_arguments, seen);
    expect_folder_empty(temp);
}

TEST(DllSearch, ADependencyOnlyInTheCurrentFolderOrOnPathIsNotLoaded)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    scoped_temp_folder elsewhere_folder;
    const std::wstring elsewhere = elsewhere_folder.path;
    std::wstring outside = elsewhere + L"\\outside.dll";
    ASSERT_TRUE(CopyFileW(fixture_file(L"outside.dll").c_str(), outside.c_str(), FALSE));
    // The DLL itself is fine: a plain load by path works.
    HMODULE loaded = LoadLibraryW(outside.c_str());
    EXPECT_NE(nullptr, loaded);
    FreeLibrary(loaded);

    wchar_t path[32768];
    GetEnvironmentVariableW(L"PATH", path, 32768);
    struct search_case {
        const char* where;
        environment_changes changes;
        std::wstring directory;
    };
    const search_case cases[] = {
        {"only in the current folder", {}, elsewhere},
        {"only on PATH", {{L"PATH", elsewhere + L";" + path}}, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        started_process started = start_launcher(packed_executable(L"needs_outside"), L"needs_outside", temp, c.changes,
                                        c.directory);
        process_result result = finish_process(started);
        EXPECT_EQ(2u, result.exit_code);
        EXPECT_EQ("", result.out);
        EXPECT_EQ("Error, load DLL. ([Error 126] " + system_text(126) + ")\r\n", result.err);
        expect_folder_empty(temp);
    }
}

// What the application loads later by bare name comes from the unpack folder or the system
// folder: a DLL of that name beside the launcher, in the current folder or on PATH is not looked at.
TEST(DllSearch, ALoadByBareNameInTheApplicationLooksInTheUnpackFolderOnly)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    scoped_temp_folder install_folder;
    const std::wstring install = install_folder.path;
    scoped_temp_folder on_path_folder;
    const std::wstring on_path = on_path_folder.path;
    std::wstring executable = install + L"\\probe.exe";
    ASSERT_TRUE(CopyFileW(packed_executable(L"probe").c_str(), executable.c_str(), FALSE));
    for (const std::wstring& folder : {install, on_path}) {
        ASSERT_TRUE(CopyFileW(fixture_file(L"outside.dll").c_str(), (folder + L"\\outside.dll").c_str(), FALSE));
    }
    wchar_t path[32768];
    GetEnvironmentVariableW(L"PATH", path, 32768);

    started_process started = start_launcher(executable, L"probe print-folder load=plugin.dll load=outside.dll", temp,
                                    {{L"PATH", on_path + L";" + path}}, install);
    process_result result = finish_process(started);
    ASSERT_EQ(0u, result.exit_code) << result.out << result.err;
    EXPECT_EQ(value_of(result.out, "folder=") + "\\plugin.dll", value_of(result.out, "loaded="));
    EXPECT_EQ("126", value_of(result.out, "load-failed="));
    expect_folder_empty(temp);
}

TEST(HandOffFailures, EachEndsWithItsLineOnItsStreamStatus2AndTheFolderRemoved)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    struct failure_case {
        const wchar_t* fixture;
        std::string out;
        std::string err;
    };
    const failure_case cases[] = {
        {L"not_a_dll", "", "Error, load DLL. ([Error 193] " + system_text(193) + ")\r\n"},
        {L"no_entry", "Error, DLL entry point not found.\r\n", ""},
        // An archive that ends before its first entry: the child has no main module.
        {L"empty", "Error, attached data holds no main module.\r\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(utf8(c.fixture));
        started_process started = start_launcher(packed_executable(c.fixture), c.fixture, temp);
        process_result result = finish_process(started);
        EXPECT_EQ(2u, result.exit_code);
        EXPECT_EQ(c.out, result.out);
        EXPECT_EQ(c.err, result.err);
        expect_folder_empty(temp);
    }
}

TEST(Relaunch, TheApplicationStartingTheLauncherAgainGetsAChildOfTheRunningParent)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    // The application removes one unpacked file, then starts the launcher again: a second
    // parent would unpack it anew (into a folder of its own); a child writes nothing.
    started_process started = start_launcher(packed_executable(L"probe"),
                                    L"probe print-folder print-env remove=data\\level1\\level2\\deep.txt "
                                    L"relaunch=print-folder,print-env,list-files,exit=5 "
                                    L"exists=data\\level1\\level2\\deep.txt",
                                    temp);
    const std::string parent_id = std::to_string(started.id);
    process_result result = finish_process(started);
    ASSERT_EQ(0u, result.exit_code) << result.out << result.err;
    EXPECT_EQ("", result.err);

    std::vector<std::string> folders = values_of(result.out, "folder=");
    ASSERT_EQ(2u, folders.size()) << result.out;
    EXPECT_EQ(folders[0], folders[1]);
    EXPECT_EQ(std::vector<std::string>(2, parent_id), values_of(result.out, "VELDRA_ONEFILE_PARENT="));
    EXPECT_EQ("1", value_of(result.out, "removed="));
    EXPECT_EQ("5", value_of(result.out, "relaunch status="));
    std::vector<std::string> files = values_of(result.out, "file=");
    std::sort(files.begin(), files.end());
    const std::vector<std::string> expected_files = {"data\\level1\\note.txt", "helper.dll", "main.dll",
                                                     "plugin.dll"};
    EXPECT_EQ(expected_files, files);
    EXPECT_EQ("data\\level1\\level2\\deep.txt", value_of(result.out, "absent="));
    expect_folder_empty(temp);
}

// A start handed a running parent's identifier by someone else, with values of the parent's
// shape naming a folder that holds a planted main.dll, or values that climb out of the temp
// folder: it is a parent with a folder of its own, and the planted module never runs.
TEST(ForgedEnvironment, AStartThatTheRunningParentDidNotMakeIsAParent)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    started_process running = start_launcher(packed_executable(L"probe"), L"probe sleep=6000", temp);
    const std::wstring parent_id = std::to_wstring(running.id);
    // A module without run_code: a child that loads it stops with the entry-point line.
    const std::wstring planted = temp + L"\\onefile_" + parent_id + L"_000000_AAAAAAAAAAA";
    ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(fixture_file(L"apps\\no_entry\\main.dll").c_str(), (planted + L"\\main.dll").c_str(), FALSE));
    const std::wstring climbing = L"x\\..\\..\\" + temp.substr(temp.rfind(L'\\') + 1) + L"\\onefile_" + parent_id +
                                  L"_000000_AAAAAAAAAAA";
    for (const std::wstring& random : {std::wstring(L"AAAAAAAAAAA"), climbing}) {
        SCOPED_TRACE(utf8(random));
        started_process forged = start_launcher(packed_executable(L"probe"), L"probe print-folder", temp,
                                                {{L"VELDRA_ONEFILE_PARENT", parent_id},
                                                 {L"VELDRA_ONEFILE_TIME_US", L"000000"},
                                                 {L"VELDRA_ONEFILE_RANDOM", random}});
        const std::string own_id = std::to_string(forged.id);
        process_result result = finish_process(forged);
        EXPECT_EQ(0u, result.exit_code) << result.out << result.err;
        EXPECT_EQ("", result.err);
        const std::string folder = value_of(result.out, "folder=");
        EXPECT_EQ(utf8(temp) + "\\onefile_" + own_id + "_", folder.substr(0, temp.size() + 10 + own_id.size()));
    }
    EXPECT_EQ(0u, finish_process(running).exit_code);
    // The planted folder has the shape of a killed run's leftover: the forged start, a parent,
    // swept it away before it made its own.
    expect_folder_empty(temp);
}

TEST(Concurrency, TwentyLaunchesAtOnceUseTwentyFoldersAndLeaveNothing)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    const int count = 20;
    std::vector<started_process> launches;
    for (int i = 0; i < count; ++i) {
        std::wstring line = L"probe print-folder sleep=300 exit=" + std::to_wstring(100 + i);
        launches.push_back(start_launcher(packed_executable(L"probe"), line, temp));
    }
    std::set<std::string> folders;
    for (int i = 0; i < count; ++i) {
        process_result result = finish_process(launches[static_cast<size_t>(i)]);
        EXPECT_EQ(static_cast<unsigned long>(100 + i), result.exit_code) << result.out << result.err;
        folders.insert(value_of(result.out, "folder="));
    }
    EXPECT_EQ(static_cast<size_t>(count), folders.size());
    EXPECT_EQ(0u, folders.count("(missing)"));
    expect_folder_empty(temp);
}
