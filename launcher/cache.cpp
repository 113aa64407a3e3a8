// The cached unpack folder. The check at a start guards against a modified or missing file, not
// against a race in a folder its user controls: that is why the packer allows this mode only
// for executables that ask for no elevation.
#include "launcher/cache.h"

#include "build/constants.h"
#include "launcher/fatal.h"
#include "launcher/handle_facts.h"
#include "launcher/remove_tree.h"
#include "launcher/run_state.h"
#include "launcher/sweep.h"
#include "launcher/teardown.h"
#include "os/win_calls.h"
#include "paths/bounded.h"
#include "paths/private_folder.h"
#include "paths/run_identity.h"
#include "paths/template.h"
#include "payload/extract.h"
#include "payload/stream.h"
#include "payload/walk_buffers.h"

#include <cwchar>

// xxHash of Debian's zstd source tree, compiled into this file alone.
#define XXH_INLINE_ALL
#include "xxhash.h"

static file_table own_table;
static wchar_t cache_folder[path_capacity];
static wchar_t cache_aside[path_capacity];
static wchar_t cache_file_path[extended_path_capacity];
// The folder that holds the cached folder, opened to learn the name the system gives it.
static wchar_t cache_parent_path[extended_path_capacity];
static file_table_entry cache_entry;
// The folder as the system names its open handle, then "\" and an entry's name: what the handle
// of that entry must be named, unless a link somewhere on the way led elsewhere.
static wchar_t cache_expected_name[extended_path_capacity];
static size_t cache_expected_length;
static DWORD cache_opened_name[(sizeof(DWORD) + extended_path_capacity * sizeof(wchar_t)) / sizeof(DWORD)];
static unsigned char cache_read_buffer[cache_read_chunk];
// What a start that found the folder good holds until the process ends: every checked file, open
// for reading with read sharing alone, and the folder without delete sharing. Nobody can then
// replace, rename or delete a file the child loads, nor the folder, while the application runs.
static HANDLE* cache_held_files;
static uint32_t cache_held_count;
static HANDLE cache_held_folder;
static wchar_t cache_walk_path[extended_path_capacity];
static WIN32_FIND_DATAW cache_found;

static void set_payload_hash_text(uint64_t hash)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    for (int i = 0; i < payload_hash_digits; ++i) {
        payload_hash_text[i] = digits[(hash >> (4 * (payload_hash_digits - 1 - i))) & 0xF];
    }
    payload_hash_text[payload_hash_digits] = L'\0';
}

void load_cached_mode_table()
{
    if (!load_own_file_table(&own_table)) {
        fatal_error(error_file_table_damaged);
    }
    set_payload_hash_text(own_table.payload_hash);
}

// Reads the whole file through its handle; false when it ends early or a read fails.
static bool contents_hash(HANDLE file, uint64_t size, uint64_t* hash)
{
    XXH64_state_t state;
    XXH64_reset(&state, 0);
    for (uint64_t left = size; left != 0;) {
        const DWORD chunk = left > cache_read_chunk ? static_cast<DWORD>(cache_read_chunk) : static_cast<DWORD>(left);
        DWORD read = 0;
        if (!os.ReadFile(file, cache_read_buffer, chunk, &read, nullptr) || read == 0) {
            return false;
        }
        XXH64_update(&state, cache_read_buffer, read);
        left -= read;
    }
    *hash = XXH64_digest(&state);
    return true;
}

// The system's name of the open handle (no volume), into cache_opened_name; 0 when it will not say.
static size_t opened_name_length(HANDLE handle)
{
    if (!os.GetFileInformationByHandleEx(handle, FileNameInfo, cache_opened_name, sizeof cache_opened_name)) {
        return 0;
    }
    const FILE_NAME_INFO* opened = reinterpret_cast<const FILE_NAME_INFO*>(cache_opened_name);
    const size_t length = opened->FileNameLength / sizeof(wchar_t);
    return length < extended_path_capacity ? length : 0;
}

// Whether the handle is the entry itself: one reached through a link, which Wine follows even
// when asked not to, is named by the link's target instead.
static bool handle_is_entry(HANDLE file, const wchar_t* name)
{
    const size_t name_length = wcslen(name);
    if (extended_path_capacity - cache_expected_length < name_length + 1) {
        return false;
    }
    wmemcpy(cache_expected_name + cache_expected_length, name, name_length);
    const size_t length = opened_name_length(file);
    const FILE_NAME_INFO* opened = reinterpret_cast<const FILE_NAME_INFO*>(cache_opened_name);
    return length == cache_expected_length + name_length &&
           wmemcmp(opened->FileName, cache_expected_name, length) == 0;
}

void release_cache_holds()
{
    for (uint32_t i = 0; i < cache_held_count; ++i) {
        os.CloseHandle(cache_held_files[i]);
    }
    cache_held_count = 0;
    if (cache_held_folder != nullptr) {
        os.CloseHandle(cache_held_folder);
        cache_held_folder = nullptr;
    }
}

// Room for a hold on each of the table's files; false when there is no memory for it.
static bool ready_file_holds(const file_table* table)
{
    release_cache_holds();
    if (cache_held_files == nullptr && table->count != 0) {
        cache_held_files = static_cast<HANDLE*>(os.malloc(table->count * sizeof(HANDLE)));
    }
    return cache_held_files != nullptr || table->count == 0;
}

// Opened without following a link in its last component and with read sharing alone, so that the
// contents cannot change while they are hashed, nor afterwards while the handle is held. A link,
// a folder or anything that is no plain file of the table's size and hash is a mismatch.
static bool file_matches(const wchar_t* path, const file_table_entry* entry)
{
    HANDLE file = os.CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    handle_facts facts;
    bool same = handle_is_entry(file, entry->name) && read_handle_facts(file, &facts) &&
                (facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                facts.size == entry->size;
    uint64_t hash = 0;
    same = same && contents_hash(file, entry->size, &hash) && hash == entry->hash;
    if (!same) {
        os.CloseHandle(file);
        return false;
    }
    cache_held_files[cache_held_count++] = file;
    return true;
}

static wchar_t ascii_upper(wchar_t c)
{
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// What the system must name the folder's own handle: the name of the folder that holds it, as
// the system gives it for an open handle, then "\" and the folder's last component. Its length
// in cache_expected_name, or 0. Wine follows a link even when asked not to, so a handle that a
// link led elsewhere shows by its name; the components above are named the same way for both.
static size_t expected_folder_name(const wchar_t* folder)
{
    const wchar_t* last = wcsrchr(folder, L'\\');
    if (last == nullptr || make_extended_path(cache_parent_path, extended_path_capacity, folder) == 0) {
        return 0;
    }
    wchar_t* cut = wcsrchr(cache_parent_path, L'\\');
    // A folder at a drive's root keeps the root's backslash.
    cut[cut[-1] == L':' ? 1 : 0] = L'\0';
    HANDLE parent = os.CreateFileW(cache_parent_path, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (parent == INVALID_HANDLE_VALUE) {
        return 0;
    }
    size_t length = opened_name_length(parent);
    os.CloseHandle(parent);
    const size_t last_length = wcslen(last);
    if (length == 0 || length + last_length + 1 >= extended_path_capacity) {
        return 0;
    }
    const FILE_NAME_INFO* opened = reinterpret_cast<const FILE_NAME_INFO*>(cache_opened_name);
    wmemcpy(cache_expected_name, opened->FileName, length);
    // The root's own name ends in its backslash; the component brings its own.
    if (cache_expected_name[length - 1] == L'\\') {
        --length;
    }
    wmemcpy(cache_expected_name + length, last, last_length);
    return length + last_length;
}

// Whether the open handle is the folder itself and no folder a link led to; ASCII letters
// compare in either case, as a path may come in another case than the disk keeps.
static bool handle_is_folder(HANDLE handle, const wchar_t* folder)
{
    const size_t expected = expected_folder_name(folder);
    const size_t length = expected != 0 ? opened_name_length(handle) : 0;
    if (length != expected || length == 0) {
        return false;
    }
    const FILE_NAME_INFO* opened = reinterpret_cast<const FILE_NAME_INFO*>(cache_opened_name);
    for (size_t i = 0; i < length; ++i) {
        if (ascii_upper(opened->FileName[i]) != ascii_upper(cache_expected_name[i])) {
            return false;
        }
    }
    return true;
}

bool handle_is_own_plain_folder(HANDLE handle, const wchar_t* folder)
{
    handle_facts facts;
    const bool plain = read_handle_facts(handle, &facts) && (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                       (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    // Another user's folder of that name is not this user's, whatever it holds.
    return plain && handle_is_folder(handle, folder) && folder_owned_by_us(handle);
}

static HANDLE open_folder_itself(const wchar_t* extended)
{
    return os.CreateFileW(extended, FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool folder_is_own_plain(const wchar_t* folder)
{
    if (make_extended_path(cache_file_path, extended_path_capacity, folder) == 0) {
        return false;
    }
    HANDLE handle = open_folder_itself(cache_file_path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool own = handle_is_own_plain_folder(handle, folder);
    os.CloseHandle(handle);
    return own;
}

// `extended` is the folder's path in its extended form. The handle stays open without delete
// sharing as the folder's hold when the folder is one; another start's check opens it all the
// same, a rename or removal does not.
static bool is_plain_folder(const wchar_t* extended, const wchar_t* folder)
{
    HANDLE handle = os.CreateFileW(extended, unpack_dir_hold_access, unpack_dir_hold_share, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Entries are then expected under the name the system gave the folder's handle.
    cache_expected_length = 0;
    if (handle_is_own_plain_folder(handle, folder)) {
        const FILE_NAME_INFO* opened = reinterpret_cast<const FILE_NAME_INFO*>(cache_opened_name);
        cache_expected_length = opened->FileNameLength / sizeof(wchar_t);
        wmemcpy(cache_expected_name, opened->FileName, cache_expected_length);
        cache_expected_name[cache_expected_length++] = L'\\';
        cache_held_folder = handle;
        return true;
    }
    os.CloseHandle(handle);
    return false;
}

// Counts into *files every entry below the folder whose extended path fills cache_walk_path up to
// `length`: files, and links of either kind, which are never followed. False when the folder
// cannot be listed, or a folder below it holds no file at all, which no table lists.
static bool count_entries(size_t length, uint32_t* files)
{
    if (extended_path_capacity - length < 3) {
        return false;
    }
    wmemcpy(cache_walk_path + length, L"\\*", 3);
    HANDLE listing = os.FindFirstFileExW(cache_walk_path, FindExInfoBasic, &cache_found, FindExSearchNameMatch, nullptr,
                                         FIND_FIRST_EX_LARGE_FETCH);
    if (listing == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool listed = true;
    do {
        const wchar_t* name = cache_found.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) {
            continue;
        }
        const DWORD kind = cache_found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        if (kind != FILE_ATTRIBUTE_DIRECTORY) {
            ++*files;
            continue;
        }
        const size_t name_length = wcslen(name);
        if (extended_path_capacity - length < name_length + 5) {
            listed = false;
            break;
        }
        cache_walk_path[length] = L'\\';
        wmemcpy(cache_walk_path + length + 1, name, name_length + 1);
        // The nested listing reuses cache_found; this level has read all it needs of it.
        uint32_t below = 0;
        listed = count_entries(length + 1 + name_length, &below) && below != 0;
        *files += below;
    } while (listed && os.FindNextFileW(listing, &cache_found));
    os.FindClose(listing);
    return listed;
}

// Every file of the table matched, so the folder holds an unlisted entry exactly when it holds
// more files than the table, or a folder without any file.
static bool holds_only_listed(const wchar_t* extended_folder, const file_table* table)
{
    const size_t length = wcslen(extended_folder);
    if (length >= extended_path_capacity) {
        return false;
    }
    wmemcpy(cache_walk_path, extended_folder, length + 1);
    uint32_t files = 0;
    return count_entries(length, &files) && files == table->count;
}

static bool listed_files_match(const file_table* table)
{
    const size_t length = wcslen(cache_file_path);
    uint32_t offset = file_table_header_size;
    while (next_file_table_entry(table, &offset, &cache_entry)) {
        const size_t name_length = wcslen(cache_entry.name);
        if (extended_path_capacity - length < name_length + 2) {
            return false;
        }
        cache_file_path[length] = L'\\';
        wmemcpy(cache_file_path + length + 1, cache_entry.name, name_length + 1);
        if (!file_matches(cache_file_path, &cache_entry)) {
            return false;
        }
    }
    cache_file_path[length] = L'\0';
    return true;
}

bool cached_folder_matches(const wchar_t* folder, const file_table* table)
{
    const bool matches = ready_file_holds(table) && make_extended_path(cache_file_path, extended_path_capacity, folder) != 0 &&
                         is_plain_folder(cache_file_path, folder) && listed_files_match(table) &&
                         holds_only_listed(cache_file_path, table);
    if (!matches) {
        release_cache_holds();
    }
    return matches;
}

// "<folder>.<11 random characters>": beside the folder, so that a rename never crosses volumes.
static void name_sibling(wchar_t* sibling, const wchar_t* folder)
{
    copy_bounded(sibling, folder, path_capacity);
    append_bounded(sibling, L".", path_capacity);
    append_random(sibling, path_capacity);
}

// The sibling this run unpacked, gone the way teardown removes a per-run folder.
static void discard_sibling()
{
    release_unpack_dir_hold();
    remove_tree_once(unpack_dir);
    for (int retry = 0; retry < removal_retries && tree_root_still_there(unpack_dir); ++retry) {
        os.Sleep(removal_pause_milliseconds);
        remove_tree_once(unpack_dir);
    }
}

// From here on unpack_dir names the cached folder, which no ending of the run removes. The flag
// falls first, so that a console stop in between never takes the cached folder for its own.
static void adopt_cache_folder()
{
    unpack_dir_created = false;
    MemoryBarrier();
    copy_bounded(unpack_dir, cache_folder, path_capacity);
}

// Only what is in the way itself may be renamed: Wine renames the folder a link leads to when
// asked to rename the link. Windows opens a link itself and shows it by its attribute; a folder
// must be named as the cache's folder.
static bool stale_folder_is_itself()
{
    if (make_extended_path(cache_file_path, extended_path_capacity, cache_folder) == 0) {
        return false;
    }
    HANDLE handle = os.CreateFileW(cache_file_path, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    handle_facts facts;
    const bool itself = read_handle_facts(handle, &facts) &&
                        ((facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                         handle_is_folder(handle, cache_folder));
    os.CloseHandle(handle);
    return itself;
}

// A folder in the way that does not match is renamed aside and removed with the safe walk; what
// of it is still open elsewhere stays there, under its aside name. The run's random text is the
// same at every call, so the aside name has a suffix of its own to differ from the sibling.
static void move_stale_folder_aside()
{
    if (!stale_folder_is_itself()) {
        return;
    }
    name_sibling(cache_aside, cache_folder);
    append_bounded(cache_aside, L".stale", path_capacity);
    if (os.MoveFileExW(cache_folder, cache_aside, 0)) {
        remove_tree_once(cache_aside);
    }
}

// Whether what now stands at the cache's path is the very folder that was the sibling: the same
// volume and file index, asked of a handle that follows no link.
static bool cache_folder_is(const BY_HANDLE_FILE_INFORMATION* sibling)
{
    if (make_extended_path(cache_file_path, extended_path_capacity, cache_folder) == 0) {
        return false;
    }
    HANDLE handle = open_folder_itself(cache_file_path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION placed = {};
    const bool same = os.GetFileInformationByHandle(handle, &placed) &&
                      placed.dwVolumeSerialNumber == sibling->dwVolumeSerialNumber &&
                      placed.nFileIndexHigh == sibling->nFileIndexHigh && placed.nFileIndexLow == sibling->nFileIndexLow;
    os.CloseHandle(handle);
    return same;
}

static bool install_sibling()
{
    // Asked while the sibling is still held, so that it is the folder this run unpacked.
    BY_HANDLE_FILE_INFORMATION sibling = {};
    const bool known = unpack_dir_hold != nullptr && os.GetFileInformationByHandle(unpack_dir_hold, &sibling);
    for (int attempt = 0; attempt < cache_install_attempts; ++attempt) {
        if (attempt > 0) {
            os.Sleep(cache_install_pause_milliseconds);
        }
        release_unpack_dir_hold();
        if (os.MoveFileExW(unpack_dir, cache_folder, 0)) {
            return known && cache_folder_is(&sibling);
        }
        const DWORD error = os.GetLastError();
        // The system names a folder in the way as access denied as often as already there.
        if (os.GetFileAttributesW(cache_folder) != INVALID_FILE_ATTRIBUTES) {
            // Another first start won the race, or an earlier folder is in the way.
            if (cached_folder_matches(cache_folder, &own_table)) {
                discard_sibling();
                return true;
            }
            move_stale_folder_aside();
        } else if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) {
            return false;
        }
    }
    return false;
}

// A name with a brace would read as a variable in the sweep's shape.
static bool holds_brace(const wchar_t* text)
{
    for (; *text != L'\0'; ++text) {
        if (*text == L'{' || *text == L'}') {
            return true;
        }
    }
    return false;
}

// What first starts that were killed left beside the folder, "<name>.<random>", and stale folders
// whose removal an open file stopped, "<name>.<random>.stale": removed with the start-up sweep's
// checks (a folder, no link, this user's, and one that opens with no sharing at all, which the
// held sibling of a first start still unpacking does not). Only a start that found the folder
// good sweeps, so that two first starts never take each other's sibling for a leftover.
static void sweep_cache_leftovers()
{
    static wchar_t shape[path_capacity];
    const wchar_t* name = wcsrchr(cache_folder, L'\\');
    if ((build_options & build_option_no_sweep) != 0 || name == nullptr || holds_brace(name)) {
        return;
    }
    static const wchar_t* const suffixes[] = {L"", L".stale"};
    for (const wchar_t* suffix : suffixes) {
        copy_bounded(shape, name + 1, path_capacity);
        append_bounded(shape, L".{RANDOM}", path_capacity);
        append_bounded(shape, suffix, path_capacity);
        name_sibling(cache_aside, cache_folder);
        append_bounded(cache_aside, suffix, path_capacity);
        sweep_folders_beside(cache_aside, shape);
    }
}

void unpack_into_cache()
{
    copy_bounded(cache_folder, unpack_dir, path_capacity);
    create_parent_directories(cache_folder);
    if (cached_folder_matches(cache_folder, &own_table)) {
        sweep_cache_leftovers();
        return;
    }
    name_sibling(unpack_dir, cache_folder);
    payload_open();
    unpack_started = true;
    if (walk_archive(walk_as_parent, &console_stop_requested) == walk_stopped) {
        halt_after_console_stop();
    }
    if (!install_sibling()) {
        discard_sibling();
        unpack_dir_created = false;
        fatal_path_error(error_cache_folder_in_place, cache_folder);
    }
    adopt_cache_folder();
    // Checked once more, to hold what the child loads, whoever's unpack it is.
    if (!cached_folder_matches(cache_folder, &own_table)) {
        fatal_path_error(error_cache_folder_in_place, cache_folder);
    }
}
