// A program built as the launcher image is, with its start-up, C functions and load
// configuration, that shows what a packed launcher cannot: its stack cookie, and a stack smash.
#include "launcher/start.h"
#include "os/runtime.h"

#include <windows.h>

#include <cstdint>

extern "C" uintptr_t __stack_chk_guard;

// Copies the argument into a buffer of 8 bytes, past its end when the argument is longer.
__attribute__((noinline)) static int copy_into_small_buffer(const wchar_t* text)
{
    char buffer[8];
    // Through a volatile pointer, so that the compiler cannot bound the loop by the buffer.
    char* volatile target = buffer;
    size_t length = wcslen(text);
    for (size_t i = 0; i < length; ++i) {
        target[i] = static_cast<char>(text[i]);
    }
    volatile char first = buffer[0];
    return first;
}

// "cookie": "<high 32 bits> <low 32 bits> <1 if the loader had set it, else 0>" on standard
// output. "smash TEXT": copies TEXT into an 8-byte stack buffer and returns 0.
extern "C" int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && wcscmp(argv[1], L"smash") == 0) {
        copy_into_small_buffer(argv[2]);
        return 0;
    }
    if (argc == 2 && wcscmp(argv[1], L"cookie") == 0) {
        uint64_t cookie = __stack_chk_guard;
        line_start();
        line_add_decimal(static_cast<long long>(cookie >> 32));
        line_add(" ");
        line_add_decimal(static_cast<long long>(cookie & 0xFFFFFFFFu));
        line_add(stack_cookie_set_by_loader ? " 1\n" : " 0\n");
        line_write(STD_OUTPUT_HANDLE);
        return 0;
    }
    return 64;
}
