// Entry point of every test executable: a probe when asked for one, else GoogleTest.
#include "tests/support/probe.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

// A replaced entry that outlives its test would fake the system for every test after it.
class seam_left_replaced : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo&) override
    {
        std::vector<std::string> names = seam_replaced_calls();
        std::string listed;
        for (const std::string& name : names) {
            listed += " " + name;
        }
        EXPECT_TRUE(names.empty()) << "still replaced after the test:" << listed;
        os_restore_defaults();
    }
};

int wmain(int argc, wchar_t** argv)
{
    int status = 0;
    if (run_requested_probe(argc, argv, &status)) {
        return status;
    }
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new seam_left_replaced);
    return RUN_ALL_TESTS();
}
