// The unpack folder as the run's own: created exclusively, with a protected access list that
// lets in only the user who runs the launcher, SYSTEM and the Administrators.
#ifndef VELDRA_PATHS_PRIVATE_FOLDER_H
#define VELDRA_PATHS_PRIVATE_FOLDER_H

#include "os/win_calls.h"

#include <cstddef>
#include <cstdint>

enum {
    // \??\UNC\ and a full path of up to the longest the system takes.
    nt_path_capacity = 32768 + 8,
    // Full control for each of the three, inherited by every file and folder below.
    private_folder_ace_count = 3,
    sid_capacity = 68,  // SECURITY_MAX_SID_SIZE
};

// Creates the folder `path` (a full path) itself with the private access list and returns the
// handle that made it, with the hold's access and sharing. INVALID_HANDLE_VALUE, with the
// system's code as the last error, when it cannot be created or already exists (a link
// included). When the user cannot be read from the process token the run ends with a
// system-error line.
HANDLE create_private_folder(const wchar_t* path);
// The user's identifier into `sid`; returns 0, or the system's code when the token will not say.
DWORD read_token_user(unsigned char sid[sid_capacity]);
// The identifier this token makes the owner of what it creates: the user, or for an elevated
// administrator the Administrators group.
DWORD read_token_owner(unsigned char sid[sid_capacity]);
// Whether the token of `process` (opened with the limited query right) is elevated; false when
// the token cannot be read.
bool read_token_elevation(HANDLE process, bool* elevated);
// Whether this process's own token is elevated; a token that cannot be read counts as not.
bool own_token_elevated();
// The length in bytes of an identifier whose revision and count are readable.
size_t sid_length(const unsigned char* sid);

// The one decision between a folder that lives for one run and one that outlives it: only a
// per-run folder is held while the run lasts (a cached folder only while it is unpacked, as a
// private sibling), and only per-run folders are swept at a start.
bool unpack_dir_is_per_run();
// Whether a pack built with `options` keeps its cached folder in this process: not when the
// token is elevated, whatever the pack says.
bool cached_mode_applies(uint32_t options);
// The template this run expands: the pack's, or, for a cached pack that falls back to a per-run
// folder, per_run_fallback_template (the per-run default).
const wchar_t* active_unpack_template();
extern const wchar_t per_run_fallback_template[];
// This process's open handle on the unpack folder, without delete sharing, from right after it
// was made (parent) or found (child) until teardown removes it or the process ends. The system
// closes it however the process dies, which is what tells a sweep a leftover from a live run.
extern HANDLE volatile unpack_dir_hold;
// What the hold may do and lets others do: list and query the folder, but never delete or rename it.
enum : DWORD {
    unpack_dir_hold_access = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
    unpack_dir_hold_share = FILE_SHARE_READ | FILE_SHARE_WRITE,
};
// Opens the hold; false, with the system's code as the last error, when it cannot.
bool hold_unpack_dir(const wchar_t* path);
// Takes `hold`, a handle of the folder with the hold's access and sharing, as the hold.
void set_unpack_dir_hold(HANDLE hold);
// Closes the hold, once, from whichever thread comes first.
void release_unpack_dir_hold();

#endif
