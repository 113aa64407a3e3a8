// Pack options to build identity and signing options: defaults, values taken, refusals.
#include "error.h"
#include "identity.h"
#include "signing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

using namespace packer;

namespace {

typedef std::map<std::string, std::string> options;

std::string refusal_of(const options& given)
{
    try {
        identity_from_options(given);
        signing_from_options(given);
    } catch (const packer_error& error) {
        return error.what();
    }
    return "(accepted)";
}

}  // namespace

TEST(Identity, WithoutOptionsTheValuesAreThisBuilds)
{
    build_identity identity = identity_from_options({});
    EXPECT_EQ(u"Quendle Forge", identity.company);
    EXPECT_EQ(u"Brellum", identity.product);
    EXPECT_EQ(u"3.198.0", identity.version);
    EXPECT_EQ(u"3.198.0", identity.file_version);
    EXPECT_EQ(u"3.198.0", identity.product_version);
    EXPECT_EQ(u"Brellum7.exe", identity.original_filename);
    EXPECT_EQ(u"Brellum7", identity.internal_name);
    EXPECT_EQ(u"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}", identity.unpack_template);
    EXPECT_EQ(execution_level::require_administrator, identity.level);
    EXPECT_FALSE(identity.description.empty());
}

TEST(Identity, OptionsSetEveryTextAndOneVersionSetsAllThree)
{
    build_identity identity = identity_from_options({{"--company", "Quill & S\xc3\xb6hne"},
                                                     {"--product", "Widget"},
                                                     {"--version", "65535.0.17"},
                                                     {"--description", "a tool \xf0\x9f\x94\xa7"},
                                                     {"--original-filename", "widget.exe"},
                                                     {"--internal-name", "widget"},
                                                     {"--template", "{CACHE_DIR}\\{PRODUCT}_{PID}"},
                                                     {"--execution-level", "highestAvailable"}});
    EXPECT_EQ(u"Quill & S\u00f6hne", identity.company);
    EXPECT_EQ(u"Widget", identity.product);
    EXPECT_EQ(u"65535.0.17", identity.version);
    EXPECT_EQ(u"65535.0.17", identity.file_version);
    EXPECT_EQ(u"65535.0.17", identity.product_version);
    EXPECT_EQ(u"a tool \U0001F527", identity.description);
    EXPECT_EQ(u"widget.exe", identity.original_filename);
    EXPECT_EQ(u"widget", identity.internal_name);
    EXPECT_EQ(u"{CACHE_DIR}\\{PRODUCT}_{PID}", identity.unpack_template);
    EXPECT_EQ(execution_level::highest_available, identity.level);
    EXPECT_EQ(execution_level::as_invoker, identity_from_options({{"--execution-level", "asInvoker"}}).level);
}

TEST(Identity, VersionsAreThreeNumbersFrom0To65535)
{
    struct version_case {
        std::u16string text;
        bool valid;
    };
    const version_case cases[] = {
        {u"3.198.0", true},   {u"0.0.0", true},    {u"65535.65535.65535", true},
        {u"1.2", false},      {u"1.2.3.4", false}, {u"1.2.65536", false}, {u"1.2.99999", false},
        {u"01.2.3", false},   {u"1..3", false},    {u"1.2.", false},      {u".1.2", false},
        {u"+1.2.3", false},   {u" 1.2.3", false},  {u"1.2.3 ", false},    {u"1.x.3", false},
        {u"", false},         {u"1.2.-3", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.valid, parse_version(c.text).has_value()) << std::string(c.text.begin(), c.text.end());
    }
    version_number parsed = *parse_version(u"65535.0.17");
    EXPECT_EQ(65535, parsed.major);
    EXPECT_EQ(0, parsed.minor);
    EXPECT_EQ(17, parsed.patch);
}

TEST(Identity, EachUnusableOptionIsRefusedWithItsLine)
{
    struct refusal {
        options given;
        std::string line;
    };
    const refusal refusals[] = {
        {{{"--version", "1.2"}},
         "--version takes X.Y.Z, three whole numbers from 0 to 65535 without leading zeros (got '1.2')"},
        {{{"--company", ""}}, "--company takes a text that is not empty"},
        {{{"--product", "two\nlines"}}, "--product takes a text without control characters"},
        {{{"--description", "tab\there"}}, "--description takes a text without control characters"},
        {{{"--internal-name", "\xff"}}, "--internal-name takes UTF-8 text"},
        {{{"--original-filename", std::string(1024, 'x')}}, "--original-filename takes at most 1,023 UTF-16 units (got 1024)"},
        {{{"--execution-level", "requireadministrator"}},
         "--execution-level takes asInvoker, highestAvailable or requireAdministrator"},
        {{{"--template", "{TEMP}\\{NOPE}"}}, "template '{TEMP}\\{NOPE}' names an unknown variable {NOPE}"},
        {{{"--template", "{TEMP}"}}, "template '{TEMP}' does not give each run a folder of its own"},
        // the check sees the texts that the options give
        {{{"--company", "a|b"}, {"--template", "{TEMP}\\{COMPANY}{PID}"}},
         "template '{TEMP}\\{COMPANY}{PID}' would put '|' (U+007C)"},
        {{{"--sign-password-file", "x"}}, "--sign-password-file and --timestamp go with --sign-pkcs12"},
        {{{"--timestamp", "http://t.example"}}, "--sign-password-file and --timestamp go with --sign-pkcs12"},
        {{{"--sign-password", "x"}}, "--sign-password is not taken: a password on a command line can be read"},
        {{{"--sign-pkcs12", "/"}, {"--sign-password-file", "/nonexistent/pass"}}, "cannot read the PKCS#12 file '/'"},
        {{{"--sign-pkcs12", "/nonexistent/cert.p12"}}, "cannot read the PKCS#12 file '/nonexistent/cert.p12'"},
        {{{"--sign-pkcs12", "/"}}, "cannot read the PKCS#12 file '/'"},
    };
    for (const auto& r : refusals) {
        std::string got = refusal_of(r.given);
        EXPECT_EQ(0u, got.find(r.line)) << "got: " << got << "\nwanted: " << r.line;
        EXPECT_EQ(std::string::npos, got.find('\n')) << got;
    }
}

TEST(Signing, ACertificateFileWithAnHttpTimestampIsTaken)
{
    const std::string certificate = testing::TempDir() + "/veldra-identity-test.p12";
    std::ofstream(certificate) << "not checked here: osslsigncode reads it";
    const std::string password_file = testing::TempDir() + "/veldra-identity-test.pass";
    std::ofstream(password_file) << "";
    signing_options signing = signing_from_options({{"--sign-pkcs12", certificate},
                                                    {"--sign-password-file", password_file},
                                                    {"--timestamp", "https://ts.example/rfc3161"}});
    EXPECT_EQ(certificate, signing.pkcs12.string());
    EXPECT_EQ(std::optional<std::string>(""), signing.password);
    EXPECT_EQ("https://ts.example/rfc3161", signing.timestamp_url);
    EXPECT_TRUE(signing_from_options({}).pkcs12.empty());
    EXPECT_EQ("--timestamp takes an http:// or https:// URL (got 'ftp://ts.example')",
              refusal_of({{"--sign-pkcs12", certificate}, {"--timestamp", "ftp://ts.example"}}));
    std::remove(certificate.c_str());
    std::remove(password_file.c_str());
}

// The file's first line is the password, and a file wins over the environment; with neither
// there is no password.
TEST(Signing, ThePasswordComesFromItsFileOrElseTheEnvironment)
{
    const std::string certificate = testing::TempDir() + "/veldra-password-test.p12";
    std::ofstream(certificate) << "x";
    const std::string password_file = testing::TempDir() + "/veldra-password-test.pass";
    std::ofstream(password_file) << "from file\r\nsecond line";
    ::setenv("VELDRA_SIGN_PASSWORD", "from environment", 1);
    EXPECT_EQ(std::optional<std::string>("from file"),
              signing_from_options({{"--sign-pkcs12", certificate}, {"--sign-password-file", password_file}}).password);
    EXPECT_EQ(std::optional<std::string>("from environment"),
              signing_from_options({{"--sign-pkcs12", certificate}}).password);
    ::unsetenv("VELDRA_SIGN_PASSWORD");
    EXPECT_EQ(std::nullopt, signing_from_options({{"--sign-pkcs12", certificate}}).password);
    EXPECT_EQ("cannot read the password file '/nonexistent/pass'",
              refusal_of({{"--sign-pkcs12", certificate}, {"--sign-password-file", "/nonexistent/pass"}}));
    std::remove(certificate.c_str());
    std::remove(password_file.c_str());
}
