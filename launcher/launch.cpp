// The road of one run. Both roles take it; everything that differs is decided by is_child.
#include "launcher/launch.h"

#include "build/constants.h"
#include "launcher/cache.h"
#include "launcher/child.h"
#include "launcher/fatal.h"
#include "launcher/handoff.h"
#include "launcher/role.h"
#include "launcher/run_state.h"
#include "launcher/sweep.h"
#include "launcher/teardown.h"
#include "os/win_calls.h"
#include "paths/bounded.h"
#include "paths/private_folder.h"
#include "paths/template.h"
#include "payload/extract.h"
#include "payload/stream.h"

void normalize_unpack_dir()
{
    // Only an expansion that failed at its first value leaves nothing; the caller reports the
    // template for it, which the system's refusal of an empty path would cut short.
    if (unpack_dir[0] == L'\0') {
        return;
    }
    wchar_t full[path_capacity];
    DWORD length = os.GetFullPathNameW(unpack_dir, path_capacity, full, nullptr);
    if (length == 0 || length >= path_capacity) {
        fail_fast();
    }
    copy_bounded(unpack_dir, full, path_capacity);
}

// "X:\" or "\\": a drive's root or a share (or a device path). A relative folder would be
// found below whatever the current folder is, in parent and child alike.
static bool is_full_path(const wchar_t* path)
{
    const wchar_t letter = static_cast<wchar_t>(path[0] | 0x20);
    const bool drive_root =
        letter >= L'a' && letter <= L'z' && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    const bool share = (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/');
    return drive_root || share;
}

static void expand_unpack_dir()
{
    bool expanded = expand_template(unpack_dir, active_unpack_template(), path_capacity) && is_full_path(unpack_dir);
    // Runs before the flag is looked at: a text it cannot make absolute ends the run here.
    normalize_unpack_dir();
    if (!expanded) {
        fatal_template_error(active_unpack_template());
    }
}

// The child loads its main module from the folder it computed: that must be the folder a parent
// made, a real folder of this user, not a link or a folder someone else put there. The per-run
// folder is checked through the child's own hold, which lasts as long as the application runs,
// should the parent be killed; the cached one through a handle of its own, the parent holding it.
static bool child_folder_is_parents()
{
    if (!unpack_dir_is_per_run()) {
        return folder_is_own_plain(unpack_dir);
    }
    if (hold_unpack_dir(unpack_dir) && handle_is_own_plain_folder(unpack_dir_hold, unpack_dir)) {
        return true;
    }
    release_unpack_dir_hold();
    return false;
}

static void guard_with_console_handler()
{
    if (!os.SetConsoleCtrlHandler(console_control_handler, TRUE)) {
        fatal_error(error_register_handler);
    }
}

int run_launcher(int argc, wchar_t** argv)
{
    set_program_arguments(argc, argv);

    os.SetDllDirectoryW(L"");
    // Whatever the launcher loads itself comes from the system folder; the child widens this to
    // the unpack folder in the hand-off.
    os.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    decide_role();
    if (!unpack_dir_is_per_run()) {
        // Both roles: the cached folder's name holds the block's hash, which the table carries.
        load_cached_mode_table();
    }
    if (is_child) {
        expand_unpack_dir();
        is_child = child_folder_is_parents();
    }
    if (!is_child) {
        // As early as the parent can: the hold covers everything up to the child's creation.
        hold_own_executable();
        prepare_parent_environment();
        expand_unpack_dir();
        // Before this run's folder exists, so that it can never be among those swept.
        sweep_leftover_folders();
        guard_with_console_handler();
    }
    if (!is_child && !unpack_dir_is_per_run()) {
        unpack_into_cache();
    } else {
        payload_open();
        unpack_started = true;
        if (walk_archive(is_child ? walk_as_child : walk_as_parent, &console_stop_requested) == walk_stopped) {
            halt_after_console_stop();
        }
    }
    // A child never goes past this point, so it can never start children of its own: an
    // archive without a main module ends it in the hand-off with a message of its own.
    if (is_child) {
        return hand_off_to_main_module(argc, argv);
    }
    set_application_variables(argv[0]);
    launch_child_and_wait();
    // The application has ended: what it loaded from a cached folder need not be held any longer.
    release_cache_holds();
    teardown();
    return static_cast<int>(child_exit_code);
}
