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
#include "payload/writer.h"

#include <cstdint>
#include <cwchar>

const wchar_t* directory_cache[directory_cache_capacity];
int directory_cache_count;
volatile bool unpack_dir_created;

static void remember_directory(const wchar_t* path);

// The parent's writes go below the unpack folder's final path: write_root, then "\\" and the
// entry's name in write_path. target_path, below unpack_dir, is what messages show.
static wchar_t write_root[write_path_capacity];
static wchar_t write_path[write_path_capacity];

// The file the walk is filling whose close is not queued yet: what a stop in the middle of it
// must close before the folder can be removed.
static HANDLE file_being_filled;

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
            writer_settle();
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
    // A path that cannot fit ends the run: after what the writer still has to report.
    if (wcslen(unpack_dir) + 1 + wcslen(entry_name) >= path_capacity) {
        writer_settle();
    }
    copy_bounded(target_path, unpack_dir, path_capacity);
    append_bounded(target_path, L"\\", path_capacity);
    append_bounded(target_path, entry_name, path_capacity);
}

static void build_write_path()
{
    if (wcslen(write_root) + 1 + wcslen(entry_name) >= write_path_capacity) {
        writer_settle();
    }
    copy_bounded(write_path, write_root, write_path_capacity);
    append_bounded(write_path, L"\\", write_path_capacity);
    append_bounded(write_path, entry_name, write_path_capacity);
}

// After a failed write or close, or a console stop, the walk decodes nothing more: the writer
// finishes its queue, writing nothing further, and `file`, the open file whose close is not
// queued yet, is closed. A failure then ends the run as it did when each chunk was written
// before the next was decoded; a stop is the caller's to report (true).
static bool writing_ended(HANDLE file, const volatile bool* stop_requested)
{
    if (!*stop_requested && !writer_failed()) {
        return false;
    }
    writer_wait_idle();
    if (file != nullptr) {
        file_being_filled = nullptr;
        os.CloseHandle(file);
    }
    // A stop's removal may be what made the write fail.
    if (*stop_requested) {
        return true;
    }
    fatal_system_error(error_write_failed, writer_failure_code());
}

// The data goes to the writer a slot at a time, the file's close with its last slot; a file of
// no bytes is one empty slot, so that it too is closed in its turn. False when a console stop
// came in, with the file closed.
static bool copy_entry_data(HANDLE file, uint64_t size, const volatile bool* stop_requested)
{
    uint64_t left = size;
    do {
        unsigned char* slot = writer_claim();
        if (writing_ended(file, stop_requested)) {
            return false;
        }
        DWORD part = left > writer_slot_size ? static_cast<DWORD>(writer_slot_size) : static_cast<DWORD>(left);
        payload_read(slot, part);
        left -= part;
        if (left == 0) {
            // From here on the writer closes it.
            file_being_filled = nullptr;
        }
        writer_submit(file, part, left == 0);
    } while (left != 0);
    return true;
}

// Opened without sharing: an earlier file still being written under another name for the same
// file (a repeated name, another case, a short name) makes the open fail, and it is tried once
// more when the writer has closed everything, so that no late write lands in the new file.
static HANDLE create_entry_file()
{
    HANDLE file = os.CreateFileW(write_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE && os.GetLastError() == ERROR_SHARING_VIOLATION) {
        writer_wait_idle();
        file = os.CreateFileW(write_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    }
    return file;
}

static bool write_entry_file(uint64_t size, const volatile bool* stop_requested)
{
    HANDLE file = create_entry_file();
    if (file == INVALID_HANDLE_VALUE) {
        writer_settle();
        fatal_open_error(target_path);
    }
    file_being_filled = file;
    return copy_entry_data(file, size, stop_requested);
}

[[noreturn]] static void refuse_unpack_dir()
{
    fatal_path_error_now(error_fresh_unpack_folder, unpack_dir);
}

// The folder as the system names the handle that made it, every link above it resolved: the
// parent writes below this path, so that a link put in place of a folder above unpack_dir
// after it was made cannot lead a write elsewhere. Wine names no handle whose path passes
// MAX_PATH; such a folder is written below unpack_dir, as the template named it.
static void learn_write_root(HANDLE folder)
{
    const DWORD length = os.GetFinalPathNameByHandleW(folder, write_root, write_path_capacity,
                                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= write_path_capacity) {
        copy_bounded(write_root, unpack_dir, write_path_capacity);
    }
}

// Whoever makes the per-run name first decides where the parent writes the DLLs its child
// loads: so the parent makes the last component itself, and holds it with the very handle that
// made it, or stops, and removes nothing then.
static void create_unpack_dir()
{
    create_parent_directories(unpack_dir);
    HANDLE folder = create_private_folder(unpack_dir);
    if (folder == INVALID_HANDLE_VALUE) {
        refuse_unpack_dir();
    }
    set_unpack_dir_hold(folder);
    unpack_dir_created = true;
    learn_write_root(folder);
    remember_directory(write_root);
}

walk_result walk_archive(walk_role role, const volatile bool* stop_requested)
{
    if (role == walk_as_parent) {
        create_unpack_dir();
        writer_begin(stop_requested);
    }
    while (read_entry_name()) {
        // Before any path is built from it: a hand-made block reaches here unchecked, and the
        // child, which reads only the first name, takes this check too.
        if (check_archive_name(entry_name, wcslen(entry_name)) != archive_name_safe) {
            writer_settle();
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
        if (writing_ended(nullptr, stop_requested)) {
            return walk_stopped;
        }
        build_write_path();
        create_parent_directories(write_path);
        if (!write_entry_file(size, stop_requested)) {
            return walk_stopped;
        }
    }
    // A child that meets the terminator first has nothing to hand off; the stream stays open
    // in the child as it always does.
    if (role == walk_as_parent) {
        writer_settle();
        // A stop that came while the last files were written ends the walk here, as it did
        // when the walk itself made the last write.
        if (writing_ended(nullptr, stop_requested)) {
            return walk_stopped;
        }
        writer_end();
        payload_close();
    }
    return walk_complete;
}

void walk_close_files()
{
    writer_wait_idle();
    if (file_being_filled != nullptr) {
        os.CloseHandle(file_being_filled);
        file_being_filled = nullptr;
    }
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
    // Main thread only; a write path may pass path_capacity, as links above resolve longer.
    static wchar_t directory[write_path_capacity];
    copy_bounded(directory, path, write_path_capacity);
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
