// The folder-name shape of a template's last component: which names a start may take for an
// earlier run's leftover folder, near-misses included, and which templates give no shape.
#include "paths/folder_shape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const wchar_t default_template[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

}  // namespace

TEST(FolderShape, NamesOfTheTemplatesShapeMatchAndNearMissesDoNot)
{
    struct shape_case {
        const wchar_t* template_text;
        const wchar_t* name;
        bool matches;
    };
    const shape_case cases[] = {
        {default_template, L"onefile_4242_123456_abcdefghijk", true},
        {default_template, L"onefile_1_000000_AAAAAAAAAAA", true},
        {default_template, L"onefile_4294967295_999999_-_09azAZ-_w", true},
        {default_template, L"ONEFILE_4242_123456_abcdefghijk", true},  // literal in other case
        {default_template, L"OneFile_4242_123456_abcdefghijk", true},
        {default_template, L"onefile_4242_12345_abcdefghijk", false},  // one digit short
        {default_template, L"onefile_4242_1234567_abcdefghijk", false},
        {default_template, L"onefile__123456_abcdefghijk", false},  // no PID at all
        {default_template, L"onefile_42949672951_123456_abcdefghijk", false},  // 11 digits
        {default_template, L"onefile_4242_123456_abcdefghij+", false},  // outside the alphabet
        {default_template, L"onefile_4242_123456_abcd.fghijk", false},
        {default_template, L"onefile_4242_123456_abcdefghijl", false},  // last holds 4 bits only
        {default_template, L"onefile_4242_123456_abcdefghijk.", false},  // trailing dot
        {default_template, L"onefile_4242_123456_abcdefghijkA", false},  // longer
        {default_template, L"onefile_4242_123456_abcdefghij", false},  // shorter
        {default_template, L"xonefile_4242_123456_abcdefghijk", false},
        {default_template, L"onefile-4242_123456_abcdefghijk", false},
        {default_template, L"onefile_42a2_123456_abcdefghijk", false},
        {default_template, L"", false},
        // Another last component, and the build texts standing for themselves.
        {L"C:\\x\\{PID}", L"123", true},
        {L"C:\\x\\{PID}", L"", false},
        {L"C:\\x\\{product}-{RANDOM}", L"brellum-abcdefghijk", true},
        {L"C:\\x\\{PRODUCT}-{RANDOM}", L"Other-abcdefghijk", false},
        {L"{TEMP}/run_{TIME}_{PID}", L"run_133485408001234567_77", true},
        {L"{TEMP}/run_{TIME}_{PID}", L"run_133485408001234567_", false},
    };
    for (const shape_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "template " << c.template_text << " name " << c.name);
        EXPECT_EQ(c.matches, folder_name_has_shape(c.template_text, c.name));
    }
}

TEST(FolderShape, TemplatesWithoutAPerRunValueOrWithAnUnboundedOneGiveNoShape)
{
    struct template_case {
        const wchar_t* template_text;
        bool has_shape;
    };
    const template_case cases[] = {
        {default_template, true},
        {L"{TEMP}\\{RANDOM}", true},
        {L"{TEMP}\\fixed_folder", false},  // every run's folder would be the same
        {L"{TEMP}\\run_{TIME}", false},  // TIME alone is not taken for a run's own value
        {L"{TEMP}\\{PRODUCT}_{VERSION}", false},
        {L"{TEMP}\\x_{PROGRAM_BASE}_{PID}", false},  // a path in the last component
        {L"{TEMP}\\x_{HOME}_{PID}", false},
        {L"{TEMP}\\x_{NOSUCH}_{PID}", false},
        {L"{TEMP}\\x_{PID", false},  // unclosed reference
        {L"{TEMP}\\x}_{PID}", false},
        {L"{TEMP}\\x_{PID}.", false},  // the full-path step would cut the dot
        {L"{TEMP}\\x_{PID} ", false},
        {L"{TEMP}\\x_{PID}\\", false},  // empty last component
        {L"{TEMP}\\a:{PID}", false},
        {L"{TEMP}\\{PID}{PID}{PID}{PID}", false},  // too many lengths to try
        {L"", false},
    };
    for (const template_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "template " << c.template_text);
        EXPECT_EQ(c.has_shape, template_has_folder_shape(c.template_text));
        if (!c.has_shape) {
            EXPECT_FALSE(folder_name_has_shape(c.template_text, L"x_123"));
        }
    }
}

TEST(FolderShape, ANameLongerThanAFolderNameCanBeNeverMatches)
{
    std::wstring long_template = L"{TEMP}\\" + std::wstring(250, L'p') + L"{PID}";
    EXPECT_TRUE(folder_name_has_shape(long_template.c_str(), (std::wstring(250, L'p') + L"12345").c_str()));
    EXPECT_FALSE(folder_name_has_shape(long_template.c_str(), (std::wstring(250, L'p') + L"123456").c_str()));
}
