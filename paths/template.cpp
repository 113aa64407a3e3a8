// Template expansion: one pass over the template, literal text copied, each {NAME} replaced by
// the value of a built-in variable.
#include "paths/template.h"

#include "build/constants.h"
#include "os/win_calls.h"
#include "paths/bounded.h"
#include "paths/run_identity.h"
#include "paths/template_variables.h"

#include <cwchar>

wchar_t payload_hash_text[payload_hash_digits + 1];
static int program_argc;
static wchar_t** program_argv;

// A name of up to the longest and its terminator.
enum { name_buffer_capacity = template_name_max_units + 1 };

struct variable_entry {
    const wchar_t* name;
    bool strips_trailing_backslashes;
    bool is_path;
};

#define VELDRA_WIDE_TEXT(text) L##text
static const variable_entry variables[template_variable_count] = {
#define VELDRA_VARIABLE_ENTRY(id, name, path, strips, unique, build, least) {VELDRA_WIDE_TEXT(name), strips, path},
    VELDRA_TEMPLATE_VARIABLES(VELDRA_VARIABLE_ENTRY)
#undef VELDRA_VARIABLE_ENTRY
};
#undef VELDRA_WIDE_TEXT

static wchar_t ascii_upper(wchar_t c)
{
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// Whole-string comparison that folds the ASCII letters only, never by locale.
static bool equals_ignoring_ascii_case(const wchar_t* text, const wchar_t* other)
{
    for (; *text != L'\0' && *other != L'\0'; ++text, ++other) {
        if (ascii_upper(*text) != ascii_upper(*other)) {
            return false;
        }
    }
    return *text == L'\0' && *other == L'\0';
}

static int find_variable(const wchar_t* name)
{
    int id = 0;
    while (id < template_variable_count && !equals_ignoring_ascii_case(name, variables[id].name)) {
        ++id;
    }
    return id;
}

static void strip_trailing_backslashes(wchar_t* output)
{
    size_t length = wcslen(output);
    while (length > 0 && output[length - 1] == L'\\') {
        output[--length] = L'\0';
    }
}

// The system writes the folder in place at the end of the output. A failed call, or a room
// too small for the folder, appends nothing and fails the expansion.
static bool append_temp_folder(wchar_t* output, size_t capacity)
{
    const size_t length = wcslen(output);
    const DWORD room = static_cast<DWORD>(capacity - length);
    const DWORD written = os.GetTempPathW(room, output + length);
    if (written == 0 || written >= room) {
        output[length] = L'\0';
        return false;
    }
    return true;
}

static bool append_shell_folder(wchar_t* output, size_t capacity, int folder)
{
    wchar_t path[MAX_PATH];
    if (os.SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) {
        return false;
    }
    append_bounded(output, path, capacity);
    return true;
}

void set_program_arguments(int argc, wchar_t** argv)
{
    program_argc = argc;
    program_argv = argv;
}

static void append_program(wchar_t* output, size_t capacity)
{
    if (program_argc < 1 || program_argv == nullptr || program_argv[0] == nullptr) {
        fail_fast();
    }
    append_bounded(output, program_argv[0], capacity);
}

// Expands "{PROGRAM}" at the end of the output and returns where its text begins, so that
// the edit that follows never looks at earlier output.
static wchar_t* append_nested_program(wchar_t* output, size_t capacity)
{
    const size_t length = wcslen(output);
    wchar_t* appended = output + length;
    return expand_template(appended, L"{PROGRAM}", capacity - length) ? appended : nullptr;
}

static bool append_program_base(wchar_t* output, size_t capacity)
{
    wchar_t* appended = append_nested_program(output, capacity);
    if (appended == nullptr) {
        return false;
    }
    const size_t length = wcslen(appended);
    if (length >= 4 && equals_ignoring_ascii_case(appended + length - 4, L".EXE")) {
        appended[length - 4] = L'\0';
    }
    return true;
}

static bool append_program_dir(wchar_t* output, size_t capacity)
{
    wchar_t* appended = append_nested_program(output, capacity);
    if (appended == nullptr) {
        return false;
    }
    wchar_t* last_backslash = wcsrchr(appended, L'\\');
    if (last_backslash != nullptr) {
        *last_backslash = L'\0';
    }
    return true;
}

// Only a cached pack carries the hash; without it the variable gives nothing and the expansion
// fails, as a per-run pack is refused such a template at pack time.
static bool append_payload_hash(wchar_t* output, size_t capacity)
{
    if (payload_hash_text[0] == L'\0') {
        return false;
    }
    append_bounded(output, payload_hash_text, capacity);
    return true;
}

static bool append_value(int id, wchar_t* output, size_t capacity)
{
    switch (id) {
    case template_variable_temp: return append_temp_folder(output, capacity);
    case template_variable_program: append_program(output, capacity); return true;
    case template_variable_program_base: return append_program_base(output, capacity);
    case template_variable_program_dir: return append_program_dir(output, capacity);
    case template_variable_pid: append_run_pid(output, capacity); return true;
    case template_variable_home: return append_shell_folder(output, capacity, CSIDL_PROFILE);
    case template_variable_cache_dir: return append_shell_folder(output, capacity, CSIDL_LOCAL_APPDATA);
    case template_variable_company: append_bounded(output, build_company, capacity); return true;
    case template_variable_product: append_bounded(output, build_product, capacity); return true;
    case template_variable_version: append_bounded(output, build_version, capacity); return true;
    case template_variable_file_version: append_bounded(output, build_file_version, capacity); return true;
    case template_variable_product_version: append_bounded(output, build_product_version, capacity); return true;
    case template_variable_random: append_random(output, capacity); return true;
    case template_variable_time_us: append_time_us(output, capacity); return true;
    case template_variable_time: append_time(output, capacity); return true;
    case template_variable_payload_hash: return append_payload_hash(output, capacity);
    default: return false;
    }
}

static bool append_variable(const wchar_t* name, wchar_t* output, size_t capacity)
{
    const int id = find_variable(name);
    const size_t before = wcslen(output);
    if (!append_value(id, output, capacity)) {
        return false;
    }
    if (variables[id].strips_trailing_backslashes) {
        strip_trailing_backslashes(output);
    }
    // Measured after the stripping: a folder of backslashes alone is no folder either.
    return !variables[id].is_path || wcslen(output) > before;
}

// False when the character and a terminator no longer fit.
static bool append_literal(wchar_t* output, size_t* length, wchar_t c, size_t capacity)
{
    if (capacity - *length < 2) {
        return false;
    }
    output[(*length)++] = c;
    output[*length] = L'\0';
    return true;
}

// The name of the reference being read. Its length may pass the buffer: only the first
// template_name_max_units characters are kept, and the name is known to be too long.
struct reference_name {
    wchar_t name_buffer[name_buffer_capacity];
    size_t length;
};

static void add_name_character(reference_name* name, wchar_t c)
{
    if (name->length < name_buffer_capacity - 1) {
        name->name_buffer[name->length] = c;
    }
    ++name->length;
}

// A longer name names no variable: false, as for any unknown name.
static bool expand_reference(reference_name* name, wchar_t* output, size_t capacity)
{
    if (name->length >= name_buffer_capacity) {
        return false;
    }
    name->name_buffer[name->length] = L'\0';
    return append_variable(name->name_buffer, output, capacity);
}

bool expand_template(wchar_t* output, const wchar_t* template_text, size_t capacity)
{
    if (capacity == 0) {
        fail_fast();
    }
    reference_name name;
    bool inside = false;
    size_t length = 0;
    output[0] = L'\0';
    for (const wchar_t* next = template_text; *next != L'\0'; ++next) {
        if (*next == L'{') {
            // Also inside a reference: the name so far is dropped, {abc{TEMP} is {TEMP}.
            inside = true;
            name.length = 0;
        } else if (*next == L'}' && inside) {
            if (!expand_reference(&name, output, capacity)) {
                return false;
            }
            length = wcslen(output);  // a value may have been shortened in place
            inside = false;
        } else if (inside) {
            add_name_character(&name, *next);
        } else if (!append_literal(output, &length, *next, capacity)) {
            // A "}" outside a reference lands here too: it is literal text like any other.
            return false;
        }
    }
    // A reference still open at the end is dropped: abc{TEM gives abc.
    return true;
}
