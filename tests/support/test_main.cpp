// Entry point of every test executable: a probe when asked for one, else GoogleTest.
#include "tests/support/probe.h"

#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv)
{
    int status = 0;
    if (run_requested_probe(argc, argv, &status)) {
        return status;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
