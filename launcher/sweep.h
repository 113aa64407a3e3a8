// The start-up sweep: folders that earlier runs of this launcher left in the parent folder of
// the unpack folder, because their parent was killed outright, are removed by the next start.
#ifndef VELDRA_LAUNCHER_SWEEP_H
#define VELDRA_LAUNCHER_SWEEP_H

#include "os/win_calls.h"

enum {
    // Bounds of one start's sweep; what is left past them waits for a later start. One folder
    // whose removal has begun is finished, so a start can run over the budget by one folder.
    sweep_entry_limit = 4096,
    sweep_removal_limit = 128,
    sweep_budget_milliseconds = 500,
};

// Parent only, after unpack_dir is expanded and before the folder is made, so that this run's
// own folder can never be among those swept. Silent, and never ends the run.
void sweep_leftover_folders();

// The sweep itself: removes, in the folder that holds `own_folder` (a full path), each folder
// whose name has the shape of the template's last component, is no link, belongs to this
// process's user and is held by no live run, and is not named as `own_folder` itself. Returns
// the number of folders it removed.
int sweep_folders_beside(const wchar_t* own_folder, const wchar_t* template_text);

// True when the folder, opened with READ_CONTROL, belongs to this process's user or to the owner
// its token gives what it creates; false when that cannot be read.
bool folder_owned_by_us(HANDLE folder);

#endif
