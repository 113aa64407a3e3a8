// Role decision: every failing step means "parent"; nothing here prints or stops the run.
#include "launcher/role.h"

#include "launcher/run_state.h"
#include "os/runtime.h"
#include "os/win_calls.h"
#include "paths/bounded.h"
#include "paths/environment.h"
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

void decide_role()
{
    parent_variable = getenv_ascii("VELDRA_ONEFILE_PARENT");
    long parent_id = 0;
    if (parent_variable == nullptr || !parse_parent_id(parent_variable, &parent_id)) {
        return;
    }
    bool read = false;
    is_child = module_name_matches_self(static_cast<DWORD>(parent_id), &read);
    if (!read) {
        is_child = image_file_matches_self(static_cast<DWORD>(parent_id));
    }
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
