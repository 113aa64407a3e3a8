// Environment access: what reads as no value, removal, and the 39-character name bound.
#include "paths/environment.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

static DWORD WINAPI needs_more_than_the_buffer(LPCWSTR, LPWSTR, DWORD)
{
    return 32769;
}

TEST(Environment, UnsetEmptyAndOverlongValuesReadAsNone)
{
    SetEnvironmentVariableW(L"VELDRA_TEST_UNSET", nullptr);
    EXPECT_EQ(nullptr, getenv_ascii("VELDRA_TEST_UNSET"));

    SetEnvironmentVariableW(L"VELDRA_TEST_EMPTY", L"");
    EXPECT_EQ(nullptr, getenv_ascii("VELDRA_TEST_EMPTY"));

    // A long value comes back whole (Wine stores somewhat less than the documented 32767).
    std::wstring long_value(32000, L'v');
    ASSERT_TRUE(SetEnvironmentVariableW(L"VELDRA_TEST_LONG", long_value.c_str()));
    wchar_t* value = getenv_ascii("VELDRA_TEST_LONG");
    ASSERT_NE(nullptr, value);
    EXPECT_TRUE(long_value == value) << "length " << wcslen(value);
    free(value);

    // Wine keeps no value over 32767 characters; the system's answer for one is the size it
    // would need, which the helper must take as no value.
    seam_scope seam;
    os.GetEnvironmentVariableW = needs_more_than_the_buffer;
    EXPECT_EQ(nullptr, getenv_ascii("VELDRA_TEST_LONG"));
    os_restore_defaults();
    SetEnvironmentVariableW(L"VELDRA_TEST_LONG", nullptr);
}

TEST(Environment, SetReadAndRemove)
{
    setenv_ascii("VELDRA_TEST_VALUE", L"C:\\some where");
    wchar_t* value = getenv_ascii("VELDRA_TEST_VALUE");
    ASSERT_NE(nullptr, value);
    EXPECT_STREQ(L"C:\\some where", value);
    free(value);

    setenv_ascii("VELDRA_TEST_VALUE", nullptr);
    EXPECT_EQ(nullptr, getenv_ascii("VELDRA_TEST_VALUE"));
}

TEST(Environment, NamesOfThirtyNineCharactersWorkAndFortyAbort)
{
    seam_scope seam;
    const std::string name39 = "VELDRA_TEST_" + std::string(27, 'N');
    ASSERT_EQ(39u, name39.size());
    EXPECT_FALSE(ends_in_fail_fast([&] { setenv_ascii(name39.c_str(), L"x"); }));
    wchar_t* value = getenv_ascii(name39.c_str());
    ASSERT_NE(nullptr, value);
    EXPECT_STREQ(L"x", value);
    free(value);

    const std::string name40 = name39 + "N";
    EXPECT_TRUE(ends_in_fail_fast([&] { setenv_ascii(name40.c_str(), L"x"); }));
    EXPECT_TRUE(ends_in_fail_fast([&] { getenv_ascii(name40.c_str()); }));
}
