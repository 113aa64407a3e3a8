// The unpack folder as the run's own, with real launchers: one that was there first is refused
// and left exactly as it was; a fresh one reads back with its private access list from inside
// the running application.
#include "tests/support/kit.h"
#include "tests/support/launcher_runs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Whoever made the folder first could have planted DLLs for the child to load: the parent
// writes nothing into it, starts nothing and removes nothing of it.
TEST(UnpackFolder, OneThatIsThereFirstIsRefusedWithItsLineAndLeftAsItWas)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    // Started suspended: its identifier, and so its unpack folder, is known before it runs.
    started_process started = start_launcher(packed_executable(L"fixed_name"), L"fixed_name print-folder", temp, {}, L"",
                                    start_as::suspended);
    std::wstring folder = temp + L"\\fixed_" + std::to_wstring(started.id);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    write_file_bytes(folder + L"\\main.dll", "planted");

    process_result result = finish_process(started);

    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error, couldn't create a fresh unpack folder '" + utf8(folder) + "'.\r\n");
    EXPECT_EQ(folder_entries(folder), std::vector<std::wstring>{L"main.dll"});
    EXPECT_EQ(read_file_bytes(folder + L"\\main.dll"), "planted");
    EXPECT_EQ(folder_entries(temp), std::vector<std::wstring>{L"fixed_" + std::to_wstring(started.id)});
}

TEST(UnpackFolder, AFreshOneIsUsedAndRemovedAndTheTempFolderIsLeftEmpty)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    started_process started = start_launcher(packed_executable(L"fixed_name"), L"fixed_name print-folder exit=7", temp, {},
                                    L"", start_as::suspended);
    std::wstring folder = temp + L"\\fixed_" + std::to_wstring(started.id);

    process_result result = finish_process(started);

    EXPECT_EQ(result.exit_code, 7u);
    EXPECT_EQ(value_of(result.out, "folder="), utf8(folder));
    EXPECT_EQ(result.err, "");
    expect_folder_empty(temp);
}

namespace {

// The entries of an access list in the system's text form: "(A;OICI;FA;;;SY)" and so on.
std::vector<std::string> access_entries(const std::string& dacl)
{
    std::vector<std::string> entries;
    for (size_t open = dacl.find('('); open != std::string::npos; open = dacl.find('(', open + 1)) {
        entries.push_back(dacl.substr(open + 1, dacl.find(')', open) - open - 1));
    }
    return entries;
}

}  // namespace

// Read from inside the running application with the system's own calls. On Windows the list
// is "D:P" with full control, inherited by files and folders, for the user, SYSTEM ("SY") and
// the Administrators ("BA") alone. Wine keeps no descriptor and enforces none: it shows one
// derived from the Unix mode it set from ours (0750), the user and SYSTEM without protection.
// On both, nobody else has an entry, and the user, whose token the child shares, has full
// control.
TEST(UnpackFolder, TheRunningApplicationReadsAListForTheUserSystemAndAdministratorsAlone)
{
    scoped_temp_folder temp_folder;
    const std::wstring temp = temp_folder.path;
    started_process started = start_launcher(packed_executable(L"fixed_name"), L"fixed_name.exe print-dacl", temp);
    process_result result = finish_process(started);
    ASSERT_EQ(result.exit_code, 0u) << result.err;
    const std::string dacl = value_of(result.out, "dacl=");
    const std::string user = value_of(result.out, "user=");
    ASSERT_EQ(dacl.compare(0, 2, "D:"), 0) << dacl;
    const std::vector<std::string> entries = access_entries(dacl);
    bool user_entry = false;
    for (const std::string& entry : entries) {
        const std::string who = entry.substr(entry.rfind(';') + 1);
        EXPECT_TRUE(who == user || who == "SY" || who == "BA") << "an entry for someone else: " << entry;
        EXPECT_EQ(entry.compare(0, 10, "A;OICI;FA;"), 0) << entry;
        user_entry = user_entry || who == user;
    }
    EXPECT_TRUE(user_entry) << dacl << " for " << user;
    expect_folder_empty(temp);
}

// A template that expands to a relative folder would unpack below whatever the current folder
// is: the launcher stops with the template line and the fail-fast status, and makes nothing,
// neither there nor in the temp folder.
TEST(UnpackFolder, ARelativeTemplateEndsTheRunWithTheTemplateLineAndMakesNothing)
{
    scoped_temp_folder temp_folder;
    scoped_temp_folder current;
    started_process started =
        start_launcher(packed_executable(L"relative"), L"relative print-folder", temp_folder.path, {}, current.path);
    process_result result = finish_process(started);
    EXPECT_EQ(0xC0000409u, result.exit_code) << result.out;
    EXPECT_EQ("", result.out);
    EXPECT_EQ("Error, couldn't runtime expand spec 'rel_{PID}'.\r\n", result.err);
    expect_folder_empty(current.path);
    expect_folder_empty(temp_folder.path);
}
