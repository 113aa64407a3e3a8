// The start-up sweep of leftover unpack folders. Every check is made on a handle that the
// sweep opened itself and keeps until the folder is gone: a name that is swapped for a link
// after the listing gives a handle that fails the checks, never a walk through the link.
#include "launcher/sweep.h"

#include "build/constants.h"
#include "launcher/handle_facts.h"
#include "launcher/remove_tree.h"
#include "launcher/run_state.h"
#include "os/win_calls.h"
#include "paths/folder_shape.h"
#include "paths/private_folder.h"

#include <cstring>
#include <cwchar>

typedef decltype(&::GetKernelObjectSecurity) object_security_function;

enum { security_buffer_size = 1024 };

static wchar_t sweep_pattern[extended_path_capacity];
static wchar_t sweep_candidate[extended_path_capacity];
// The parent folder as the system names an open handle, then "\" and the candidate's name.
static wchar_t sweep_expected[extended_path_capacity];
static DWORD sweep_opened[(sizeof(DWORD) + extended_path_capacity * sizeof(wchar_t)) / sizeof(DWORD)];
static DWORD sweep_security[security_buffer_size / sizeof(DWORD)];
static WIN32_FIND_DATAW sweep_found;

// What the sweep needs to know once per start.
struct sweep_context {
    size_t pattern_length;  // the parent folder's extended path and its "\"
    size_t expected_length;  // the system's name of the parent folder and its "\"
    unsigned char user[sid_capacity];
    unsigned char owner[sid_capacity];
    object_security_function object_security;
    ULONGLONG deadline;
};

static bool same_sid(const unsigned char* sid, size_t room, const unsigned char* other)
{
    return room >= 8 && sid[0] == 1 && sid_length(sid) <= room && sid_length(sid) == sid_length(other) &&
           memcmp(sid, other, sid_length(sid)) == 0;
}

// ADVAPI32 is no import of the launcher: a system without the call gives no sweep.
static object_security_function find_object_security()
{
    HMODULE advapi = os.LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    FARPROC found = advapi != nullptr ? os.GetProcAddress(advapi, "GetKernelObjectSecurity") : nullptr;
    return reinterpret_cast<object_security_function>(reinterpret_cast<void (*)()>(found));
}

// True when the folder's owner is this token's user, or the owner the token gives what it
// creates (an elevated administrator's folders belong to the Administrators group).
static bool owned_by_us(const sweep_context* context, HANDLE folder)
{
    DWORD needed = 0;
    if (!context->object_security(folder, OWNER_SECURITY_INFORMATION, sweep_security, sizeof sweep_security,
                                  &needed)) {
        return false;
    }
    const SECURITY_DESCRIPTOR_RELATIVE* descriptor = reinterpret_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(sweep_security);
    const DWORD size = needed != 0 && needed < sizeof sweep_security ? needed : static_cast<DWORD>(sizeof sweep_security);
    if ((descriptor->Control & SE_SELF_RELATIVE) == 0 || descriptor->Owner < sizeof *descriptor ||
        descriptor->Owner >= size) {
        return false;
    }
    const unsigned char* owner = reinterpret_cast<const unsigned char*>(sweep_security) + descriptor->Owner;
    const size_t room = size - descriptor->Owner;
    return same_sid(owner, room, context->user) || same_sid(owner, room, context->owner);
}

bool folder_owned_by_us(HANDLE folder)
{
    sweep_context context;
    context.object_security = find_object_security();
    return context.object_security != nullptr && read_token_user(context.user) == 0 &&
           read_token_owner(context.owner) == 0 && owned_by_us(&context, folder);
}

// Whether the system names the handle as the listed entry: a name that was swapped for a link
// and followed (Wine follows links on every open) names the link's target instead.
static bool handle_is_entry(const sweep_context* context, HANDLE folder, const wchar_t* name)
{
    const size_t length = context->expected_length + wcslen(name);
    if (length + 1 > extended_path_capacity) {
        return false;
    }
    wmemcpy(sweep_expected + context->expected_length, name, wcslen(name) + 1);
    if (!os.GetFileInformationByHandleEx(folder, FileNameInfo, sweep_opened, sizeof sweep_opened)) {
        return false;
    }
    const FILE_NAME_INFO* opened = reinterpret_cast<const FILE_NAME_INFO*>(sweep_opened);
    return opened->FileNameLength == length * sizeof(wchar_t) && wmemcmp(opened->FileName, sweep_expected, length) == 0;
}

// One candidate, by the name the listing gave. Any doubt leaves it where it is.
static bool sweep_candidate_folder(const sweep_context* context, const wchar_t* name)
{
    if (context->pattern_length + wcslen(name) + 1 > extended_path_capacity) {
        return false;
    }
    wmemcpy(sweep_candidate, sweep_pattern, context->pattern_length);
    wmemcpy(sweep_candidate + context->pattern_length, name, wcslen(name) + 1);
    // Asked by name as well: Wine shows a link as one only to a query by name.
    const DWORD by_name = os.GetFileAttributesW(sweep_candidate);
    if (by_name == INVALID_FILE_ATTRIBUTES ||
        (by_name & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY) {
        return false;
    }
    // No sharing at all: the open fails while any other handle with access to the folder's
    // contents or to its deletion is open, and every live run, parent and child, keeps such a
    // handle on its folder for as long as it lives. The system closes those handles when a
    // process ends, however it ends; so the open succeeds only on a folder whose runs are all
    // gone, and while this handle lasts no run can take the folder up again.
    HANDLE folder = os.CreateFileW(sweep_candidate, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                                   0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return false;
    }
    handle_facts facts;
    const bool ours = read_handle_facts(folder, &facts) &&
                      (facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                          FILE_ATTRIBUTE_DIRECTORY &&
                      handle_is_entry(context, folder, name) && owned_by_us(context, folder);
    if (!ours) {
        os.CloseHandle(folder);
        return false;
    }
    remove_tree_through_handle(sweep_candidate, folder);
    return !tree_root_still_there(sweep_candidate);
}

static wchar_t ascii_upper(wchar_t c)
{
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// A folder that already has this run's own name is someone else's: the run refuses it when it
// makes its own, and the sweep leaves it for that refusal, whatever its owner and shape.
static bool is_own_name(const wchar_t* name, const wchar_t* own_name)
{
    for (; *name != L'\0' && ascii_upper(*name) == ascii_upper(*own_name); ++name, ++own_name) {
    }
    return *name == L'\0' && *own_name == L'\0';
}

static bool is_dot_name(const wchar_t* name)
{
    return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

// The parent folder's paths: the extended one to open entries by, and the system's name of it.
static bool prepare_context(sweep_context* context, const wchar_t* own_folder)
{
    const size_t length = make_extended_path(sweep_pattern, extended_path_capacity, own_folder);
    size_t cut = length;
    while (cut > 0 && sweep_pattern[cut - 1] != L'\\') {
        --cut;
    }
    // The own folder's name must follow a folder: never a sweep of a drive's namespace.
    if (cut <= 4 || cut == length) {
        return false;
    }
    sweep_pattern[cut - 1] = L'\0';
    HANDLE parent = os.CreateFileW(sweep_pattern, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (parent == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool named = os.GetFileInformationByHandleEx(parent, FileNameInfo, sweep_opened, sizeof sweep_opened) != FALSE;
    os.CloseHandle(parent);
    const FILE_NAME_INFO* name = reinterpret_cast<const FILE_NAME_INFO*>(sweep_opened);
    const size_t name_length = name->FileNameLength / sizeof(wchar_t);
    if (!named || name_length + 2 > extended_path_capacity) {
        return false;
    }
    wmemcpy(sweep_expected, name->FileName, name_length);
    // A folder at a volume's root is named "\" already.
    context->expected_length = name_length;
    if (name_length == 0 || sweep_expected[name_length - 1] != L'\\') {
        sweep_expected[context->expected_length++] = L'\\';
    }
    sweep_expected[context->expected_length] = L'\0';
    sweep_pattern[cut - 1] = L'\\';
    sweep_pattern[cut] = L'*';
    sweep_pattern[cut + 1] = L'\0';
    context->pattern_length = cut;
    return true;
}

int sweep_folders_beside(const wchar_t* own_folder, const wchar_t* template_text)
{
    sweep_context context;
    const wchar_t* own_name = wcsrchr(own_folder, L'\\');
    // The own folder's name must have the shape too, or the template is not what made it.
    if (own_name == nullptr || !folder_name_has_shape(template_text, own_name + 1)) {
        return 0;
    }
    context.deadline = os.GetTickCount64() + sweep_budget_milliseconds;
    context.object_security = find_object_security();
    if (context.object_security == nullptr || read_token_user(context.user) != 0 ||
        read_token_owner(context.owner) != 0 || !prepare_context(&context, own_folder)) {
        return 0;
    }
    HANDLE listing = os.FindFirstFileExW(sweep_pattern, FindExInfoBasic, &sweep_found, FindExSearchLimitToDirectories,
                                         nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (listing == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int looked_at = 0;
    int removed = 0;
    do {
        const wchar_t* name = sweep_found.cFileName;
        if ((sweep_found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                FILE_ATTRIBUTE_DIRECTORY &&
            !is_dot_name(name) && !is_own_name(name, own_name + 1) && folder_name_has_shape(template_text, name) &&
            sweep_candidate_folder(&context, name)) {
            ++removed;
        }
    } while (++looked_at < sweep_entry_limit && removed < sweep_removal_limit &&
             os.GetTickCount64() < context.deadline && os.FindNextFileW(listing, &sweep_found));
    os.FindClose(listing);
    return removed;
}

void sweep_leftover_folders()
{
    if ((build_options & build_option_no_sweep) != 0 || !unpack_dir_is_per_run() ||
        !template_has_folder_shape(active_unpack_template())) {
        return;
    }
    sweep_folders_beside(unpack_dir, active_unpack_template());
}
