// A depth-first walk that deletes as it goes. It keeps one path buffer and one search handle
// per level on the stack, so two threads may run it at once on the same tree: each only
// deletes, and whatever the other has taken first is simply gone.
#include "launcher/remove_tree.h"

#include "os/win_calls.h"

#include <cwchar>

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

static bool is_dot_entry(const wchar_t* name)
{
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

// A real folder to descend into; a link to a folder is removed as the link itself.
static bool is_folder_to_walk(const WIN32_FIND_DATAW* found)
{
    return (found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

static HANDLE open_listing(wchar_t* path, size_t length, WIN32_FIND_DATAW* found)
{
    if (append_text(path, length, extended_path_capacity, L"\\*") == 0) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE search = os.FindFirstFileW(path, found);
    path[length] = L'\0';
    return search;
}

// Files marked read-only are deleted all the same: they are ours, unpacked for this run.
static void remove_entry(const wchar_t* path, const WIN32_FIND_DATAW* found)
{
    if (found->dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        os.SetFileAttributesW(path, found->dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        os.RemoveDirectoryW(path);
    } else {
        os.DeleteFileW(path);
    }
}

void remove_tree_once(const wchar_t* root)
{
    wchar_t path[extended_path_capacity];
    HANDLE searches[removal_depth_limit];
    size_t lengths[removal_depth_limit];
    WIN32_FIND_DATAW found;
    size_t length = make_extended_path(path, extended_path_capacity, root);
    if (length == 0) {
        return;
    }
    int depth = 0;
    lengths[0] = length;
    searches[0] = open_listing(path, length, &found);
    bool have_entry = searches[0] != INVALID_HANDLE_VALUE;
    for (;;) {
        if (!have_entry) {
            // This folder is listed out: remove it and go on with its parent's listing.
            if (searches[depth] != INVALID_HANDLE_VALUE) {
                os.FindClose(searches[depth]);
            }
            path[lengths[depth]] = L'\0';
            os.RemoveDirectoryW(path);
            if (depth == 0) {
                return;
            }
            --depth;
            path[lengths[depth]] = L'\0';
            have_entry = os.FindNextFileW(searches[depth], &found) != FALSE;
            continue;
        }
        if (!is_dot_entry(found.cFileName)) {
            size_t child = append_text(path, lengths[depth], extended_path_capacity, L"\\");
            child = child ? append_text(path, child, extended_path_capacity, found.cFileName) : 0;
            if (child != 0 && is_folder_to_walk(&found) && depth + 1 < removal_depth_limit) {
                lengths[++depth] = child;
                searches[depth] = open_listing(path, child, &found);
                have_entry = searches[depth] != INVALID_HANDLE_VALUE;
                continue;
            }
            if (child != 0) {
                remove_entry(path, &found);
            }
            path[lengths[depth]] = L'\0';
        }
        have_entry = os.FindNextFileW(searches[depth], &found) != FALSE;
    }
}
