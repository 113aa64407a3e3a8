// Quoting of the child's arguments: a table in the manner of the classic EscapeArg tests, a
// round trip through the system's own parser, the 32,768-unit bound, and the line built from
// the launcher's own command line.
#include "launcher/child.h"
#include "launcher/command_line.h"
#include "launcher/run_state.h"
#include "tests/support/probe.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <random>
#include <string>
#include <vector>

namespace {

std::wstring quoted(const wchar_t* argument)
{
    static wchar_t line[command_line_capacity];
    line[0] = L'\0';
    append_argument(line, argument, command_line_capacity);
    return line;
}

std::wstring joined(const std::vector<std::wstring>& arguments, size_t capacity = command_line_capacity)
{
    static wchar_t line[command_line_capacity];
    std::vector<const wchar_t*> pointers;
    for (const auto& argument : arguments) {
        pointers.push_back(argument.c_str());
    }
    join_arguments(line, static_cast<int>(pointers.size()), pointers.data(), capacity);
    return line;
}

// The system's split, as the child's CommandLineToArgvW sees the line.
std::vector<std::wstring> split(const std::wstring& line)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> result(arguments, arguments + count);
    LocalFree(arguments);
    return result;
}

}  // namespace

TEST(ArgumentQuoting, EachArgumentIsWrittenAsTheParserNeedsIt)
{
    struct quoting_case {
        const wchar_t* argument;
        const wchar_t* written;
    };
    const quoting_case cases[] = {
        {L"", L"\"\""},  // quoted so that the child still sees an (empty) argument
        {L"a", L"a"},
        {L"abc", L"abc"},
        {L" ", L"\" \""},
        {L"a b", L"\"a b\""},
        {L"\\", L"\\"},
        {L"\\\\", L"\\\\"},
        {L"a\\b", L"a\\b"},
        {L"C:\\", L"C:\\"},
        {L"a b\\", L"\"a b\\\\\""},
        {L"\\\\ ", L"\"\\\\ \""},
        {L" \\\\", L"\" \\\\\\\\\""},
        {L"a\"b", L"\"a\\\"b\""},
        {L"\"", L"\"\\\"\""},
        {L"\\\"", L"\"\\\\\\\"\""},
        {L"a\\\\\"b", L"\"a\\\\\\\\\\\"b\""},  // a, five backslashes, the quote, b
        {L"a\\b c", L"\"a\\b c\""},
        {L"C:\\Program Files (x86)\\Common\\", L"\"C:\\Program Files (x86)\\Common\\\\\""},
        {L"a\tb", L"\"a\tb\""},
        {L"a\nb", L"\"a\nb\""},
        {L"a\vb", L"\"a\vb\""},
        {L"a\rb", L"a\rb"},  // a carriage return is no separator for the parser
        {L"\x00e9\x65e5", L"\x00e9\x65e5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.argument));
        EXPECT_EQ(c.written, quoted(c.argument));
    }
}

TEST(ArgumentQuoting, ArgumentsAreSeparatedByExactlyOneBlank)
{
    EXPECT_EQ(L"", joined({}));
    EXPECT_EQ(L"prog", joined({L"prog"}));
    EXPECT_EQ(L"prog a b", joined({L"prog", L"a", L"b"}));
    EXPECT_EQ(L"prog \"\" b \"\"", joined({L"prog", L"", L"b", L""}));
    EXPECT_EQ(L"\"C:\\dir with blank\\app.exe\" x", joined({L"C:\\dir with blank\\app.exe", L"x"}));
}

TEST(ArgumentQuoting, TheSystemParserGivesEveryArgumentBack)
{
    const std::vector<std::wstring> arguments = {
        L"C:\\dir with blank\\app.exe", L"", L"plain", L"a\\b", L"a b\\", L"a\"b", L"a\\\\\"b",
        L"\\\\server\\share\\", L"\"", L"\"\"", L"\\", L"x\ty", L"x\ny", L"x\vy", L"  ", L"\\\"\\\"",
        L"--name=\"quoted value\"", L"tail\\\\"};
    EXPECT_EQ(arguments, split(joined(arguments)));
}

TEST(ArgumentQuoting, RandomArgumentsRoundTripThroughTheSystemParser)
{
    // Short strings over the characters that matter to the parser, plus a plain letter.
    const wchar_t alphabet[] = {L'a', L'\\', L'"', L' ', L'\t', L'\n', L'\v'};
    std::mt19937 generator(20240611);
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::wstring> arguments = {L"C:\\app.exe"};
        int count = 1 + static_cast<int>(generator() % 4);
        for (int i = 0; i < count; ++i) {
            std::wstring argument;
            int length = static_cast<int>(generator() % 9);
            for (int j = 0; j < length; ++j) {
                argument += alphabet[generator() % (sizeof alphabet / sizeof alphabet[0])];
            }
            arguments.push_back(argument);
        }
        std::wstring line = joined(arguments);
        ASSERT_EQ(arguments, split(line)) << narrow(line);
    }
}

TEST(ArgumentQuoting, TheLineIsBoundedBy32768UnitsWithItsTerminator)
{
    seam_scope seam;
    const std::wstring longest(command_line_capacity - 1, L'a');
    EXPECT_EQ(longest, joined({longest}));
    EXPECT_TRUE(ends_in_fail_fast([] { joined({std::wstring(command_line_capacity, L'a')}); }));

    // The quotes and doubled backslashes count as well.
    const std::wstring spaced(command_line_capacity - 3, L' ');
    EXPECT_EQ(command_line_capacity - 1, joined({spaced}).size());
    EXPECT_TRUE(ends_in_fail_fast([] { joined({std::wstring(command_line_capacity - 2, L' ')}); }));
    const std::wstring backslashes = L" " + std::wstring(command_line_capacity / 2 - 1, L'\\');
    EXPECT_TRUE(ends_in_fail_fast([&] { joined({backslashes}); }));

    // So does the blank between two arguments.
    const std::wstring half(command_line_capacity / 2 - 1, L'a');
    EXPECT_EQ(command_line_capacity - 1, joined({half, half}).size());
    EXPECT_TRUE(ends_in_fail_fast([&] { joined({half, half + L"a"}); }));
}

namespace {

const wchar_t* fake_command_line;
const wchar_t* fake_module_name;

LPWSTR WINAPI command_line_stub()
{
    return const_cast<LPWSTR>(fake_command_line);
}

DWORD WINAPI module_name_stub(HMODULE, LPWSTR name, DWORD size)
{
    wcsncpy(name, fake_module_name, size);
    size_t length = wcslen(fake_module_name);
    return static_cast<DWORD>(length < size ? length : size);
}

LPWSTR* WINAPI no_argument_list(LPCWSTR, int*)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

std::wstring child_line_for(const wchar_t* own_line, const wchar_t* module_name)
{
    launcher_module_name[0] = L'\0';
    fake_command_line = own_line;
    fake_module_name = module_name;
    os.GetCommandLineW = command_line_stub;
    os.GetModuleFileNameW = module_name_stub;
    std::wstring line = build_child_command_line();
    launcher_module_name[0] = L'\0';
    return line;
}

}  // namespace

TEST(ChildCommandLine, TheFirstArgumentBecomesTheFullModulePath)
{
    seam_scope seam;
    struct line_case {
        const wchar_t* own_line;
        const wchar_t* module_name;
        const wchar_t* child_line;
    };
    const line_case cases[] = {
        {L"app", L"C:\\tools\\app.exe", L"C:\\tools\\app.exe"},
        {L"..\\APP~1.EXE a b", L"C:\\tools\\app.exe", L"C:\\tools\\app.exe a b"},
        {L"app a", L"C:\\dir with blank\\app.exe", L"\"C:\\dir with blank\\app.exe\" a"},
        {L"\"C:\\dir with blank\\app.exe\" \"x y\" a\\\\\\\"b \"\" z",
         L"C:\\dir with blank\\app.exe", L"\"C:\\dir with blank\\app.exe\" \"x y\" \"a\\\\\\\"b\" \"\" z"},
        {L"app \"a b\\\\\" tail\\", L"C:\\a.exe", L"C:\\a.exe \"a b\\\\\" tail\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.own_line));
        EXPECT_EQ(c.child_line, child_line_for(c.own_line, c.module_name));
    }
}

TEST(ChildCommandLine, AModuleNameThatCannotBeReadEndsTheRun)
{
    seam_scope seam;
    // GetModuleFileNameW failing, and filling the whole buffer (a cut name).
    EXPECT_TRUE(ends_in_fail_fast([] { child_line_for(L"app", L""); }));
    const std::wstring too_long(path_capacity, L'x');
    EXPECT_TRUE(ends_in_fail_fast([&] { child_line_for(L"app", too_long.c_str()); }));
}

VELDRA_PROBE(command_line_without_list)
{
    os.CommandLineToArgvW = no_argument_list;
    build_child_command_line();
    return 0;
}

TEST(ChildCommandLine, NoArgumentListFromTheSystemStopsWithTheLaunchMessage)
{
    process_result result = run_probe(L"command_line_without_list");
    EXPECT_EQ(2u, result.exit_code);
    EXPECT_EQ("", result.out);
    EXPECT_EQ(0u, result.err.find("Error, couldn't launch child ([Error 8] ")) << result.err;
    EXPECT_EQ(")\r\n", result.err.substr(result.err.size() - 3));
}
