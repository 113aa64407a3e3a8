// The cached unpack folder: a folder named by the block's hash that outlives the run, checked
// against the image's file table at each start and unpacked again only when it differs.
#ifndef VELDRA_LAUNCHER_CACHE_H
#define VELDRA_LAUNCHER_CACHE_H

#include "os/win_calls.h"
#include "payload/file_table.h"

enum {
    // A rename that an open file blocks (a virus scanner reading a fresh file) is tried this many
    // times in all, with this pause between tries: about half a second.
    cache_install_attempts = 10,
    cache_install_pause_milliseconds = 50,
    cache_read_chunk = 1 << 18,
};

// Both roles, before the template is expanded: the image's table, and {PAYLOAD_HASH} from it.
// A table that is missing or damaged ends the run with its line.
void load_cached_mode_table();

// True when `folder` is a folder, no link, of this user, holds every file of `table` with its
// size and contents hash, and nothing else: an entry the table does not list is a mismatch. On
// a match the folder and every file stay held (see cache.cpp) until the next check or the end
// of the process.
bool cached_folder_matches(const wchar_t* folder, const file_table* table);

// Whether the open handle is the folder `folder` itself, as the system names it: a folder, no
// link, and owned by this process's user (or by the owner its token gives what it creates).
// The handle needs FILE_READ_ATTRIBUTES and READ_CONTROL.
bool handle_is_own_plain_folder(HANDLE handle, const wchar_t* folder);
// The same for the folder opened by its path, without following a link in its last component.
bool folder_is_own_plain(const wchar_t* folder);

// Lets go of what the last matching check holds.
void release_cache_holds();

// The parent's road in cached mode, in place of the archive walk: unpack_dir, the expanded
// template, is kept as it is when it matches the table; otherwise the archive is unpacked into a
// private sibling folder that is then renamed into place. Afterwards unpack_dir names the cached
// folder and the run owns nothing that teardown would remove.
void unpack_into_cache();

#endif
