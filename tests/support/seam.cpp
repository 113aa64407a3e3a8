// Throwing stand-ins for the process endings.
#include "tests/support/seam.h"

#include <gtest/gtest.h>

static void throwing_fail_fast()
{
    throw fail_fast_called{};
}

static void throwing_exit(int status)
{
    throw exit_called{status};
}

seam_scope::seam_scope()
{
    os_restore_defaults();
    os.fail_fast = throwing_fail_fast;
    os.exit = throwing_exit;
}

seam_scope::~seam_scope()
{
    os_restore_defaults();
}

void seam_restore(const char* name)
{
    EXPECT_TRUE(os_restore_call(name)) << "the seam has no entry " << name;
}

std::vector<std::string> seam_replaced_calls()
{
    std::vector<std::string> names;
    for (int index = os_next_replaced_call(0); index >= 0; index = os_next_replaced_call(index + 1)) {
        names.push_back(os_call_names[index].name);
    }
    return names;
}
