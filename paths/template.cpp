// Template expansion. Stand-in: {TEMP} only, until the full variable table is built.
#include "paths/template.h"

#include "launcher/run_state.h"
#include "os/win_calls.h"
#include "paths/bounded.h"

#include <cwchar>

int program_argc;
wchar_t** program_argv;

bool expand_template(wchar_t* output, const wchar_t* template_text, size_t capacity)
{
    output[0] = L'\0';
    if (wcscmp(template_text, L"{TEMP}") == 0) {
        os.GetTempPathW(static_cast<DWORD>(capacity), output);
        return true;
    }
    return false;
}

void normalize_unpack_dir()
{
    wchar_t full[path_capacity];
    DWORD length = os.GetFullPathNameW(unpack_dir, path_capacity, full, nullptr);
    if (length == 0 || length >= path_capacity) {
        fail_fast();
    }
    copy_bounded(unpack_dir, full, path_capacity);
}
