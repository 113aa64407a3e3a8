// Stand-in teardown.
#include "launcher/teardown.h"

void teardown() {}

BOOL WINAPI console_control_handler(DWORD)
{
    return FALSE;
}
