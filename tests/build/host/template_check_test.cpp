// The pack-time template check: the launcher's scanning rules and variable table, and the
// rule that the last path component must be a folder of the run's own.
#include "template_check.h"
#include "tests/support/template_cases.h"

#include <gtest/gtest.h>

using namespace packer;

namespace {

const template_build_values this_build = {u"Quendle Forge", u"Brellum", u"3.198.0", u"3.198.0", u"3.198.0"};

std::string problem_of(const std::u16string& text, const template_build_values& values = this_build)
{
    return unpack_template_problem(text, values);
}

}  // namespace

TEST(TemplateCheck, TemplatesTheLauncherExpandsIntoAFolderOfTheRunsOwnAreAccepted)
{
    const std::u16string accepted[] = {
        u"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}",
        u"{temp}\\onefile_{pid}",  // names fold ASCII case, as in the launcher
        u"{TEMP}\\{COMPANY}_{PRODUCT}_{VERSION}_{FILE_VERSION}_{PRODUCT_VERSION}_{PID}",
        u"{CACHE_DIR}\\{PRODUCT}\\run_{RANDOM}",
        u"{HOME}\\x_{TIME}",
        u"{PROGRAM_DIR}\\unpacked_{TIME_US}",
        u"D:\\unpack\\{PID}",  // a drive letter's colon
        u"\\\\server\\share\\{PID}",  // a share
        u"c:/unpack/{PID}",
        u"{TEMP}/a_{PID}",     // Windows takes "/" for a separator too
        u"{TEMP}\\a}b_{PID}",  // a "}" outside a reference is literal text, as in the launcher
        u"{TEMP}\\{PID}.",     // Windows drops the dot; the name stays the run's own
    };
    for (const auto& text : accepted) {
        EXPECT_EQ("", problem_of(text));
    }
}

TEST(TemplateCheck, TheSharedCasesAreAcceptedOrRefusedAsTheLauncherExpandsThem)
{
    for (const auto& c : shared_template_cases) {
        const std::string problem = problem_of(c.text);
        EXPECT_EQ(c.accepted, problem.empty()) << problem;
    }
}

TEST(TemplateCheck, EachTemplateThatCannotWorkIsRefusedWithItsReason)
{
    const std::u16string long_name(1024, u'X');
    struct refusal {
        std::u16string text;
        std::string reason;
    };
    const refusal refusals[] = {
        // what the launcher's expander fails on
        {u"{TEMP}\\{NOPE}_{PID}", "template '{TEMP}\\{NOPE}_{PID}' names an unknown variable {NOPE}"},
        {u"{TEMP}\\{}_{PID}", "names an unknown variable {}"},
        {u"{TEMP}\\{PID }", "names an unknown variable {PID }"},
        {u"{TEMP}\\{" + long_name + u"}{PID}", "has a variable name longer than 1,023 characters"},
        // what it would drop without a word
        {u"{TEMP}\\onefile_{PID}_{TIM", "ends inside the reference '{TIM': close it with '}'"},
        {u"{abc{TEMP}\\{PID}", "opens a reference inside '{abc': braces do not nest"},
        // what can never unpack
        {u"{TEMP}\\a<b_{PID}", "would put '<' (U+003C) in a folder name"},
        {u"{TEMP}\\a:b_{PID}", "would put ':' (U+003A) in a folder name"},
        {u"{TEMP}\\a\nb_{PID}", "template '{TEMP}\\a<0A>b_{PID}' would put U+000A in a folder name"},
        {std::u16string(4094, u'a') + u"\\{PID}", "expands to more than 4,095 characters on any machine"},
        {std::u16string(4084, u'a') + u"\\{RANDOM}", "expands to more than 4,095 characters"},
        // what would not be a folder of the run's own, which teardown removes whole
        {u"{TEMP}", "does not give each run a folder of its own, which is removed when the run ends"},
        {u"{HOME}", "its last path component must hold {PID}, {RANDOM}, {TIME_US} or {TIME}"},
        {u"{TEMP}\\onefile", "does not give each run a folder of its own"},
        {u"{TEMP}\\{PID}\\app", "does not give each run a folder of its own"},
        {u"{TEMP}\\onefile_{PID}\\", "does not give each run a folder of its own"},
        {u"", "does not give each run a folder of its own"},
        {u"{TEMP}\\{PID}\\..", "has the path component '..', which names no folder of its own"},
        {u"{TEMP}\\..\\x_{PID}", "has the path component '..'"},
        {u"{TEMP}\\{PID}\\. .", "has the path component '. .'"},
        {u"{TEMP}\\{PID}{PROGRAM_DIR}", "has {PROGRAM_DIR} in its last path component"},
        {u"{TEMP}\\{RANDOM}{TEMP}", "has {TEMP} in its last path component"},
        // what would land below whatever the current folder is
        {u"onefile_{PID}", "template 'onefile_{PID}' is not a full path: it must begin with {TEMP}, {HOME}, "
                           "{CACHE_DIR}, {PROGRAM_DIR}, {PROGRAM_BASE} or {PROGRAM}, a drive's root (C:\\) or a "
                           "share (\\\\server\\share), not depend on the current folder"},
        {u"run_{PID}_{RANDOM}", "is not a full path"},
        {u"\\onefile_{PID}", "is not a full path"},  // the current drive's root
        {u"C:onefile_{PID}", "is not a full path"},  // the current folder of drive C:
        {u"{COMPANY}\\{PID}", "is not a full path"},
        {u"{PID}\\{TEMP}\\x_{PID}", "is not a full path"},
        {u"\\\\\\x_{PID}", "is not a full path"},
    };
    for (const auto& r : refusals) {
        std::string problem = problem_of(r.text);
        EXPECT_NE(std::string::npos, problem.find(r.reason)) << "got: " << problem << "\nwanted: " << r.reason;
    }
}

TEST(TemplateCheck, BuildValuesAreCheckedAsTheLauncherWillPutThemIn)
{
    template_build_values values = this_build;
    values.company = u"Acme\\Tools";  // a backslash in a value makes a folder of its own
    EXPECT_EQ("", problem_of(u"{TEMP}\\{COMPANY}_{PID}", values));
    EXPECT_NE(std::string::npos, problem_of(u"{TEMP}\\{PID}_{COMPANY}", values).find("does not give each run"));
    values.company = u"Acme|Tools";
    EXPECT_NE(std::string::npos, problem_of(u"{TEMP}\\{COMPANY}_{PID}", values).find("'|' (U+007C)"));
    values.company = u"..";
    EXPECT_NE(std::string::npos, problem_of(u"{TEMP}\\{COMPANY}\\{PID}", values).find("path component '..'"));
    values.company = u"C:\\" + std::u16string(4087, u'c');  // and a backslash, "123" and a one-digit PID: 4,095
    EXPECT_EQ("", problem_of(u"{COMPANY}\\123{PID}", values));
    EXPECT_NE(std::string::npos, problem_of(u"{COMPANY}\\{PRODUCT}{PID}", values).find("4,095"));
}

TEST(TemplateCheck, ALongTemplateIsShownShortenedOnOneLine)
{
    std::string problem = problem_of(u"{TEMP}\\" + std::u16string(300, u'z'));
    EXPECT_EQ(std::string::npos, problem.find('\n'));
    EXPECT_NE(std::string::npos, problem.find("zzz...'"));
    EXPECT_LT(problem.size(), 400u);
}
