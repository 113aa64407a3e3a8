// The few things the launcher took from the C runtime, kept small and its own: the heap,
// decimal text, and whole lines on the standard streams written as the runtime's text mode did.
#ifndef VELDRA_OS_RUNTIME_H
#define VELDRA_OS_RUNTIME_H

#include <cstddef>

// The process heap; what zstd's decoder is given as its allocator too.
void* heap_alloc(size_t size);
void heap_free(void* block);

// Writes value in decimal with at least min_digits digits (zero padded); false, with text
// empty, when it would not fit in capacity units.
bool format_decimal(char* text, size_t capacity, long long value, int min_digits);
bool format_decimal_wide(wchar_t* text, size_t capacity, long long value, int min_digits);
// A whole text in decimal that fits a long: leading blanks and a sign allowed, nothing after.
bool parse_decimal_wide(const wchar_t* text, long* value);

// One line assembled in a fixed buffer, then written with one call on a standard handle
// (STD_OUTPUT_HANDLE or STD_ERROR_HANDLE), "\n" as "\r\n". A line longer than the buffer is cut.
void line_start();
void line_add(const char* text);
// A wide text as the runtime's "%ls" wrote it in the "C" locale: each unit up to 0xFF as that
// byte, and nothing from the first unit above it on.
void line_add_wide(const wchar_t* text);
void line_add_decimal(long long value);
void line_write(unsigned long std_handle);
// The default of os.standard_write: GetStdHandle and WriteFile until all is written or one fails.
void standard_write_real(unsigned long std_handle, const char* bytes, size_t length);

#endif
