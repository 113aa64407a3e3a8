// Bounded wide-string buffers: writers never truncate and never pass the capacity; text that
// does not fit ends the process through the fail-fast termination.
#ifndef VELDRA_PATHS_BOUNDED_H
#define VELDRA_PATHS_BOUNDED_H

#include <cstddef>

// Capacities count the terminating NUL.
void copy_bounded(wchar_t* destination, const wchar_t* source, size_t capacity);
void append_bounded(wchar_t* destination, const wchar_t* source, size_t capacity);
void append_ascii(wchar_t* destination, const char* source, size_t capacity);

// Ends the process at once with 0xC0000409; prints nothing, runs no clean-up.
[[noreturn]] void fail_fast();

#endif
