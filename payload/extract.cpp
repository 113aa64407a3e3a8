// The archive walk of both roles and the parent's file and directory writing.
#include "payload/extract.h"

#include "launcher/fatal.h"
#include "os/runtime.h"
#include "os/win_calls.h"
#include "paths/bounded.h"
#include "paths/private_folder.h"
#include "paths/template.h"
#include "payload/archive_names.h"
#include "payload/stream.h"
#include "payload/walk_buffers.h"

#include <cstdint>
#include <cwchar>

const wchar_t* directory_cache[directory_cache_capacity];
int directory_cache_count;
volatile bool unpack_dir_created;

static unsigned char copy_buffer[copy_chunk_size];

static void remember_directory(const wchar_t* path);

static const wchar_t home_template[] = L"{HOME}";

// Reads the next name into entry_name, one unit per request; false at the terminator. A name
// that would not fit the buffer with its zero unit cannot come from the packer: like every
// other overflow it ends the run through the fail-fast termination, before anything of it is
// used.
static bool read_entry_name()
{
    payload_read(&entry_name[0], sizeof(wchar_t));
    if (entry_name[0] == L'\0') {
        return false;
    }
    size_t length = 1;
    do {
        if (length >= entry_name_capacity) {
            fail_fast();
        }
        payload_read(&entry_name[length], sizeof(wchar_t));
    } while (entry_name[length++] != L'\0');
    return true;
}

static uint64_t read_entry_size()
{
    unsigned char raw[8];
    payload_read(raw, sizeof raw);
    uint64_t size = 0;
    for (int i = 7; i >= 0; --i) {
        size = (size << 8) | raw[i];
    }
    return size;
}

static void build_target_path()
{
    copy_bounded(target_path, unpack_dir, path_capacity);
    append_bounded(target_path, L"\\", path_capacity);
    append_bounded(target_path, entry_name, path_capacity);
}

// False when a console stop came in: the stop ends the run, and the caller closes the file first
// so that nothing keeps the folder from going.
static bool copy_entry_data(HANDLE file, uint64_t size, const volatile bool* stop_requested)
{
    for (uint64_t left = size; left != 0;) {
        DWORD chunk = left > copy_chunk_size ? static_cast<DWORD>(copy_chunk_size) : static_cast<DWORD>(left);
        payload_read(copy_buffer, chunk);
        DWORD written = 0;
        const bool wrote = os.WriteFile(file, copy_buffer, chunk, &written, nullptr) != 0;
        // A stop's removal may be what made the write fail.
        if (!wrote && !*stop_requested) {
            fatal_system_error(error_write_failed, os.GetLastError());
        }
        if (*stop_requested) {
            return false;
        }
        left -= chunk;
    }
    return true;
}

static bool write_entry_file(uint64_t size, const volatile bool* stop_requested)
{
    HANDLE file = os.CreateFileW(target_path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fatal_open_error(target_path);
    }
    const bool copied = copy_entry_data(file, size, stop_requested);
    os.CloseHandle(file);
    return copied;
}

[[noreturn]] static void refuse_unpack_dir()
{
    fatal_path_error_now(error_fresh_unpack_folder, unpack_dir);
}

// Whoever makes the per-run name first decides where the parent writes the DLLs its child
// loads: so the parent makes the last component itself or stops, and removes nothing then.
static void create_unpack_dir()
{
    create_parent_directories(unpack_dir);
    if (!create_private_folder(unpack_dir)) {
        refuse_unpack_dir();
    }
    // Without the hold another start's sweep could take the folder for a leftover; one that
    // opened it without sharing between its creation and here is what makes the hold fail, and
    // that start removes it. So this run writes nothing into it and removes nothing either.
    if (!hold_unpack_dir(unpack_dir)) {
        refuse_unpack_dir();
    }
    unpack_dir_created = true;
    remember_directory(unpack_dir);
}

walk_result walk_archive(walk_role role, const volatile bool* stop_requested)
{
    if (role == walk_as_parent) {
        create_unpack_dir();
    }
    while (read_entry_name()) {
        // Before any path is built from it: a hand-made block reaches here unchecked, and the
        // child, which reads only the first name, takes this check too.
        if (check_archive_name(entry_name, wcslen(entry_name)) != archive_name_safe) {
            fatal_unsafe_name();
        }
        build_target_path();
        if (main_module_path[0] == L'\0') {
            copy_bounded(main_module_path, target_path, path_capacity);
            if (role == walk_as_child) {
                return walk_complete;
            }
        }
        uint64_t size = read_entry_size();
        if (*stop_requested) {
            return walk_stopped;
        }
        create_parent_directories(target_path);
        if (!write_entry_file(size, stop_requested)) {
            return walk_stopped;
        }
    }
    // A child that meets the terminator first has nothing to hand off; the stream stays open
    // in the child as it always does.
    if (role == walk_as_parent) {
        payload_close();
    }
    return walk_complete;
}

// Cuts the path at its last backslash; the first unit is never taken for one.
static bool cut_last_component(wchar_t* path)
{
    for (size_t i = wcslen(path); i > 1; --i) {
        if (path[i - 1] == L'\\') {
            path[i - 1] = L'\0';
            return true;
        }
    }
    return false;
}

static void restore_last_component(wchar_t* path)
{
    path[wcslen(path)] = L'\\';
}

// Climbs from the file's folder until a folder is accepted, then makes the missing levels on
// the way back, outermost first: each missing level is tried once going up and once coming
// down. One buffer serves every level, so a deep path costs no stack per level.
bool create_parent_directories(const wchar_t* path)
{
    wchar_t directory[path_capacity];
    copy_bounded(directory, path, path_capacity);
    if (!cut_last_component(directory)) {
        return true;
    }
    int levels_above = 0;
    bool exists = ensure_directory(directory);
    while (!exists) {
        if (!cut_last_component(directory)) {
            exists = ensure_directory(directory);
            break;
        }
        ++levels_above;
        exists = ensure_directory(directory);
    }
    for (; levels_above > 0; --levels_above) {
        restore_last_component(directory);
        exists = ensure_directory(directory);
    }
    return exists;
}

// A heap copy that is never freed. When no memory is left the folder is simply not
// remembered: it is asked for again next time instead of being compared with nothing.
static void remember_directory(const wchar_t* path)
{
    if (directory_cache_count >= directory_cache_capacity) {
        return;
    }
    size_t size = (wcslen(path) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(os.malloc(size));
    if (copy != nullptr) {
        wmemcpy(copy, path, size / sizeof(wchar_t));
        directory_cache[directory_cache_count++] = copy;
    }
}

static void seed_directory_cache()
{
    wchar_t home[path_capacity];
    if (!expand_template(home, home_template, path_capacity)) {
        fatal_template_error(home_template);
    }
    remember_directory(home);
}

static bool is_cached_directory(const wchar_t* path)
{
    for (int i = 0; i < directory_cache_count; ++i) {
        if (wcscmp(directory_cache[i], path) == 0) {
            return true;
        }
    }
    return false;
}

bool ensure_directory(const wchar_t* path)
{
    if (directory_cache_count == 0) {
        seed_directory_cache();
    }
    if (is_cached_directory(path)) {
        return true;
    }
    if (wcslen(path) == 2 && path[1] == L':') {
        return true;
    }
    if (!os.CreateDirectoryW(path, nullptr) && os.GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    remember_directory(path);
    return true;
}
