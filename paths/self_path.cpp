// Own-path resolution. Stand-in until the resolved form is built: both forms are the module
// file name as the system reports it.
#include "paths/self_path.h"

#include "os/win_calls.h"

static wchar_t self_path[self_path_capacity];
static wchar_t self_path_plain[self_path_capacity];

const wchar_t* get_self_path(bool resolved)
{
    wchar_t* cache = resolved ? self_path : self_path_plain;
    if (cache[0] == L'\0') {
        os.GetModuleFileNameW(nullptr, cache, self_path_capacity);
    }
    return cache;
}

void resolve_final_path(wchar_t*, size_t) {}

void shorten_directory_part(wchar_t*, size_t) {}
