// Throwing stand-ins for the process endings.
#include "tests/support/seam.h"

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
