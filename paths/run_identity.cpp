// Run identity values: the parent's identifier, the start time and a random token, shared
// between parent and child through the environment.
#include "paths/run_identity.h"

#include "os/runtime.h"
#include "os/win_calls.h"
#include "paths/bounded.h"
#include "paths/environment.h"

#include <cstdlib>
#include <cwchar>

enum { pid_text_capacity = 128 };

static const char random_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Appends the value stored in `variable`; false when there is none.
static bool append_stored_value(const char* variable, wchar_t* output, size_t capacity)
{
    wchar_t* stored = getenv_ascii(variable);
    if (stored == nullptr) {
        return false;
    }
    append_bounded(output, stored, capacity);
    free(stored);
    return true;
}

static void store_and_append(const char* variable, const wchar_t* value, wchar_t* output, size_t capacity)
{
    setenv_ascii(variable, value);
    append_bounded(output, value, capacity);
}

// Only 0 to 9 count as digits. The runtime's wide digit class also admits superscripts and
// the digits of other scripts, which the parent never writes and which have no place in a
// folder name.
static bool is_decimal_text(const wchar_t* text)
{
    for (; *text != L'\0'; ++text) {
        if (*text < L'0' || *text > L'9') {
            return false;
        }
    }
    return true;
}

void append_run_pid(wchar_t* output, size_t capacity)
{
    wchar_t* stored = getenv_ascii("VELDRA_ONEFILE_PARENT");
    if (stored != nullptr) {
        if (!is_decimal_text(stored)) {
            fail_fast();
        }
        append_bounded(output, stored, capacity);
        free(stored);
        return;
    }
    // Without a parent variable the run is named after this process; the variable stays unset.
    char narrow_id[pid_text_capacity];
    format_decimal(narrow_id, sizeof narrow_id, static_cast<long>(os.GetCurrentProcessId()), 1);
    append_ascii(output, narrow_id, capacity);
}

static int64_t read_system_time()
{
    FILETIME now;
    os.GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

void format_time(int64_t system_time, wchar_t text[time_text_capacity])
{
    format_decimal_wide(text, time_text_capacity, system_time, 1);
}

void format_time_us(int64_t system_time, wchar_t text[time_text_capacity])
{
    long microsecond = static_cast<long>((system_time / 10) % 1000000);
    format_decimal_wide(text, time_text_capacity, microsecond, 6);
}

void append_time_us(wchar_t* output, size_t capacity)
{
    if (append_stored_value("VELDRA_ONEFILE_TIME_US", output, capacity)) {
        return;
    }
    wchar_t text[time_text_capacity];
    format_time_us(read_system_time(), text);
    store_and_append("VELDRA_ONEFILE_TIME_US", text, output, capacity);
}

void append_time(wchar_t* output, size_t capacity)
{
    if (append_stored_value("VELDRA_ONEFILE_START", output, capacity)) {
        return;
    }
    wchar_t text[time_text_capacity];
    format_time(read_system_time(), text);
    store_and_append("VELDRA_ONEFILE_START", text, output, capacity);
}

void append_random(wchar_t* output, size_t capacity)
{
    if (append_stored_value("VELDRA_ONEFILE_RANDOM", output, capacity)) {
        return;
    }
    wchar_t token[random_token_capacity];
    make_random_token(token);
    store_and_append("VELDRA_ONEFILE_RANDOM", token, output, capacity);
}

static bool digits_of_length(const wchar_t* text, size_t least, size_t most)
{
    const size_t length = wcslen(text);
    return length >= least && length <= most && is_decimal_text(text);
}

// The character's index in the alphabet, or -1.
static int random_alphabet_index(wchar_t c)
{
    for (int i = 0; random_alphabet[i] != '\0'; ++i) {
        if (static_cast<wchar_t>(random_alphabet[i]) == c) {
            return i;
        }
    }
    return -1;
}

// Eleven characters of the alphabet, the last one of the 16 that end an encoding of 64 bits.
static bool is_random_token(const wchar_t* text)
{
    if (wcslen(text) != random_token_length) {
        return false;
    }
    for (int i = 0; i < random_token_length; ++i) {
        if (random_alphabet_index(text[i]) < 0) {
            return false;
        }
    }
    return random_alphabet_index(text[random_token_length - 1]) % 4 == 0;
}

// The identifier as "%ld" writes it: no sign, no blank, no leading zero, within a long.
static bool is_process_id_text(const wchar_t* text)
{
    long value = 0;
    return digits_of_length(text, 1, 10) && (text[0] != L'0' || text[1] == L'\0') &&
           parse_decimal_wide(text, &value);
}

// An absent value passes: the expansion then makes one, which names no folder of a parent.
static bool stored_value_has_shape(const char* variable, bool (*has_shape)(const wchar_t*))
{
    wchar_t* stored = getenv_ascii(variable);
    const bool fits = stored == nullptr || has_shape(stored);
    free(stored);
    return fits;
}

static bool is_time_us_text(const wchar_t* text)
{
    return digits_of_length(text, 6, 6);
}

// "%lld" of a time after 1601: at most 19 digits.
static bool is_time_text(const wchar_t* text)
{
    return digits_of_length(text, 1, 19);
}

bool run_identity_has_shape()
{
    wchar_t* parent = getenv_ascii("VELDRA_ONEFILE_PARENT");
    const bool parent_fits = parent != nullptr && is_process_id_text(parent);
    free(parent);
    return parent_fits && stored_value_has_shape("VELDRA_ONEFILE_TIME_US", is_time_us_text) &&
           stored_value_has_shape("VELDRA_ONEFILE_START", is_time_text) &&
           stored_value_has_shape("VELDRA_ONEFILE_RANDOM", is_random_token);
}

// The 64-bit finalizer of splitmix64: every input bit reaches every output bit.
static uint64_t mix_bits(uint64_t value)
{
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

static uint64_t add_to_seed(uint64_t seed, uint64_t value)
{
    return mix_bits(seed ^ value);
}

// A name another process could guess would let it create the folder first: each source here
// alone holds a few unpredictable bits, together far more than 64.
void make_random_token(wchar_t token[random_token_capacity])
{
    LARGE_INTEGER counter;
    os.QueryPerformanceCounter(&counter);
    FILETIME now;
    os.GetSystemTimeAsFileTime(&now);
    uint64_t seed = add_to_seed(0, static_cast<uint64_t>(counter.QuadPart));
    seed = add_to_seed(seed, (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    seed = add_to_seed(seed, (static_cast<uint64_t>(os.GetCurrentProcessId()) << 32) | os.GetCurrentThreadId());
    // The stack's place, which address space layout randomisation moves in every process.
    seed = add_to_seed(seed, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&counter)));
    make_random_token_from_seed(seed, token);
}

void make_random_token_from_seed(uint64_t seed, wchar_t token[random_token_capacity])
{
    // The 64 bits, highest first, six bits a character; the last character holds the final
    // four bits followed by two zero bits.
    const uint64_t bits = mix_bits(seed);
    for (int i = 0; i < random_token_length - 1; ++i) {
        token[i] = static_cast<wchar_t>(random_alphabet[(bits >> (58 - 6 * i)) & 63]);
    }
    token[random_token_length - 1] = static_cast<wchar_t>(random_alphabet[(bits & 0x0F) << 2]);
    token[random_token_length] = L'\0';
}
