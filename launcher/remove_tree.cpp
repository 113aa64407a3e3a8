// A depth-first walk that deletes as it goes, through handles only: each folder is opened once,
// without following a link, checked on that handle and listed through it, and it stays open
// (without delete sharing, so that it cannot be renamed or replaced) while its entries are
// opened by the name it gave. Two threads may run it at once on the same tree: each only
// deletes, and whatever the other has taken first is simply gone.
#include "launcher/remove_tree.h"

#include "launcher/handle_facts.h"
#include "os/win_calls.h"

#include <cwchar>

enum { listing_buffer_size = 16384 };

// Windows 10 1809 and later; the headers name it only for newer targets.
static const FILE_INFO_BY_HANDLE_CLASS disposition_ex_class = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// The state of one walk, on the stack of the thread that runs it.
struct removal_walk {
    // The path entries are opened by: the root's, then "\" and each listed name.
    wchar_t path[extended_path_capacity];
    // The same entry as the system names an open handle (on its volume, without the drive):
    // the root's own, then "\" and each listed name.
    wchar_t names[extended_path_capacity];
    size_t path_lengths[removal_depth_limit];
    size_t name_lengths[removal_depth_limit];
    HANDLE folders[removal_depth_limit];
    // Real folders that could not be removed, per level: a new listing passes over as many.
    int failed_folders[removal_depth_limit];
    // The name of the handle just opened.
    DWORD opened[(sizeof(DWORD) + extended_path_capacity * sizeof(wchar_t)) / sizeof(DWORD)];
};

static size_t append_text(wchar_t* output, size_t length, size_t capacity, const wchar_t* text)
{
    size_t add = wcslen(text);
    if (length + add + 1 > capacity) {
        return 0;
    }
    wmemcpy(output + length, text, add + 1);
    return length + add;
}

size_t make_extended_path(wchar_t* output, size_t capacity, const wchar_t* path)
{
    if (capacity == 0) {
        return 0;
    }
    output[0] = L'\0';
    if (wcsncmp(path, L"\\\\?\\", 4) == 0 || wcsncmp(path, L"\\\\.\\", 4) == 0) {
        return append_text(output, 0, capacity, path);
    }
    if (wcsncmp(path, L"\\\\", 2) == 0) {
        size_t length = append_text(output, 0, capacity, L"\\\\?\\UNC\\");
        return length ? append_text(output, length, capacity, path + 2) : 0;
    }
    size_t length = append_text(output, 0, capacity, L"\\\\?\\");
    return length ? append_text(output, length, capacity, path) : 0;
}

bool tree_root_still_there(const wchar_t* root)
{
    wchar_t path[extended_path_capacity];
    if (make_extended_path(path, extended_path_capacity, root) == 0) {
        return false;
    }
    DWORD attributes = os.GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The link itself, never what it points to: a link is an entry to delete, not a folder to walk.
static HANDLE open_entry(const wchar_t* path)
{
    return os.CreateFileW(path, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Whether the system names the open handle `expected` (`length` units). The name comes from
// the handle, so it is that of the object actually opened: the target, where a link was
// followed.
static bool handle_is_named(removal_walk* walk, HANDLE handle, const wchar_t* expected, size_t length)
{
    if (!os.GetFileInformationByHandleEx(handle, FileNameInfo, walk->opened, sizeof walk->opened)) {
        return false;
    }
    const FILE_NAME_INFO* name = reinterpret_cast<const FILE_NAME_INFO*>(walk->opened);
    return name->FileNameLength == length * sizeof(wchar_t) && wmemcmp(name->FileName, expected, length) == 0;
}

static bool set_delete_disposition(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return os.SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

static bool set_attributes(HANDLE handle, DWORD attributes)
{
    const DWORD settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = (attributes & settable) != 0 ? (attributes & settable) : FILE_ATTRIBUTE_NORMAL;
    return os.SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

// Deletes the entry the handle holds when it is closed. Read-only entries are ours and go all
// the same, but the attribute belongs to the file, not to the name: a file with other names
// keeps it. Where the system cannot ignore the attribute it is cleared for the deletion and
// put back for the names that stay.
static bool delete_on_close(HANDLE handle, const handle_facts* facts)
{
    FILE_DISPOSITION_INFO_EX disposition = {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
    if (os.SetFileInformationByHandle(handle, disposition_ex_class, &disposition, sizeof disposition)) {
        return true;
    }
    if ((facts->attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return set_delete_disposition(handle);
    }
    if (!set_attributes(handle, facts->attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
        return false;
    }
    bool deleted = set_delete_disposition(handle);
    if (!deleted || facts->links > 1) {
        set_attributes(handle, facts->attributes);
    }
    return deleted;
}

enum entry_kind { entry_left, entry_deleted, entry_folder };

// What the opened handle is, by its own attributes. `listed` are the attributes the folder's
// listing gave. A handle that is a link is the link itself and is deleted. A name that was
// listed as a link but opens as something else was followed (Wine follows links on every
// open), and a handle the system names otherwise than the entry is some other object (Wine
// does not show a link to a file in the listing at all): through either, a deletion would
// reach outside, so the entry is left.
static entry_kind handle_entry(removal_walk* walk, HANDLE handle, DWORD listed, size_t name_length)
{
    handle_facts facts;
    if (!read_handle_facts(handle, &facts)) {
        return entry_left;
    }
    if (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return delete_on_close(handle, &facts) ? entry_deleted : entry_left;
    }
    if ((listed & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !handle_is_named(walk, handle, walk->names, name_length)) {
        return entry_left;
    }
    if (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return entry_folder;
    }
    return delete_on_close(handle, &facts) ? entry_deleted : entry_left;
}

static bool is_dot_entry(const FILE_ID_BOTH_DIR_INFO* entry)
{
    return (entry->FileNameLength == 2 && entry->FileName[0] == L'.') ||
           (entry->FileNameLength == 4 && entry->FileName[0] == L'.' && entry->FileName[1] == L'.');
}

// Appends "\" and the entry's name to both the path and the name at `depth`; returns the new
// length of the name, or 0 when either does not fit.
static size_t name_entry(removal_walk* walk, int depth, const FILE_ID_BOTH_DIR_INFO* entry)
{
    const size_t name_length = entry->FileNameLength / sizeof(wchar_t);
    const size_t path_at = walk->path_lengths[depth];
    const size_t names_at = walk->name_lengths[depth];
    if (path_at + 1 + name_length + 1 > extended_path_capacity ||
        names_at + 1 + name_length + 1 > extended_path_capacity) {
        return 0;
    }
    walk->path[path_at] = L'\\';
    wmemcpy(walk->path + path_at + 1, entry->FileName, name_length);
    walk->path[path_at + 1 + name_length] = L'\0';
    walk->names[names_at] = L'\\';
    wmemcpy(walk->names + names_at + 1, entry->FileName, name_length);
    walk->names[names_at + 1 + name_length] = L'\0';
    return names_at + 1 + name_length;
}

static void cut_to_level(removal_walk* walk, int depth)
{
    walk->path[walk->path_lengths[depth]] = L'\0';
    walk->names[walk->name_lengths[depth]] = L'\0';
}

// One pass over the folder at `depth`: deletes every file and link it can and returns the
// handle of the first real folder past those that failed before, or nullptr at the end.
// The pass stops there, so one listing buffer serves every level; a new pass restarts the
// listing, where what is gone no longer appears.
static HANDLE next_folder_to_walk(removal_walk* walk, int depth, unsigned char* listing)
{
    int folders_passed = 0;
    FILE_INFO_BY_HANDLE_CLASS query = FileIdBothDirectoryRestartInfo;
    while (os.GetFileInformationByHandleEx(walk->folders[depth], query, listing, listing_buffer_size)) {
        query = FileIdBothDirectoryInfo;
        for (size_t at = 0;;) {
            const FILE_ID_BOTH_DIR_INFO* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listing + at);
            const size_t name_length = is_dot_entry(entry) ? 0 : name_entry(walk, depth, entry);
            HANDLE child = name_length != 0 ? open_entry(walk->path) : INVALID_HANDLE_VALUE;
            if (child != INVALID_HANDLE_VALUE) {
                entry_kind kind = handle_entry(walk, child, entry->FileAttributes, name_length);
                if (kind == entry_folder && depth + 1 < removal_depth_limit &&
                    folders_passed++ >= walk->failed_folders[depth]) {
                    return child;
                }
                // Too deep to walk: removed when it is empty, left otherwise.
                if (kind == entry_folder && depth + 1 >= removal_depth_limit) {
                    set_delete_disposition(child);
                }
                os.CloseHandle(child);
            }
            cut_to_level(walk, depth);
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
    return nullptr;
}

static bool adopt_root(removal_walk* walk, HANDLE handle, DWORD by_name);

// The root as the walk's first folder, or false when it is no real folder of its own: a root
// that is a link is deleted as the link, and nothing under it is touched.
static bool open_root(removal_walk* walk, const wchar_t* root)
{
    if (make_extended_path(walk->path, extended_path_capacity, root) == 0) {
        return false;
    }
    // Asked by name as well: Wine opens what a link points to even when asked not to, and only
    // a query by name shows it the link.
    const DWORD by_name = os.GetFileAttributesW(walk->path);
    HANDLE handle = open_entry(walk->path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    return adopt_root(walk, handle, by_name);
}

// The root's handle, opened by the caller, becomes the walk's first folder once it is checked;
// otherwise it is closed, and deleted first when it is a link itself.
static bool adopt_root(removal_walk* walk, HANDLE handle, DWORD by_name)
{
    handle_facts facts;
    const bool have_info = read_handle_facts(handle, &facts);
    const bool is_folder = have_info && by_name != INVALID_FILE_ATTRIBUTES &&
                           (by_name & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                           (facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                               FILE_ATTRIBUTE_DIRECTORY &&
                           os.GetFileInformationByHandleEx(handle, FileNameInfo, walk->opened, sizeof walk->opened);
    if (!is_folder) {
        // Only a handle that is the link itself is deleted; anything else at the root is left.
        if (have_info && (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            delete_on_close(handle, &facts);
        }
        os.CloseHandle(handle);
        return false;
    }
    // Entries are compared with the name the system gives the root's own handle.
    const FILE_NAME_INFO* name = reinterpret_cast<const FILE_NAME_INFO*>(walk->opened);
    const size_t name_length = name->FileNameLength / sizeof(wchar_t);
    if (name_length + 1 > extended_path_capacity) {
        os.CloseHandle(handle);
        return false;
    }
    wmemcpy(walk->names, name->FileName, name_length);
    walk->names[name_length] = L'\0';
    walk->folders[0] = handle;
    walk->path_lengths[0] = wcslen(walk->path);
    walk->name_lengths[0] = name_length;
    walk->failed_folders[0] = 0;
    return true;
}

static void walk_and_remove(removal_walk* walk_state, unsigned char* listing);

void remove_tree_once(const wchar_t* root)
{
    removal_walk walk;
    alignas(8) unsigned char listing[listing_buffer_size];
    if (!open_root(&walk, root)) {
        return;
    }
    walk_and_remove(&walk, listing);
}

void remove_tree_through_handle(const wchar_t* root, HANDLE handle)
{
    removal_walk walk;
    alignas(8) unsigned char listing[listing_buffer_size];
    if (make_extended_path(walk.path, extended_path_capacity, root) == 0) {
        os.CloseHandle(handle);
        return;
    }
    if (!adopt_root(&walk, handle, os.GetFileAttributesW(walk.path))) {
        return;
    }
    walk_and_remove(&walk, listing);
}

// Depth first from the root adopted in `walk_state`; every handle it opens it closes.
static void walk_and_remove(removal_walk* walk_state, unsigned char* listing)
{
    removal_walk& walk = *walk_state;
    int depth = 0;
    for (;;) {
        HANDLE child = next_folder_to_walk(&walk, depth, listing);
        if (child != nullptr) {
            ++depth;
            walk.folders[depth] = child;
            walk.path_lengths[depth] = wcslen(walk.path);
            walk.name_lengths[depth] = wcslen(walk.names);
            walk.failed_folders[depth] = 0;
            continue;
        }
        // Listed out: the folder goes if it is empty.
        bool removed = set_delete_disposition(walk.folders[depth]);
        os.CloseHandle(walk.folders[depth]);
        if (depth == 0) {
            return;
        }
        cut_to_level(&walk, --depth);
        if (!removed) {
            ++walk.failed_folders[depth];
        }
    }
}
