// The shared archive-name rule on the launcher's units: a table of safe names and of each kind
// of unsafe one, with the verdict the walk acts on.
#include "payload/archive_names.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

struct name_case {
    const wchar_t* name;
    archive_name_verdict verdict;
};

const name_case cases[] = {
    {L"main.dll", archive_name_safe},
    {L"bin\\app.dll", archive_name_safe},
    {L"a\\b\\c\\d.txt", archive_name_safe},
    {L".hidden", archive_name_safe},
    {L"..data", archive_name_safe},
    {L"a.b.c", archive_name_safe},
    {L"con1", archive_name_safe},
    {L"console.log", archive_name_safe},
    {L"COM", archive_name_safe},
    {L"COM0", archive_name_safe},
    {L"LPT10", archive_name_safe},
    {L"xnul", archive_name_safe},
    {L"sub\\nulx.txt", archive_name_safe},
    {L" leading blank", archive_name_safe},
    {L"\u00e9t\u00e9\\\u65e5\u672c.txt", archive_name_safe},

    {L"\\abs.dll", archive_name_leading_backslash},
    {L"\\\\server\\share\\x", archive_name_leading_backslash},

    {L"..", archive_name_bad_component},
    {L".", archive_name_bad_component},
    {L"..\\..\\x.dll", archive_name_bad_component},
    {L"a\\..\\..\\x", archive_name_bad_component},
    {L"a\\.\\b", archive_name_bad_component},
    {L"a\\\\b", archive_name_bad_component},
    {L"a\\", archive_name_bad_component},
    {L"..\\a:b", archive_name_bad_component},

    {L"a:s", archive_name_bad_character},
    {L"file.txt:stream:$DATA", archive_name_bad_character},
    {L"C:\\x.dll", archive_name_bad_character},
    {L"a/../../x", archive_name_bad_character},
    {L"sub/x", archive_name_bad_character},
    {L"a<b", archive_name_bad_character},
    {L"a>b", archive_name_bad_character},
    {L"a\"b", archive_name_bad_character},
    {L"a|b", archive_name_bad_character},
    {L"a?b", archive_name_bad_character},
    {L"a*b", archive_name_bad_character},
    {L"tab\there", archive_name_bad_character},
    {L"new\nline", archive_name_bad_character},
    {L"bell\x07", archive_name_bad_character},
    {L"del\x7f", archive_name_bad_character},

    {L"dot.", archive_name_bad_ending},
    {L"blank ", archive_name_bad_ending},
    {L"sub.\\x", archive_name_bad_ending},
    {L"sub \\x", archive_name_bad_ending},
    {L"...", archive_name_bad_ending},

    {L"CON", archive_name_device},
    {L"con", archive_name_device},
    {L"NUL", archive_name_device},
    {L"nul.txt", archive_name_device},
    {L"nul .txt", archive_name_device},
    {L"nul.tar.gz", archive_name_device},
    {L"PRN", archive_name_device},
    {L"aux.dll", archive_name_device},
    {L"Com1.log", archive_name_device},
    {L"COM9", archive_name_device},
    {L"lpt1", archive_name_device},
    {L"LPT9.txt", archive_name_device},
    {L"com\u00b9", archive_name_device},
    {L"LPT\u00b3.x", archive_name_device},
    {L"CONIN$", archive_name_device},
    {L"conout$.txt", archive_name_device},
    {L"sub\\NUL\\x.txt", archive_name_device},
    {L"sub\\aux", archive_name_device},
};

}  // namespace

TEST(ArchiveNames, EachNameGetsTheVerdictOfTheRuleItBreaks)
{
    for (const name_case& each : cases) {
        EXPECT_EQ(check_archive_name(each.name, wcslen(each.name)), each.verdict) << std::string(each.name, each.name + wcslen(each.name)).c_str();
    }
}

TEST(ArchiveNames, OnlyTheGivenLengthIsRead)
{
    const wchar_t name[] = L"good.txt\\..";
    EXPECT_EQ(check_archive_name(name, 8), archive_name_safe);
    EXPECT_EQ(check_archive_name(name, wcslen(name)), archive_name_bad_component);
}

TEST(ArchiveNames, TheEmptyNameIsRefused)
{
    EXPECT_EQ(check_archive_name(L"", 0), archive_name_bad_component);
}
