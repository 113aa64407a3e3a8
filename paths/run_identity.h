// Run identity values for the template variables PID, TIME_US, TIME and RANDOM, each kept in
// the environment so that a second expansion, in this process or a child, gives the same text.
#ifndef VELDRA_PATHS_RUN_IDENTITY_H
#define VELDRA_PATHS_RUN_IDENTITY_H

#include <cstddef>
#include <cstdint>

enum {
    random_token_length = 11,
    random_token_capacity = random_token_length + 1,
    // "%lld" of a 64-bit value: at most 20 characters and the terminator.
    time_text_capacity = 24,
};

// Each appends its value to the NUL-terminated output; a value that does not fit aborts.
// PID reads VELDRA_ONEFILE_PARENT only; the other three read their variable back, or make a
// value and store it there first.
void append_run_pid(wchar_t* output, size_t capacity);
void append_time_us(wchar_t* output, size_t capacity);
void append_time(wchar_t* output, size_t capacity);
void append_random(wchar_t* output, size_t capacity);

// Whether the environment holds the values exactly as a parent writes them: VELDRA_ONEFILE_PARENT
// an identifier as "%ld" gives it, and each of VELDRA_ONEFILE_TIME_US (6 digits),
// VELDRA_ONEFILE_START (1 to 19 digits) and VELDRA_ONEFILE_RANDOM (a token of the generator's
// shape) absent or of its shape. Digits are 0 to 9 alone.
bool run_identity_has_shape();

// Eleven characters of the URL-safe alphabet and a terminator, seeded from the performance
// counter, the system time, the process and thread identifiers and the address of a local.
void make_random_token(wchar_t token[random_token_capacity]);
// The generator alone: the 64 bits of the splitmix64 finalizer of `seed`.
void make_random_token_from_seed(uint64_t seed, wchar_t token[random_token_capacity]);

// The texts of TIME and TIME_US for a system time in 100-nanosecond units since 1601.
void format_time(int64_t system_time, wchar_t text[time_text_capacity]);
void format_time_us(int64_t system_time, wchar_t text[time_text_capacity]);

#endif
