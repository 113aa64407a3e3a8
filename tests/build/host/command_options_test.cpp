// The command line against the option table: what lands where, and which lines are usage
// errors (the end-to-end conventions are in command_line_conventions_test.sh).
#include "command_options.h"
#include "signing.h"

#include <gtest/gtest.h>

using namespace packer;

namespace {

struct parse_case {
    std::vector<std::string> arguments;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    std::set<std::string> switches;
    bool help;
};

}  // namespace

TEST(CommandOptions, ArgumentsLandAsTheTableSays)
{
    const parse_case cases[] = {
        // A value is taken as it is, even one that looks like an option or like help.
        {{"pack", "app", "-o", "out.exe", "--company", "--help"}, {"app"}, {{"-o", "out.exe"}, {"--company", "--help"}}, {}, false},
        {{"block", "app", "--quiet", "-o", "b", "--no-checksum"}, {"app"}, {{"-o", "b"}}, {"--quiet", "--no-checksum"}, false},
        // The last of a repeated option counts; a lone "-" is a file name.
        {{"pack", "--block", "one", "--block", "two", "-o", "-"}, {}, {{"--block", "two"}, {"-o", "-"}}, {}, false},
        // Help after a command ends the parse: what follows is not looked at.
        {{"inspect", "-h", "--frob"}, {}, {}, {}, true},
    };
    for (const parse_case& expected : cases) {
        const command_line line = parse_command_line(expected.arguments);
        const std::string name = expected.arguments[0] + " " + expected.arguments[1];
        EXPECT_EQ(line.command, expected.arguments[0]) << name;
        EXPECT_EQ(line.positional, expected.positional) << name;
        EXPECT_EQ(line.values, expected.values) << name;
        EXPECT_EQ(line.switches, expected.switches) << name;
        EXPECT_EQ(line.help, expected.help) << name;
    }
}

TEST(CommandOptions, RefusalsAreUsageErrorsButThePasswordOption)
{
    const std::vector<std::vector<std::string>> usage_errors = {
        {}, {"frob"}, {"-o", "x"}, {"--help", "pack"}, {"pack", "--frob"}, {"inspect", "f", "--arch", "x64"},
        {"pack", "app", "--template"},
    };
    for (const auto& arguments : usage_errors) {
        EXPECT_THROW(parse_command_line(arguments), usage_error) << testing::PrintToString(arguments);
    }
    // Refused for what it would expose, not as a slip of syntax.
    try {
        parse_command_line({"pack", "app", "--sign-password", "x"});
        ADD_FAILURE() << "--sign-password was taken";
    } catch (const usage_error&) {
        ADD_FAILURE() << "--sign-password refused as a usage error";
    } catch (const packer_error& error) {
        EXPECT_EQ(std::string(error.what()), sign_password_refusal);
    }
}

TEST(CommandOptions, ACommandsUsageHoldsItsOwnOptionsAlone)
{
    const std::string inspect = usage_text("veldra-packer", "inspect");
    EXPECT_EQ(inspect.find("--level"), std::string::npos) << inspect;
    EXPECT_EQ(inspect.find("veldra-packer pack"), std::string::npos) << inspect;
    const std::string block = usage_text("veldra-packer", "block");
    EXPECT_NE(block.find("  --window-log N  (default: fits the archive)\n"), std::string::npos) << block;
    EXPECT_EQ(block.find("--company"), std::string::npos) << block;
}
