// The launcher image's start-up under Wine, through start_probe.exe (built as the launcher is):
// the stack cookie gets a new value on each run, and a smashed stack ends with 0xC0000409.
#include "tests/support/probe.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

namespace {

std::wstring start_probe_path()
{
    std::wstring path = this_executable_path();
    return path.substr(0, path.rfind(L'\\') + 1) + L"start_probe.exe";
}

process_result run_start_probe(const std::wstring& arguments)
{
    return run_process(start_probe_path(), quote_argument(start_probe_path()) + L" " + arguments);
}

}  // namespace

TEST(ImageStart, TheLoaderGivesTheCookieANewRandomValueOnEachRun)
{
    const unsigned long long default_cookie = sizeof(void*) == 8 ? 0x00002B992DDFA232ULL : 0xBB40E64EULL;
    std::set<unsigned long long> cookies;
    for (int run = 0; run < 4; ++run) {
        process_result result = run_start_probe(L"cookie");
        ASSERT_EQ(0u, result.exit_code) << result.err;
        std::istringstream fields(result.out);
        unsigned long long high = 0, low = 0;
        int set_by_loader = -1;
        ASSERT_TRUE(fields >> high >> low >> set_by_loader) << result.out;
        unsigned long long cookie = high << 32 | low;
        EXPECT_NE(default_cookie, cookie);
        // Wine's loader replaces the default value, as Windows does; the start-up's own value
        // is only for a loader that does not.
        EXPECT_EQ(1, set_by_loader);
        cookies.insert(cookie);
    }
    // Two of four runs have been seen to get the same cookie from Wine's loader; a cookie
    // fixed at link time gives one value for all four.
    EXPECT_GE(cookies.size(), 2u);
}

TEST(ImageStart, AStackSmashEndsWithTheFailFastStatusAndNothingPrinted)
{
    // Fits: the function returns and the probe ends with 0.
    process_result fits = run_start_probe(L"1234567");
    EXPECT_EQ(64u, fits.exit_code);
    process_result small = run_start_probe(L"smash 1234567");
    EXPECT_EQ(0u, small.exit_code);
    // 64 bytes over an 8-byte buffer reach the cookie and the return address: the check ends
    // the process before the return would jump anywhere.
    process_result smashed = run_start_probe(L"smash " + std::wstring(64, L'x'));
    EXPECT_EQ(0xC0000409u, smashed.exit_code);
    EXPECT_EQ("", smashed.out);
    EXPECT_EQ("", smashed.err);
}
