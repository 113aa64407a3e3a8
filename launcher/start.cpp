// The launcher executable's entry point in place of the C runtime's start-up: the stack cookie,
// the static constructors, the arguments, wmain, and its status to the system.
#include "launcher/start.h"

#include "os/win_calls.h"

#include <cstdint>

extern "C" int wmain(int argc, wchar_t** argv, wchar_t** envp);

extern "C" uintptr_t __stack_chk_guard;
// The linker's list of constructors: a count or -1, the functions, then a null entry.
extern "C" void (*__CTOR_LIST__[])(void);

#if UINTPTR_MAX > 0xFFFFFFFFu
static const uintptr_t default_cookie = 0x00002B992DDFA232ULL;
#else
static const uintptr_t default_cookie = 0xBB40E64EU;
#endif

bool stack_cookie_set_by_loader;

// Where no loader gave the cookie a value of its own, one is made from what differs between
// runs, as the C runtime of the other toolchain does.
static void start_stack_cookie()
{
    stack_cookie_set_by_loader = __stack_chk_guard != default_cookie;
    if (stack_cookie_set_by_loader) {
        return;
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint64_t mixed = (static_cast<uint64_t>(now.dwHighDateTime) << 32) ^ now.dwLowDateTime;
    mixed ^= static_cast<uint64_t>(counter.QuadPart) << 16;
    mixed ^= static_cast<uint64_t>(GetCurrentProcessId()) << 32 ^ GetCurrentThreadId();
    mixed ^= reinterpret_cast<uintptr_t>(&counter);
    uintptr_t cookie = static_cast<uintptr_t>(mixed ^ (mixed >> 32));
    // The default and a zero cookie would both read as "not started".
    if (cookie == default_cookie || cookie == 0) {
        cookie = default_cookie + 1;
    }
    __stack_chk_guard = cookie;
}

static void run_static_constructors()
{
    uintptr_t count = reinterpret_cast<uintptr_t>(__CTOR_LIST__[0]);
    if (count == static_cast<uintptr_t>(-1)) {
        for (count = 0; __CTOR_LIST__[count + 1] != nullptr; ++count) {
        }
    }
    for (uintptr_t i = count; i >= 1; --i) {
        __CTOR_LIST__[i]();
    }
}

extern "C" void launcher_start()
{
    start_stack_cookie();
    run_static_constructors();
    int argc = 0;
    wchar_t** argv = os.CommandLineToArgvW(os.GetCommandLineW(), &argc);
    if (argv == nullptr) {
        os_fail_fast_real();
    }
    os.exit(wmain(argc, argv, nullptr));
    os_fail_fast_real();
}
