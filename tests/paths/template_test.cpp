// The template expander: scanning and names, the folder variables and their trailing
// backslashes, PROGRAM and its edits, capacity limits, shell-folder failures and the line the
// caller prints for them, and the full path of unpack_dir.
#include "launcher/fatal.h"
#include "launcher/launch.h"
#include "launcher/run_state.h"
#include "paths/template.h"
#include "tests/support/kit.h"
#include "tests/support/probe.h"
#include "tests/support/scoped_variable.h"
#include "tests/support/seam.h"
#include "tests/support/template_cases.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

std::wstring without_trailing_backslashes(std::wstring folder)
{
    while (!folder.empty() && folder.back() == L'\\') {
        folder.pop_back();
    }
    return folder;
}

std::wstring shell_folder(int csidl)
{
    wchar_t path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return without_trailing_backslashes(path);
}

struct expansion {
    bool expanded;
    std::wstring output;
};

expansion expand(const std::wstring& template_text, size_t capacity = 4096)
{
    static wchar_t output[4096];
    bool expanded = expand_template(output, template_text.c_str(), capacity);
    return {expanded, output};
}

// Sets the argument vector that {PROGRAM} reads for one scope; a test process has none
// otherwise.
class scoped_program {
public:
    explicit scoped_program(const wchar_t* argv0)
    {
        argv_[0] = const_cast<wchar_t*>(argv0);
        set_program_arguments(argv0 != nullptr ? 1 : 0, argv0 != nullptr ? argv_ : nullptr);
    }
    ~scoped_program()
    {
        set_program_arguments(0, nullptr);
    }

private:
    wchar_t* argv_[2] = {nullptr, nullptr};
};

// Folder values the fakes below report: none means the call fails.
std::optional<std::wstring> fake_temp;
std::map<int, std::optional<std::wstring>> fake_shell_folders;
DWORD temp_buffer_size_asked;
std::vector<std::wstring> shell_calls;

DWORD WINAPI fake_get_temp_path(DWORD size, LPWSTR buffer)
{
    temp_buffer_size_asked = size;
    if (!fake_temp) {
        return 0;
    }
    if (fake_temp->size() + 1 > size) {
        return static_cast<DWORD>(fake_temp->size() + 1);
    }
    wcscpy(buffer, fake_temp->c_str());
    return static_cast<DWORD>(fake_temp->size());
}

HRESULT WINAPI fake_shell_folder(HWND window, int csidl, HANDLE token, DWORD flags, LPWSTR path)
{
    shell_calls.push_back(L"window " + std::to_wstring(reinterpret_cast<uintptr_t>(window)) + L" folder " +
                          std::to_wstring(csidl) + L" token " +
                          std::to_wstring(reinterpret_cast<uintptr_t>(token)) + L" flags " +
                          std::to_wstring(flags));
    const auto& value = fake_shell_folders[csidl];
    if (!value) {
        return E_FAIL;
    }
    wcscpy(path, value->c_str());
    return S_OK;
}

void use_fake_folders(std::optional<std::wstring> temp, std::optional<std::wstring> home,
                      std::optional<std::wstring> cache)
{
    fake_temp = temp;
    fake_shell_folders = {{CSIDL_PROFILE, home}, {CSIDL_LOCAL_APPDATA, cache}};
    temp_buffer_size_asked = 0;
    shell_calls.clear();
    os.GetTempPathW = fake_get_temp_path;
    os.SHGetFolderPathW = fake_shell_folder;
}

}  // namespace

TEST(ExpandTemplate, ScansLiteralTextAndReferences)
{
    scoped_variable parent(L"VELDRA_ONEFILE_PARENT", L"4711");
    const std::wstring temp = system_temp_folder();
    const std::wstring long_name(5000, L'N');
    struct scan_case {
        const char* what;
        std::wstring template_text;
        bool expanded;
        std::wstring output;
    };
    const scan_case cases[] = {
        {"empty template", L"", true, L""},
        {"no braces", L"C:\\plain text\\no braces.txt", true, L"C:\\plain text\\no braces.txt"},
        {"lower case name", L"{pid}", true, L"4711"},
        {"mixed case name", L"{Pid}", true, L"4711"},
        {"upper case name", L"{PID}", true, L"4711"},
        {"blank inside the braces", L"{PID }", false, L""},
        {"blank before the name", L"{ TEMP}", false, L""},
        {"empty name", L"{}", false, L""},
        {"unknown name keeps earlier output", L"ab{nope}cd", false, L"ab"},
        {"dotless i is no ASCII letter", L"{p\u0131d}", false, L""},
        {"a second brace drops the name so far", L"{abc{TEMP}", true, temp},
        {"a reference open at the end is dropped", L"abc{TEM", true, L"abc"},
        {"temp folder then a backslash", L"{TEMP}\\x", true, temp + L"\\x"},
        {"closing brace outside a reference is literal", L"a}b{PID}}", true, L"a}b4711}"},
        {"build values", L"{company}|{Product}|{VERSION}|{file_version}|{PRODUCT_VERSION}", true,
         L"Quendle Forge|Brellum|3.198.0|3.198.0|3.198.0"},
        {"profile folder", L"{HOME}", true, shell_folder(CSIDL_PROFILE)},
        {"local application data", L"{cache_dir}\\x", true, shell_folder(CSIDL_LOCAL_APPDATA) + L"\\x"},
        {"name of 1023 characters", L"{" + long_name.substr(0, 1023) + L"}", false, L""},
        {"name of 1024 characters", L"{" + long_name.substr(0, 1024) + L"}", false, L""},
        {"overlong name dropped by a second brace", L"{" + long_name + L"{TEMP}", true, temp},
        {"overlong name open at the end", L"x{" + long_name, true, L"x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expansion result = expand(c.template_text);
        EXPECT_EQ(c.expanded, result.expanded);
        EXPECT_EQ(c.output, result.output);
    }
}

TEST(ExpandTemplate, TheSharedCasesExpandOrFailAsThePackerExpects)
{
    for (const auto& c : shared_template_cases) {
        const std::wstring text(c.text, c.text + std::char_traits<char16_t>::length(c.text));
        EXPECT_EQ(c.expands, expand(text).expanded) << narrow(text);
    }
}

TEST(ExpandTemplate, FolderVariablesLoseTheBackslashesAtTheEndOfTheWholeOutput)
{
    struct folder_case {
        const char* what;
        std::optional<std::wstring> temp;
        std::wstring template_text;
        std::wstring output;
    };
    const folder_case cases[] = {
        {"temp folder", L"C:\\Users\\u\\AppData\\Local\\Temp\\", L"{TEMP}", L"C:\\Users\\u\\AppData\\Local\\Temp"},
        {"no doubled backslash", L"C:\\T\\", L"{TEMP}\\onefile", L"C:\\T\\onefile"},
        {"several backslashes", L"C:\\\\\\", L"{TEMP}", L"C:"},
        {"profile at a drive root", L"C:\\T", L"{HOME}", L"C:"},
        {"profile then text", L"C:\\T", L"{HOME}\\x", L"C:\\x"},
        {"local application data", L"C:\\T", L"{CACHE_DIR}\\app", L"C:\\Users\\u\\AppData\\Local\\app"},
        {"other variables keep theirs", L"C:\\T", L"{PROGRAM}", L"tools\\"},
    };
    scoped_program program(L"tools\\");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        seam_scope seam;
        use_fake_folders(c.temp, L"C:\\", L"C:\\Users\\u\\AppData\\Local\\");
        expansion result = expand(c.template_text);
        EXPECT_TRUE(result.expanded);
        EXPECT_EQ(c.output, result.output);
    }
}

TEST(ExpandTemplate, TempIsWrittenInPlaceWithTheRoomAndFailsWhenItDoesNotFit)
{
    {
        seam_scope seam;
        use_fake_folders(L"C:\\T\\", std::nullopt, std::nullopt);
        EXPECT_EQ(L"ab" + std::wstring(L"C:\\T"), expand(L"ab{TEMP}", 10).output);
        EXPECT_EQ(8u, temp_buffer_size_asked) << "capacity 10 less the two characters before it";
    }
    // The real system with a room too small for its folder: no text after it may stand alone.
    expansion result = expand(L"x{TEMP}y", 5);
    EXPECT_FALSE(result.expanded);
    EXPECT_EQ(L"x", result.output);
}

// A path variable that gives nothing would put the rest of the template at the root of the
// drive, where the run would unpack and, at its end, remove: the expansion fails instead.
TEST(ExpandTemplate, APathVariableThatGivesNothingFailsTheExpansion)
{
    struct empty_case {
        const char* what;
        std::optional<std::wstring> temp;
        const wchar_t* argv0;
        std::wstring template_text;
        std::wstring output;
    };
    const empty_case cases[] = {
        {"the temp folder lookup fails", std::nullopt, L"C:\\p.exe", L"{TEMP}\\onefile_{PID}", L""},
        {"after literal text", std::nullopt, L"C:\\p.exe", L"D:\\{TEMP}\\x", L"D:\\"},
        {"a temp folder of backslashes alone", L"\\\\", L"C:\\p.exe", L"{TEMP}\\x", L""},
        {"the profile folder is empty", L"C:\\T", L"C:\\p.exe", L"{HOME}\\x", L""},
        {"an empty program name", L"C:\\T", L"", L"{PROGRAM}\\x", L""},
        {"a program base of the extension alone", L"C:\\T", L".exe", L"{PROGRAM_BASE}\\x", L""},
        {"a program folder at the start of the name", L"C:\\T", L"\\p.exe", L"{PROGRAM_DIR}\\x", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        seam_scope seam;
        scoped_program program(c.argv0);
        use_fake_folders(c.temp, L"", L"C:\\Users\\u\\AppData\\Local");
        expansion result = expand(c.template_text);
        EXPECT_FALSE(result.expanded);
        EXPECT_EQ(c.output, result.output);
    }
}

// The temp folder lookup failing in a real run: the launcher's own expansion ends with the
// template line instead of unpacking at the root of the current drive.
VELDRA_PROBE(expand_unpack_dir_without_temp)
{
    os.GetTempPathW = [](DWORD, LPWSTR) WINAPI -> DWORD { return 0; };
    const wchar_t* template_text = L"{TEMP}\\onefile_{PID}";
    bool expanded = expand_template(unpack_dir, template_text, path_capacity);
    normalize_unpack_dir();
    if (!expanded) {
        fatal_template_error(template_text);
    }
    printf("%ls", unpack_dir);
    return 0;
}

TEST(ExpandTemplate, AFailingTempLookupEndsTheRunWithTheTemplateLine)
{
    process_result result = run_probe(L"expand_unpack_dir_without_temp");
    EXPECT_EQ(0xC0000409, result.exit_code);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}'.\r\n", result.err);
}

TEST(ExpandTemplate, ProgramBaseAndProgramDirEditOnlyTheProgramText)
{
    struct program_case {
        const wchar_t* argv0;
        const wchar_t* template_text;
        const wchar_t* output;
    };
    const program_case cases[] = {
        {L"prog", L"{PROGRAM_BASE}|{PROGRAM_DIR}", L"prog|prog"},
        {L"prog.exe", L"{PROGRAM_BASE}|{PROGRAM_DIR}", L"prog|prog.exe"},
        {L".exe", L"{PROGRAM_DIR}", L".exe"},
        {L"C:\\a\\b.exe\\c.exe", L"{PROGRAM_BASE}|{PROGRAM_DIR}", L"C:\\a\\b.exe\\c|C:\\a\\b.exe"},
        {L"C:\\Tools\\PROG.Exe", L"{PROGRAM_BASE}|{PROGRAM_DIR}", L"C:\\Tools\\PROG|C:\\Tools"},
        {L"C:\\Tools\\PROG.Exe", L"{PROGRAM}", L"C:\\Tools\\PROG.Exe"},
        {L"tools/prog.exe", L"{PROGRAM_DIR}", L"tools/prog.exe"},  // only the backslash separates
        {L"exe", L"{PROGRAM_BASE}", L"exe"},
        {L"prog", L"a\\b\\{PROGRAM_DIR}", L"a\\b\\prog"},
        {L"x", L"x.exe{PROGRAM_BASE}", L"x.exex"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.argv0) + " in " + narrow(c.template_text));
        scoped_program program(c.argv0);
        expansion result = expand(c.template_text);
        EXPECT_TRUE(result.expanded);
        EXPECT_EQ(c.output, result.output);
    }
}

TEST(ExpandTemplate, ProgramWithoutAnArgumentVectorAborts)
{
    seam_scope seam;
    scoped_program program(nullptr);
    for (const wchar_t* template_text : {L"{PROGRAM}", L"{PROGRAM_BASE}", L"{PROGRAM_DIR}"}) {
        wchar_t output[16];
        EXPECT_TRUE(ends_in_fail_fast([&] { expand_template(output, template_text, 16); }))
            << narrow(template_text);
    }
}

TEST(ExpandTemplate, CapacityBoundsLiteralsAndValues)
{
    struct capacity_case {
        const char* what;
        const wchar_t* template_text;
        size_t capacity;
        bool aborts;
        bool expanded;
        const wchar_t* output;
    };
    const capacity_case cases[] = {
        {"three characters in capacity 4", L"abc", 4, false, true, L"abc"},
        {"four characters in capacity 4", L"abcd", 4, false, false, L"abc"},
        {"a value too long", L"{COMPANY}", 4, true, false, L""},
        {"a value that fills the buffer exactly", L"{PRODUCT}", 8, false, true, L"Brellum"},
        {"a literal after a full buffer", L"{PRODUCT}x", 8, false, false, L"Brellum"},
        {"a value after literal text", L"ab{PRODUCT}", 9, true, false, L""},
        {"program too long", L"{PROGRAM_DIR}", 8, true, false, L""},
    };
    scoped_program program(L"C:\\Tools\\prog.exe");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        seam_scope seam;
        wchar_t output[16];
        bool expanded = false;
        EXPECT_EQ(c.aborts, ends_in_fail_fast([&] { expanded = expand_template(output, c.template_text, c.capacity); }));
        if (!c.aborts) {
            EXPECT_EQ(c.expanded, expanded);
            EXPECT_STREQ(c.output, output);
        }
    }
}

TEST(ExpandTemplate, AFailingShellFolderQueryMakesTheExpansionFalse)
{
    struct shell_case {
        const wchar_t* template_text;
        const wchar_t* call;
    };
    const shell_case cases[] = {
        {L"pre{HOME}post", L"window 0 folder 40 token 0 flags 0"},
        {L"pre{CACHE_DIR}post", L"window 0 folder 28 token 0 flags 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.template_text));
        seam_scope seam;
        use_fake_folders(L"C:\\T\\", std::nullopt, std::nullopt);
        expansion result = expand(c.template_text);
        EXPECT_FALSE(result.expanded);
        EXPECT_EQ(L"pre", result.output);
        ASSERT_EQ(1u, shell_calls.size());
        EXPECT_EQ(c.call, shell_calls[0]);
    }
}

namespace {

HRESULT WINAPI failing_shell_folder(HWND, int, HANDLE, DWORD, LPWSTR)
{
    return E_FAIL;
}

}  // namespace

// Expands as the launcher's callers do and stops with the template line when that fails.
// The process ends either way, so the table entry is replaced without a scope.
VELDRA_PROBE(expand_or_report)
{
    os.SHGetFolderPathW = failing_shell_folder;
    static wchar_t output[4096];
    if (!expand_template(output, argv[0], 4096)) {
        fatal_template_error(argv[0]);
    }
    printf("%ls", output);
    return 0;
}

TEST(ExpandTemplate, TheCallerReportsAFailedExpansionWithTheTemplateText)
{
    for (const wchar_t* template_text : {L"{HOME}", L"{TEMP}\\{CACHE_DIR}\\x", L"{TEMP}\\{unknown}"}) {
        SCOPED_TRACE(narrow(template_text));
        process_result result = run_probe(L"expand_or_report", {template_text});
        EXPECT_EQ(0xC0000409, result.exit_code);
        EXPECT_EQ("", result.out);
        EXPECT_EQ("Error, couldn't runtime expand spec '" + narrow(template_text) + "'.\r\n", result.err);
    }
}

namespace {

DWORD full_path_result;

DWORD WINAPI fake_full_path(LPCWSTR, DWORD, LPWSTR buffer, LPWSTR*)
{
    if (full_path_result != 0 && full_path_result < 4096) {
        std::wstring path = L"C:\\" + std::wstring(full_path_result - 3, L'p');
        wcscpy(buffer, path.c_str());
    }
    return full_path_result;
}

}  // namespace

TEST(NormalizeUnpackDir, MakesUnpackDirAFullPathOrAborts)
{
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    const std::wstring current_dir = without_trailing_backslashes(current);

    wcscpy(unpack_dir, L"rel\\dir");
    normalize_unpack_dir();
    EXPECT_EQ(current_dir + L"\\rel\\dir", std::wstring(unpack_dir));

    wcscpy(unpack_dir, L"C:\\a\\..\\b\\.\\c");
    normalize_unpack_dir();
    EXPECT_STREQ(L"C:\\b\\c", unpack_dir);

    struct fake_case {
        DWORD result;
        bool aborts;
    };
    for (const fake_case& c : {fake_case{0, true}, fake_case{4096, true}, fake_case{4095, false}}) {
        SCOPED_TRACE(c.result);
        seam_scope seam;
        os.GetFullPathNameW = fake_full_path;
        full_path_result = c.result;
        EXPECT_EQ(c.aborts, ends_in_fail_fast([] { normalize_unpack_dir(); }));
        if (!c.aborts) {
            EXPECT_EQ(4095u, wcslen(unpack_dir));
        }
    }
    unpack_dir[0] = L'\0';
}
