// The seam by name: each entry once in the table of names, one entry restored alone, and the
// entries a test left replaced named.
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

static BOOL WINAPI fake_close_handle(HANDLE)
{
    return TRUE;
}

static BOOL WINAPI fake_find_close(HANDLE)
{
    return TRUE;
}

static DWORD WINAPI fake_last_error()
{
    return ERROR_ACCESS_DENIED;
}

TEST(Seam, EveryEntryHasOneNameAndOnePlace)
{
    std::set<size_t> offsets;
    std::set<std::string> names;
    for (int index = 0; index < os_call_count; ++index) {
        offsets.insert(os_call_names[index].offset);
        names.insert(os_call_names[index].name);
    }
    EXPECT_EQ(offsets.size(), static_cast<size_t>(os_call_count));
    EXPECT_EQ(names.size(), static_cast<size_t>(os_call_count));
    // No entry outside the named lists: the table is exactly the named entries.
    EXPECT_EQ(sizeof(os_call_table), os_call_count * sizeof(void (*)()));
    for (const char* name : {"CloseHandle", "FindClose", "GetLastError", "ZSTD_decompressStream",
                             "ZSTD_freeDCtx", "ZSTD_createDCtx", "malloc", "free", "exit", "fail_fast"}) {
        EXPECT_EQ(names.count(name), 1u) << name;
    }
}

TEST(Seam, RestoresOneEntryByNameAndNamesTheRest)
{
    seam_scope seam;
    std::vector<std::string> endings = seam_replaced_calls();
    EXPECT_EQ(endings, (std::vector<std::string>{"exit", "fail_fast"}));

    os.CloseHandle = fake_close_handle;
    os.FindClose = fake_find_close;
    os.GetLastError = fake_last_error;
    EXPECT_EQ(os.GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    seam_restore("CloseHandle");
    EXPECT_EQ(os.CloseHandle, &::CloseHandle);
    EXPECT_EQ(os.FindClose, &fake_find_close);
    EXPECT_EQ(seam_replaced_calls(), (std::vector<std::string>{"FindClose", "GetLastError", "exit", "fail_fast"}));

    EXPECT_FALSE(os_restore_call("CloseHandles"));
    EXPECT_EQ(os_restore_defaults(), 4);
    EXPECT_TRUE(seam_replaced_calls().empty());
    EXPECT_EQ(os.FindClose, &::FindClose);
    EXPECT_EQ(os_restore_defaults(), 0);
}
