// Launchers whose hand-made blocks hold an unsafe archive name, run under Wine as a user would
// run them: one line on stdout, status 2, no file outside the unpack folder and nothing left in
// the temp folder, whatever the kind of name.
#include "tests/support/launcher_runs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The labels of the unsafe_names set of make_e2e_fixtures.sh, one launcher each.
const wchar_t* const unsafe_cases[] = {
    L"dotdot", L"dotdot_in_folder", L"first_dotdot", L"leading_backslash", L"drive", L"stream", L"slash",
    L"empty_component", L"dot_component", L"control", L"less_than", L"greater_than", L"quote", L"pipe",
    L"question", L"star", L"trailing_dot", L"trailing_blank", L"con", L"nul_extension", L"com", L"lpt",
    L"com_superscript", L"first_nul",
};

}  // namespace

// The temp folder sits one level inside a folder of the test's own, so that a name that climbs
// two levels out of the unpack folder would show up there; the drive's root is looked at too
// (a leading backslash or a drive-relative name would land there).
TEST(UnsafeNames, EachKindEndsWithItsLineAndStatus2AndLeavesNothingAnywhere)
{
    for (const wchar_t* label : unsafe_cases) {
        SCOPED_TRACE(utf8(label));
        scoped_temp_folder outer_folder;
        const std::wstring outer = outer_folder.path;
        const std::wstring temp = outer + L"\\temp";
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        // Labels such as "con" are device names themselves: the executables carry a prefix.
        const std::wstring executable = packed_executable(std::wstring(L"unsafe_") + label);
        started_process started = start_launcher(executable, L"unsafe", temp);
        process_result result = finish_process(started);
        EXPECT_EQ(2u, result.exit_code) << result.out << result.err;
        EXPECT_EQ("Error, attached data holds an unsafe file name.\r\n", result.out);
        EXPECT_EQ("", result.err);
        expect_folder_empty(temp);
        // The run's streams are captured elsewhere: beside the temp folder nothing may stand.
        for (const auto& name : folder_entries(outer)) {
            EXPECT_TRUE(name == L"temp") << "outside: " << utf8(name);
        }
        for (const std::wstring& stray : {outer + L"\\escape_e2e.txt", outer + L"\\escape_e2e.dll",
                                          std::wstring(L"C:\\escape_e2e.txt"), std::wstring(L"C:\\escape_e2e.dll")}) {
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(stray.c_str())) << utf8(stray);
            DeleteFileW(stray.c_str());
        }
    }
}
