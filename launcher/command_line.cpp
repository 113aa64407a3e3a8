// Quoting of command-line arguments. Pure logic over caller buffers: the only way out is the
// fail-fast ending when the text would not fit.
#include "launcher/command_line.h"

#include "paths/bounded.h"

#include <cwchar>

bool argument_needs_quotes(const wchar_t* argument)
{
    return argument[0] == L'\0' || wcspbrk(argument, L" \t\n\v\"") != nullptr;
}

// Appends one unit at *length; room always stays for the terminator.
static void put_unit(wchar_t* line, size_t* length, wchar_t unit, size_t capacity)
{
    if (*length + 1 >= capacity) {
        fail_fast();
    }
    line[(*length)++] = unit;
    line[*length] = L'\0';
}

static void put_backslashes(wchar_t* line, size_t* length, size_t count, size_t capacity)
{
    for (size_t i = 0; i < count; ++i) {
        put_unit(line, length, L'\\', capacity);
    }
}

// A run of backslashes is doubled where the parser would read it as escaping what follows
// (a double quote, or the closing quote); elsewhere backslashes are literal and stay as they are.
static void put_quoted(wchar_t* line, size_t* length, const wchar_t* argument, size_t capacity)
{
    put_unit(line, length, L'"', capacity);
    for (const wchar_t* at = argument;; ++at) {
        size_t backslashes = 0;
        for (; *at == L'\\'; ++at) {
            ++backslashes;
        }
        if (*at == L'\0') {
            put_backslashes(line, length, 2 * backslashes, capacity);
            break;
        }
        put_backslashes(line, length, *at == L'"' ? 2 * backslashes + 1 : backslashes, capacity);
        put_unit(line, length, *at, capacity);
    }
    put_unit(line, length, L'"', capacity);
}

static void put_text(wchar_t* line, size_t* length, const wchar_t* text, size_t capacity)
{
    for (; *text != L'\0'; ++text) {
        put_unit(line, length, *text, capacity);
    }
}

static void put_argument(wchar_t* line, size_t* length, const wchar_t* argument, size_t capacity)
{
    if (argument_needs_quotes(argument)) {
        put_quoted(line, length, argument, capacity);
    } else {
        put_text(line, length, argument, capacity);
    }
}

void append_argument(wchar_t* line, const wchar_t* argument, size_t capacity)
{
    size_t length = wcslen(line);
    put_argument(line, &length, argument, capacity);
}

// Keeps the length as it goes, so a long list costs one pass over its text.
void join_arguments(wchar_t* line, int count, const wchar_t* const* arguments, size_t capacity)
{
    size_t length = 0;
    copy_bounded(line, L"", capacity);
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            put_unit(line, &length, L' ', capacity);
        }
        put_argument(line, &length, arguments[i], capacity);
    }
}
