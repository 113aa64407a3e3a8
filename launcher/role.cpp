// Role decision: every failing step means "parent"; nothing here prints or stops the run.
#include "launcher/role.h"

#include "launcher/run_state.h"
#include "os/runtime.h"
#include "os/win_calls.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/private_folder.h"
#include "paths/run_identity.h"
#include "paths/self_path.h"

#include <cwchar>

enum { parent_image_capacity = 2048, pid_text_capacity = 128 };

// Kept for the rest of the run, as every environment copy is.
static wchar_t* parent_variable;
static wchar_t parent_image[parent_image_capacity];

static bool parse_parent_id(const wchar_t* text, long* id)
{
    return parse_decimal_wide(text, id);
}

// The parent's main module name, resolved like our own and compared as text. False with *read
// left false when the name cannot be read at all.
static bool module_name_matches_self(DWORD parent_id, bool* read)
{
    *read = false;
    HANDLE process = os.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, parent_id);
    if (process == nullptr) {
        return false;
    }
    *read = os.K32GetModuleFileNameExW(process, nullptr, parent_image, parent_image_capacity) != 0;
    os.CloseHandle(process);
    if (!*read) {
        return false;
    }
    resolve_final_path(parent_image, parent_image_capacity);
    shorten_directory_part(parent_image, parent_image_capacity);
    return wcscmp(parent_image, get_self_path(true)) == 0;
}

static bool file_identity(const wchar_t* path, BY_HANDLE_FILE_INFORMATION* identity)
{
    HANDLE file = os.CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool known = os.GetFileInformationByHandle(file, identity) != 0;
    os.CloseHandle(file);
    return known;
}

static bool same_file(const wchar_t* one, const wchar_t* other)
{
    BY_HANDLE_FILE_INFORMATION a = {};
    BY_HANDLE_FILE_INFORMATION b = {};
    return file_identity(one, &a) && file_identity(other, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// Reading another process's module list needs the right to read its memory, which a sandbox,
// a protected process or an emulator may refuse. A genuine child that took that for "no parent"
// would unpack and start a child of its own, and so on without end. The image name needs only
// the limited query right, and a file's identity does not depend on how its path is spelt.
static bool image_file_matches_self(DWORD parent_id)
{
    HANDLE process = os.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent_id);
    if (process == nullptr) {
        return false;
    }
    // The image name outlives the process; only a running parent can be ours.
    DWORD exit_code = 0;
    const bool alive = os.GetExitCodeProcess(process, &exit_code) && exit_code == STILL_ACTIVE;
    DWORD length = parent_image_capacity;
    const bool named = alive && os.QueryFullProcessImageNameW(process, 0, parent_image, &length) != 0;
    os.CloseHandle(process);
    return named && same_file(parent_image, get_self_path(false));
}

static bool runs_this_executable(DWORD process_id)
{
    bool read = false;
    const bool same = module_name_matches_self(process_id, &read);
    return read ? same : image_file_matches_self(process_id);
}

// The creators of this process and of its creator, from one list of the system's processes.
// False when the list cannot be read or this process is not in it.
static bool read_creators(DWORD* creator, DWORD* creators_creator)
{
    HANDLE snapshot = os.CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    const DWORD self = os.GetCurrentProcessId();
    *creator = 0;
    *creators_creator = 0;
    bool found = false;
    // Two passes: the creator may come before or after this process in the list.
    for (int pass = 0; pass < 2; ++pass) {
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = os.Process32FirstW(snapshot, &entry); more; more = os.Process32NextW(snapshot, &entry)) {
            if (pass == 0 && entry.th32ProcessID == self) {
                *creator = entry.th32ParentProcessID;
                found = true;
            } else if (pass == 1 && found && entry.th32ProcessID == *creator) {
                *creators_creator = entry.th32ParentProcessID;
            }
        }
        if (!found) {
            break;
        }
    }
    os.CloseHandle(snapshot);
    return found;
}

// The parent started this process itself, or started the application that did: a child that
// starts its own executable again gets a child of the same parent, in the same folder. A
// process that merely inherited or was handed the variables is made by someone else.
static bool made_by_parent(DWORD parent_id)
{
    DWORD creator = 0;
    DWORD creators_creator = 0;
    if (!read_creators(&creator, &creators_creator) || creator == 0) {
        return false;
    }
    return creator == parent_id || (creators_creator == parent_id && runs_this_executable(creator));
}

// An elevated process takes its environment from where the same user's unelevated programs
// write it: it is a child only of a parent whose token is elevated too.
static bool elevation_allows_child(DWORD parent_id)
{
    if (!own_token_elevated()) {
        return true;
    }
    HANDLE process = os.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent_id);
    if (process == nullptr) {
        return false;
    }
    bool elevated = false;
    const bool read = read_token_elevation(process, &elevated);
    os.CloseHandle(process);
    return read && elevated;
}

void decide_role()
{
    parent_variable = getenv_ascii("VELDRA_ONEFILE_PARENT");
    long parent_id = 0;
    // The values a parent writes, exactly so: the child builds the path it loads from out of them.
    if (parent_variable == nullptr || !run_identity_has_shape() || !parse_parent_id(parent_variable, &parent_id)) {
        return;
    }
    const DWORD id = static_cast<DWORD>(parent_id);
    is_child = made_by_parent(id) && elevation_allows_child(id) && runs_this_executable(id);
}

void prepare_parent_environment()
{
    setenv_ascii("VELDRA_ONEFILE_START", nullptr);
    setenv_ascii("VELDRA_ONEFILE_TIME_US", nullptr);
    setenv_ascii("VELDRA_ONEFILE_RANDOM", nullptr);
    char narrow_id[pid_text_capacity];
    format_decimal(narrow_id, sizeof narrow_id, static_cast<long>(os.GetCurrentProcessId()), 1);
    wchar_t wide_id[pid_text_capacity] = L"";
    append_ascii(wide_id, narrow_id, pid_text_capacity);
    setenv_ascii("VELDRA_ONEFILE_PARENT", wide_id);
}
