// The launcher's own replacements for what it took from the C runtime (see runtime.h).
#include "os/runtime.h"

#include "os/win_calls.h"

void* heap_alloc(size_t size)
{
    return HeapAlloc(GetProcessHeap(), 0, size == 0 ? 1 : size);
}

void heap_free(void* block)
{
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

// Digits of the magnitude, last first; unsigned so that the most negative value has one too.
static int reversed_digits(char* digits, long long value)
{
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    return count;
}

template <typename unit>
static bool format_decimal_units(unit* text, size_t capacity, long long value, int min_digits)
{
    char digits[24];
    int count = reversed_digits(digits, value);
    int width = count < min_digits ? min_digits : count;
    size_t needed = static_cast<size_t>(width) + (value < 0 ? 1 : 0) + 1;
    if (capacity == 0) {
        return false;
    }
    text[0] = 0;
    if (width > 20 || needed > capacity) {
        return false;
    }
    size_t at = 0;
    if (value < 0) {
        text[at++] = '-';
    }
    for (int i = width - 1; i >= 0; --i) {
        text[at++] = static_cast<unit>(i < count ? digits[i] : '0');
    }
    text[at] = 0;
    return true;
}

bool format_decimal(char* text, size_t capacity, long long value, int min_digits)
{
    return format_decimal_units(text, capacity, value, min_digits);
}

bool format_decimal_wide(wchar_t* text, size_t capacity, long long value, int min_digits)
{
    return format_decimal_units(text, capacity, value, min_digits);
}

static bool is_blank(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

bool parse_decimal_wide(const wchar_t* text, long* value)
{
    while (is_blank(*text)) {
        ++text;
    }
    bool negative = *text == L'-';
    if (*text == L'-' || *text == L'+') {
        ++text;
    }
    // long is 32 bits on Windows whatever the pointer size.
    const unsigned long long limit = negative ? 0x80000000ULL : 0x7FFFFFFFULL;
    unsigned long long magnitude = 0;
    const wchar_t* first = text;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        magnitude = magnitude * 10 + static_cast<unsigned long long>(*text - L'0');
        if (magnitude > limit) {
            return false;
        }
    }
    if (text == first || *text != L'\0') {
        return false;
    }
    *value = negative ? static_cast<long>(0 - static_cast<long long>(magnitude)) : static_cast<long>(magnitude);
    return true;
}

// Room for the longest line: a message, a 4,095-unit path, a system text, each "\n" doubled.
static const size_t line_capacity = 16384;
static char line_bytes[line_capacity];
static size_t line_length;

void line_start()
{
    line_length = 0;
}

static void line_add_byte(char byte)
{
    if (byte == '\n') {
        line_add_byte('\r');
    }
    if (line_length < line_capacity) {
        line_bytes[line_length++] = byte;
    }
}

void line_add(const char* text)
{
    for (; *text != '\0'; ++text) {
        line_add_byte(*text);
    }
}

void line_add_wide(const wchar_t* text)
{
    for (; *text != L'\0' && static_cast<unsigned>(*text) <= 0xFF; ++text) {
        line_add_byte(static_cast<char>(*text));
    }
}

void line_add_decimal(long long value)
{
    char digits[24];
    format_decimal(digits, sizeof digits, value, 1);
    line_add(digits);
}

void line_write(unsigned long std_handle)
{
    os.standard_write(std_handle, line_bytes, line_length);
}

void standard_write_real(unsigned long std_handle, const char* bytes, size_t length)
{
    HANDLE stream = GetStdHandle(std_handle);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE) {
        return;
    }
    // A partial write is continued; a failed one is dropped, as the runtime dropped it.
    size_t written_total = 0;
    while (written_total < length) {
        DWORD written = 0;
        if (!WriteFile(stream, bytes + written_total, static_cast<DWORD>(length - written_total), &written,
                       nullptr) ||
            written == 0) {
            return;
        }
        written_total += written;
    }
}
