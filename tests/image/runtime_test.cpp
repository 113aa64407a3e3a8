// The launcher's own stand-ins for the C runtime (os/runtime.h), each against what the runtime
// itself gives, as this test program still links it.
#include "os/runtime.h"
#include "os/win_calls.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cwchar>
#include <string>

TEST(Runtime, DecimalTextIsWhatPrintfWrites)
{
    const struct {
        long long value;
        int min_digits;
        const char* format;
    } cases[] = {
        {0, 1, "%lld"}, {7, 1, "%lld"}, {-42, 1, "%lld"}, {4294967295LL, 1, "%lld"},
        {LLONG_MAX, 1, "%lld"}, {LLONG_MIN, 1, "%lld"}, {42, 6, "%06lld"}, {999999, 6, "%06lld"},
        {0, 6, "%06lld"}, {133787654321098765LL, 1, "%lld"},
    };
    for (const auto& c : cases) {
        char expected[40];
        snprintf(expected, sizeof expected, c.format, c.value);
        char narrow[40];
        wchar_t wide[40];
        ASSERT_TRUE(format_decimal(narrow, sizeof narrow, c.value, c.min_digits));
        ASSERT_TRUE(format_decimal_wide(wide, 40, c.value, c.min_digits));
        EXPECT_EQ(std::string(expected), narrow);
        std::wstring widened(expected, expected + std::string(expected).size());
        EXPECT_EQ(widened, wide);
    }
}

TEST(Runtime, DecimalTextThatDoesNotFitLeavesAnEmptyText)
{
    char text[4] = "xyz";
    EXPECT_FALSE(format_decimal(text, sizeof text, 1234, 1));
    EXPECT_STREQ("", text);
    EXPECT_FALSE(format_decimal(text, sizeof text, -100, 1));
    EXPECT_TRUE(format_decimal(text, sizeof text, 123, 1));
    EXPECT_STREQ("123", text);
}

TEST(Runtime, DecimalParsingAcceptsWhatWcstolTakesWholeWithoutOverflow)
{
    const wchar_t* cases[] = {L"0", L"12", L" \t12", L"+5", L"-7", L"2147483647", L"-2147483648",
                              L"2147483648", L"-2147483649", L"99999999999999999999", L"", L" ",
                              L"-", L"+", L"12x", L"12 ", L"0x10", L"1.5"};
    for (const wchar_t* text : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(text)));
        wchar_t* end = nullptr;
        errno = 0;
        long expected = wcstol(text, &end, 10);
        bool runtime_accepts = errno != ERANGE && end != text && *end == L'\0';
        long value = -99;
        EXPECT_EQ(runtime_accepts, parse_decimal_wide(text, &value));
        if (runtime_accepts) {
            EXPECT_EQ(expected, value);
        }
    }
}

// The one difference: the runtime's wcstol takes other scripts' digits (U+0661, ARABIC-INDIC ONE,
// reads as 1); a process id the launcher wrote itself is ASCII, so anything else is refused.
TEST(Runtime, DecimalParsingTakesAsciiDigitsAlone)
{
    long value = -99;
    EXPECT_FALSE(parse_decimal_wide(L"\x0661", &value));
    EXPECT_FALSE(parse_decimal_wide(L"1\xff11", &value));
    EXPECT_EQ(-99, value);
}

namespace {
std::string written;
unsigned long written_to;
void capture_write(unsigned long std_handle, const char* bytes, size_t length)
{
    written.assign(bytes, length);
    written_to = std_handle;
}
}  // namespace

// The fatal lines print paths; the runtime's "%ls" wrote each unit up to 0xFF as that byte and
// stopped the text at the first unit above it, in text mode with "\r\n" for "\n".
TEST(Runtime, ALineWritesWideTextAsTheRuntimesLsFormatDid)
{
    seam_scope seam;
    os.standard_write = capture_write;
    const wchar_t* cases[] = {L"C:\\users\\x\\Temp\\onefile_1\\data.bin", L"caf\x00e9 \x00ff", L"a\x0100z",
                              L"\x4e2d\x6587", L"\xd83d\xde00 end", L"", L"tab\there"};
    for (const wchar_t* text : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(text)));
        char expected[256];
        snprintf(expected, sizeof expected, "Error, '%ls' here.\n", text);
        std::string with_crlf;
        for (char c : std::string(expected)) {
            with_crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        }
        line_start();
        line_add("Error, '");
        line_add_wide(text);
        line_add("' here.\n");
        line_write(STD_ERROR_HANDLE);
        EXPECT_EQ(with_crlf, written);
        EXPECT_EQ(STD_ERROR_HANDLE, written_to);
    }
}
