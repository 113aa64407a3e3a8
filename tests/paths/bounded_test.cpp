// Bounded copy and append: exact fits, one past the capacity, and copies within one buffer.
#include "paths/bounded.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <string>

TEST(CopyBounded, FitsUpToCapacityMinusOneAndAbortsBeyond)
{
    seam_scope seam;
    static wchar_t destination[4096];
    std::wstring fits(4095, L'a');
    EXPECT_FALSE(ends_in_fail_fast([&] { copy_bounded(destination, fits.c_str(), 4096); }));
    EXPECT_EQ(fits, destination);

    std::wstring too_long(4096, L'b');
    EXPECT_TRUE(ends_in_fail_fast([&] { copy_bounded(destination, too_long.c_str(), 4096); }));
}

TEST(CopyBounded, CopiesTheLaterPartOfABufferOntoItsStart)
{
    wchar_t path[32] = L"\\\\?\\C:\\Apps\\tool.exe";
    copy_bounded(path, path + 4, 32);
    EXPECT_STREQ(L"C:\\Apps\\tool.exe", path);
}

TEST(AppendBounded, AppendsWithinTheRoomAndAbortsWhenItDoesNotFit)
{
    seam_scope seam;
    wchar_t destination[8] = L"xy";
    append_bounded(destination, L"abc", 6);
    EXPECT_STREQ(L"xyabc", destination);

    wchar_t small[8] = L"xy";
    EXPECT_TRUE(ends_in_fail_fast([&] { append_bounded(small, L"abc", 5); }));
}

TEST(AppendAscii, WidensEachByte)
{
    seam_scope seam;
    wchar_t destination[128] = L"";
    append_ascii(destination, "4294967", 128);
    EXPECT_STREQ(L"4294967", destination);

    wchar_t tight[4] = L"ab";
    EXPECT_FALSE(ends_in_fail_fast([&] { append_ascii(tight, "c", 4); }));
    EXPECT_STREQ(L"abc", tight);
    EXPECT_TRUE(ends_in_fail_fast([&] { append_ascii(tight, "d", 4); }));
}
