// Removal of the unpack directory with everything in it, by walking the tree itself: the
// shell's removal cannot handle paths of 260 characters or more, and under Wine it then
// deletes files of the current directory instead.
#ifndef VELDRA_LAUNCHER_REMOVE_TREE_H
#define VELDRA_LAUNCHER_REMOVE_TREE_H

#include "os/win_calls.h"

#include <cstddef>

enum {
    extended_path_capacity = 32768,
    // Deeper folders are removed when they are empty and left otherwise; this keeps the walk
    // within a fixed few kilobytes of stack on whichever thread runs it.
    removal_depth_limit = 1024,
};

// Writes `path`, a full path, in the \\?\ form that lifts the 260-character limit:
// C:\x gives \\?\C:\x and \\srv\share\x gives \\?\UNC\srv\share\x; a path already in that
// form is kept. Returns the length, or 0 when the result would not fit `capacity`.
size_t make_extended_path(wchar_t* output, size_t capacity, const wchar_t* path);

// One attempt: deletes every file and folder below `root` and then `root` itself. A link is
// deleted as the link, never followed; a root that is a link goes as the link alone. What
// cannot be deleted, or not without reaching outside the tree, stays; nothing is reported.
void remove_tree_once(const wchar_t* root);
// The same, through `handle`, the root already opened by the caller with at least the access
// the walk asks for (DELETE, listing, attributes); the walk takes it over and closes it. The
// root is checked on it as on a root the walk opens itself.
void remove_tree_through_handle(const wchar_t* root, HANDLE handle);
// True while `root`, asked for in the \\?\ form the walk uses, is a folder and no link.
bool tree_root_still_there(const wchar_t* root);

#endif
