// Bounded copy and append for wide buffers whose capacity counts the terminator.
#include "paths/bounded.h"

#include "launcher/fatal.h"
#include "os/win_calls.h"

#include <cstdlib>
#include <cwchar>

void fail_fast()
{
    remove_unpacked_before_ending();
    os.fail_fast();
    os_fail_fast_real();
}

void copy_bounded(wchar_t* destination, const wchar_t* source, size_t capacity)
{
    // Runs forwards, so a later part of the same buffer may be copied onto its start.
    size_t i = 0;
    for (; source[i] != L'\0'; ++i) {
        if (i + 1 >= capacity) {
            fail_fast();
        }
        destination[i] = source[i];
    }
    if (capacity == 0) {
        fail_fast();
    }
    destination[i] = L'\0';
}

void append_bounded(wchar_t* destination, const wchar_t* source, size_t capacity)
{
    size_t length = wcslen(destination);
    if (length >= capacity) {
        fail_fast();
    }
    copy_bounded(destination + length, source, capacity - length);
}

void append_ascii(wchar_t* destination, const char* source, size_t capacity)
{
    size_t length = wcslen(destination);
    for (; *source != '\0'; ++source) {
        // Widening through mbstowcs in the "C" locale maps each byte to the same value.
        const char single[2] = {*source, '\0'};
        wchar_t wide[2];
        if (mbstowcs(wide, single, 2) != 1) {
            fail_fast();
        }
        if (capacity < length + 2) {
            fail_fast();
        }
        destination[length++] = wide[0];
        destination[length] = L'\0';
    }
}
