// The stack cookie that -fstack-protector-strong checks, and the ending of a failed check.
// The load configuration (launcher/load_config.c) tells the loader where the cookie lives.
#include "os/win_calls.h"

#include <cstdint>

extern "C" {
// The loader replaces exactly this default value with a random one; any other value it leaves.
#if UINTPTR_MAX > 0xFFFFFFFFu
uintptr_t __stack_chk_guard = 0x00002B992DDFA232ULL;
#else
uintptr_t __stack_chk_guard = 0xBB40E64EU;
#endif

// A smashed frame: nothing of the process can be trusted, the seam's table included, so the
// fail-fast ending is called directly.
[[noreturn]] void __stack_chk_fail(void)
{
    os_fail_fast_real();
}
}
