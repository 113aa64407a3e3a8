// Own-path resolution: two path forms, each filled once, and the two in-place operations that
// turn a module path into the resolved form the role decision compares.
#include "paths/self_path.h"

#include "os/win_calls.h"
#include "paths/bounded.h"

#include <cstring>
#include <cwchar>

static wchar_t self_path[self_path_capacity];
static wchar_t self_path_plain[self_path_capacity];

// Looked up at run time, so that the image does not import it.
typedef decltype(&::GetFinalPathNameByHandleW) final_path_function;

static void fill_from_module_name(wchar_t* cache)
{
    const DWORD length = os.GetModuleFileNameW(nullptr, cache, self_path_capacity);
    if (length == 0) {
        cache[0] = L'\0';
        return;
    }
    // A name that fills the whole buffer was cut by the system; a cut path must not pass
    // for our own.
    if (length >= self_path_capacity) {
        fail_fast();
    }
}

const wchar_t* get_self_path(bool resolved)
{
    wchar_t* cache = resolved ? self_path : self_path_plain;
    if (cache[0] != L'\0') {
        return cache;
    }
    fill_from_module_name(cache);
    if (resolved && cache[0] != L'\0') {
        resolve_final_path(cache, self_path_capacity);
        shorten_directory_part(cache, self_path_capacity);
    }
    return cache;
}

static final_path_function find_final_path_function()
{
    HMODULE kernel = os.GetModuleHandleA("Kernel32.dll");
    if (kernel == nullptr) {
        return nullptr;
    }
    FARPROC found = os.GetProcAddress(kernel, "GetFinalPathNameByHandleW");
    // Through the generic function pointer type, which converts to any other without warning.
    return reinterpret_cast<final_path_function>(reinterpret_cast<void (*)()>(found));
}

static bool starts_with(const wchar_t* text, const wchar_t* prefix)
{
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

static void remove_long_path_prefix(wchar_t* path, size_t capacity)
{
    // \\?\C:\x -> C:\x. path[4] is looked at first so that a bare "\\?\" is never read past.
    if (starts_with(path, L"\\\\?\\") && path[4] != L'\0' && path[5] == L':') {
        copy_bounded(path, path + 4, capacity);
    }
    // \\?\UNC\server\share -> \\server\share: "C\server..." moved to the start, then C -> \.
    if (starts_with(path, L"\\\\?\\UNC\\")) {
        copy_bounded(path, path + 6, capacity);
        path[0] = L'\\';
    }
    // Any other prefixed form, a volume GUID path for one, keeps its prefix.
}

void resolve_final_path(wchar_t* path, size_t capacity)
{
    HANDLE file = os.CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    final_path_function final_path = find_final_path_function();
    DWORD length = 0;
    if (final_path != nullptr) {
        length = final_path(file, path, static_cast<DWORD>(capacity), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }
    os.CloseHandle(file);
    if (length >= capacity) {
        fail_fast();
    }
    if (length != 0) {
        remove_long_path_prefix(path, capacity);
    }
}

static wchar_t* duplicate_on_heap(const wchar_t* text)
{
    const size_t size = (wcslen(text) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(os.malloc(size));
    if (copy == nullptr) {
        fail_fast();
    }
    memcpy(copy, text, size);
    return copy;
}

// Replaces what the path holds by its short form; leaves it when the system has none.
static void replace_by_short_form(wchar_t* path, size_t capacity)
{
    const DWORD size = os.GetShortPathNameW(path, nullptr, 0);
    if (size == 0) {
        return;
    }
    wchar_t* short_form = static_cast<wchar_t*>(os.malloc((size + 1) * sizeof(wchar_t)));
    if (short_form == nullptr) {
        fail_fast();
    }
    const DWORD length = os.GetShortPathNameW(path, short_form, size);
    // The short form changed between the two calls and no longer fits the size it gave.
    if (length >= size) {
        fail_fast();
    }
    // 0: the folder went away between the two calls; it stays long.
    if (length != 0) {
        copy_bounded(path, short_form, capacity);
    }
    os.free(short_form);
}

void shorten_directory_part(wchar_t* path, size_t capacity)
{
    // Without a backslash the whole path is shortened and nothing is set aside.
    wchar_t* last_backslash = wcsrchr(path, L'\\');
    wchar_t* last_element = nullptr;
    if (last_backslash != nullptr) {
        last_element = duplicate_on_heap(last_backslash + 1);
        *last_backslash = L'\0';
    }
    replace_by_short_form(path, capacity);
    if (last_element != nullptr) {
        append_bounded(path, L"\\", capacity);
        append_bounded(path, last_element, capacity);
        os.free(last_element);
    }
}
