// Template expansion: one pass over the template, literal text copied, each {NAME} replaced by
// the value of a built-in variable.
#include "paths/template.h"

#include "build/constants.h"
#include "launcher/run_state.h"
#include "os/win_calls.h"
#include "paths/bounded.h"
#include "paths/run_identity.h"

#include <cwchar>

int program_argc;
wchar_t** program_argv;

// A name of up to 1023 characters and its terminator.
enum { name_buffer_capacity = 1024 };

// The variables, in the order in which a name is compared with them.
enum variable_id {
    variable_temp,
    variable_program,
    variable_program_base,
    variable_program_dir,
    variable_pid,
    variable_home,
    variable_cache_dir,
    variable_company,
    variable_product,
    variable_version,
    variable_file_version,
    variable_product_version,
    variable_random,
    variable_time_us,
    variable_time,
    variable_count
};

struct variable_entry {
    const wchar_t* name;
    // Folders lose every backslash at the end of the whole output, so that a literal "\"
    // after them never doubles one.
    bool strips_trailing_backslashes;
    // A path that comes out empty would leave the text after it standing at the root of the
    // drive ("{TEMP}\\x" as "\\x"): such an expansion fails instead.
    bool is_path;
};

static const variable_entry variables[variable_count] = {
    {L"TEMP", true, true},
    {L"PROGRAM", false, true},
    {L"PROGRAM_BASE", false, true},
    {L"PROGRAM_DIR", false, true},
    {L"PID", false, false},
    {L"HOME", true, true},
    {L"CACHE_DIR", true, true},
    {L"COMPANY", false, false},
    {L"PRODUCT", false, false},
    {L"VERSION", false, false},
    {L"FILE_VERSION", false, false},
    {L"PRODUCT_VERSION", false, false},
    {L"RANDOM", false, false},
    {L"TIME_US", false, false},
    {L"TIME", false, false},
};

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
    while (id < variable_count && !equals_ignoring_ascii_case(name, variables[id].name)) {
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

static bool append_value(int id, wchar_t* output, size_t capacity)
{
    switch (id) {
    case variable_temp: return append_temp_folder(output, capacity);
    case variable_program: append_program(output, capacity); return true;
    case variable_program_base: return append_program_base(output, capacity);
    case variable_program_dir: return append_program_dir(output, capacity);
    case variable_pid: append_run_pid(output, capacity); return true;
    case variable_home: return append_shell_folder(output, capacity, CSIDL_PROFILE);
    case variable_cache_dir: return append_shell_folder(output, capacity, CSIDL_LOCAL_APPDATA);
    case variable_company: append_bounded(output, build_company, capacity); return true;
    case variable_product: append_bounded(output, build_product, capacity); return true;
    case variable_version: append_bounded(output, build_version, capacity); return true;
    case variable_file_version: append_bounded(output, build_file_version, capacity); return true;
    case variable_product_version: append_bounded(output, build_product_version, capacity); return true;
    case variable_random: append_random(output, capacity); return true;
    case variable_time_us: append_time_us(output, capacity); return true;
    case variable_time: append_time(output, capacity); return true;
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

// The name of the reference being read. Its length may pass the buffer: only the first 1023
// characters are kept, and the name is known to be too long.
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

// A name longer than 1023 characters names no variable: false, as for any unknown name.
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

void normalize_unpack_dir()
{
    // Only an expansion that failed at its first value leaves nothing; the caller reports the
    // template for it, which the system's refusal of an empty path would cut short.
    if (unpack_dir[0] == L'\0') {
        return;
    }
    wchar_t full[path_capacity];
    DWORD length = os.GetFullPathNameW(unpack_dir, path_capacity, full, nullptr);
    if (length == 0 || length >= path_capacity) {
        fail_fast();
    }
    copy_bounded(unpack_dir, full, path_capacity);
}
