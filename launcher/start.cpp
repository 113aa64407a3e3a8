// The launcher executable's entry point in place of the C runtime's start-up: the floating-point
// state, the stack cookie, the static constructors, the arguments, wmain, and its status to the
// system.
#include "launcher/start.h"

#include "os/win_calls.h"

#include <cstdint>
#if defined(_MSC_VER)
#include <xmmintrin.h>
#endif

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

// The state a console program's runtime start-up leaves (its _fpreset): x87 precision of 64 bits
// with every exception masked (0x037F; a process starts at the system's 0x027F, 53 bits), and
// SSE at its default, every exception masked and rounding to nearest (0x1F80). The child hands
// the process to the application, whose long double arithmetic (and what it prints of it) must
// come out as when it runs in a program of its own.
static void reset_floating_point_state()
{
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    const unsigned int sse_default = 0x1F80;
    __asm__ volatile("fninit\n\tldmxcsr %0" : : "m"(sse_default));
#elif defined(_MSC_VER) && defined(_M_IX86)
    const unsigned int sse_default = 0x1F80;
    __asm {
        fninit
        ldmxcsr sse_default
    }
#elif defined(_MSC_VER)
    // This compiler has no inline assembly for x64: the x87 word would need fninit from an
    // assembler file of its own.
    _mm_setcsr(0x1F80);
#endif
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
    reset_floating_point_state();
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
