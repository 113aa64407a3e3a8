// Shutdown: stop the child if it still runs and remove the unpack directory.
#ifndef VELDRA_LAUNCHER_TEARDOWN_H
#define VELDRA_LAUNCHER_TEARDOWN_H

#include "os/win_calls.h"

void teardown();
BOOL WINAPI console_control_handler(DWORD control_type);

#endif
