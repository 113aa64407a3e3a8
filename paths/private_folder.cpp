// The private folder's security descriptor, built in memory: the launcher imports nothing from
// advapi32, so the user's identifier comes from the token through functions looked up at run
// time, and the well-known identifiers and the access list are written out by their layout.
#include "paths/private_folder.h"

#include "build/constants.h"
#include "launcher/fatal.h"
#include "os/win_calls.h"

HANDLE volatile unpack_dir_hold;
const wchar_t per_run_fallback_template[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

#include <cstring>
#include <cwchar>

typedef decltype(&::OpenProcessToken) open_process_token_function;
typedef decltype(&::GetTokenInformation) get_token_information_function;

enum {
    token_user_capacity = 128,
    ace_header_size = 8,  // ACE_HEADER and the access mask, before the identifier
    acl_capacity = sizeof(ACL) + private_folder_ace_count * (ace_header_size + sid_capacity),
};

// S-1-5-18 and S-1-5-32-544: revision, count of sub-authorities, authority 5, sub-authorities.
static const unsigned char local_system_sid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
static const unsigned char administrators_sid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};

static FARPROC advapi_function(const char* name)
{
    HMODULE advapi = os.LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return advapi != nullptr ? os.GetProcAddress(advapi, name) : nullptr;
}

// TOKEN_USER and TOKEN_OWNER both start with the identifier's address.
static DWORD read_token_sid(TOKEN_INFORMATION_CLASS which, unsigned char sid[sid_capacity])
{
    open_process_token_function open_token = reinterpret_cast<open_process_token_function>(
        reinterpret_cast<void (*)()>(advapi_function("OpenProcessToken")));
    if (open_token == nullptr) {
        return os.GetLastError();
    }
    get_token_information_function token_information = reinterpret_cast<get_token_information_function>(
        reinterpret_cast<void (*)()>(advapi_function("GetTokenInformation")));
    if (token_information == nullptr) {
        return os.GetLastError();
    }
    HANDLE token = nullptr;
    if (!open_token(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return os.GetLastError();
    }
    // Pointer-aligned: TOKEN_USER starts with a pointer.
    void* user_buffer[token_user_capacity / sizeof(void*)];
    DWORD size = 0;
    BOOL read = token_information(token, which, user_buffer, sizeof user_buffer, &size);
    DWORD error = read ? 0 : os.GetLastError();
    os.CloseHandle(token);
    if (error != 0) {
        return error;
    }
    const unsigned char* user = static_cast<const unsigned char*>(*reinterpret_cast<PSID*>(user_buffer));
    if (user == nullptr || user[0] != 1 || sid_length(user) > sid_capacity) {
        return ERROR_INVALID_SID;
    }
    memcpy(sid, user, sid_length(user));
    return 0;
}

bool read_token_elevation(HANDLE process, bool* elevated)
{
    open_process_token_function open_token = reinterpret_cast<open_process_token_function>(
        reinterpret_cast<void (*)()>(advapi_function("OpenProcessToken")));
    get_token_information_function token_information = reinterpret_cast<get_token_information_function>(
        reinterpret_cast<void (*)()>(advapi_function("GetTokenInformation")));
    HANDLE token = nullptr;
    if (open_token == nullptr || token_information == nullptr || !open_token(process, TOKEN_QUERY, &token)) {
        return false;
    }
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const bool read = token_information(token, TokenElevation, &elevation, sizeof elevation, &size) != FALSE;
    os.CloseHandle(token);
    *elevated = read && elevation.TokenIsElevated != 0;
    return read;
}

bool own_token_elevated()
{
    // Asked once: the token's elevation never changes while the process lives.
    static int known = -1;
    if (known < 0) {
        bool elevated = false;
        known = read_token_elevation(GetCurrentProcess(), &elevated) && elevated ? 1 : 0;
    }
    return known == 1;
}

DWORD read_token_user(unsigned char sid[sid_capacity])
{
    return read_token_sid(TokenUser, sid);
}

DWORD read_token_owner(unsigned char sid[sid_capacity])
{
    return read_token_sid(TokenOwner, sid);
}

size_t sid_length(const unsigned char* sid)
{
    return 8 + 4 * static_cast<size_t>(sid[1]);
}

// One allowed entry with full control, inherited by files and folders; returns its size.
static size_t write_allowed_entry(unsigned char* at, const unsigned char* sid)
{
    const size_t size = ace_header_size + sid_length(sid);
    ACE_HEADER header;
    header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    header.AceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    header.AceSize = static_cast<WORD>(size);
    const DWORD mask = FILE_ALL_ACCESS;
    memcpy(at, &header, sizeof header);
    memcpy(at + sizeof header, &mask, sizeof mask);
    memcpy(at + ace_header_size, sid, sid_length(sid));
    return size;
}

static void build_access_list(ACL* acl, const unsigned char* user_sid)
{
    unsigned char* bytes = reinterpret_cast<unsigned char*>(acl);
    size_t size = sizeof(ACL);
    size += write_allowed_entry(bytes + size, user_sid);
    size += write_allowed_entry(bytes + size, local_system_sid);
    size += write_allowed_entry(bytes + size, administrators_sid);
    acl->AclRevision = ACL_REVISION;
    acl->Sbz1 = 0;
    acl->AclSize = static_cast<WORD>(size);
    acl->AceCount = private_folder_ace_count;
    acl->Sbz2 = 0;
}

// The NT form of a full path: \??\ before a drive path, \??\UNC\ for a share, and the extended
// and device prefixes \\?\ and \\.\ taken for \??\. False when it does not fit.
static bool nt_path_of(const wchar_t* path, wchar_t* nt, size_t capacity)
{
    const bool prefixed = path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') &&
                          path[3] == L'\\';
    const bool share = !prefixed && path[0] == L'\\' && path[1] == L'\\';
    const wchar_t* rest = prefixed ? path + 4 : share ? path + 2 : path;
    const wchar_t* head = share ? L"\\??\\UNC\\" : L"\\??\\";
    const size_t head_length = wcslen(head);
    const size_t rest_length = wcslen(rest);
    if (head_length + rest_length >= capacity) {
        return false;
    }
    wmemcpy(nt, head, head_length);
    wmemcpy(nt + head_length, rest, rest_length + 1);
    return true;
}

HANDLE create_private_folder(const wchar_t* path)
{
    // Without the user's own entry the child, which runs under the same token, could not read
    // the folder; and a weaker list would let others in. So the run ends instead.
    unsigned char user_sid[sid_capacity];
    DWORD error = read_token_user(user_sid);
    if (error != 0) {
        fatal_system_error(error_token_user, error);
    }
    DWORD acl_storage[acl_capacity / sizeof(DWORD) + 1];
    ACL* acl = reinterpret_cast<ACL*>(acl_storage);
    build_access_list(acl, user_sid);
    // The absolute form; no owner or group, which the system takes from the token.
    SECURITY_DESCRIPTOR descriptor = {};
    descriptor.Revision = SECURITY_DESCRIPTOR_REVISION;
    descriptor.Control = SE_DACL_PRESENT | SE_DACL_PROTECTED;
    descriptor.Dacl = acl;
    static wchar_t nt_path[nt_path_capacity];
    if (!nt_path_of(path, nt_path, nt_path_capacity)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING name;
    name.Length = static_cast<USHORT>(wcslen(nt_path) * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    name.Buffer = nt_path;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, nullptr, &descriptor);
    IO_STATUS_BLOCK io = {};
    HANDLE folder = nullptr;
    // FILE_CREATE fails for any name already there, a link or junction included; the handle
    // that made the folder is the hold, so nothing can take its place between the two.
    const NTSTATUS status = os.NtCreateFile(&folder, unpack_dir_hold_access, &object, &io, nullptr,
                                            FILE_ATTRIBUTE_DIRECTORY, unpack_dir_hold_share, FILE_CREATE,
                                            FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                                                FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT,
                                            nullptr, 0);
    if (status < 0) {
        SetLastError(status == static_cast<NTSTATUS>(0xC0000035) ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return folder;
}

// Wine gives every process a full administrator's token, yet all of them run as one system user
// and no access list is enforced: an elevated process there can do nothing an unelevated one
// cannot, so its elevation guards nothing and the cached mode keeps its folder.
static bool elevation_is_a_boundary()
{
    HMODULE ntdll = os.GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr || os.GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

bool cached_mode_applies(uint32_t options)
{
    // An elevated process never loads from a folder that outlives it: its user's unelevated
    // programs could change that folder between the check and the load.
    return (options & build_option_cached_unpack) != 0 && !(own_token_elevated() && elevation_is_a_boundary());
}

bool unpack_dir_is_per_run()
{
    return !cached_mode_applies(build_options);
}

const wchar_t* active_unpack_template()
{
    return (build_options & build_option_cached_unpack) != 0 && unpack_dir_is_per_run() ? per_run_fallback_template
                                                                                        : unpack_dir_template;
}

// Listing access makes the handle one that a later open asking for no sharing collides with,
// and delete sharing left out makes every open for deletion fail while it lasts: the folder can
// then be neither removed nor renamed, by a sweep or anyone else. Files are still made and
// removed inside it, which takes no sharing of the folder's own handle.
bool hold_unpack_dir(const wchar_t* path)
{
    HANDLE hold = os.CreateFileW(path, unpack_dir_hold_access, unpack_dir_hold_share, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (hold == INVALID_HANDLE_VALUE) {
        return false;
    }
    unpack_dir_hold = hold;
    return true;
}

void set_unpack_dir_hold(HANDLE hold)
{
    unpack_dir_hold = hold;
}

void release_unpack_dir_hold()
{
    HANDLE hold = InterlockedExchangePointer(&unpack_dir_hold, nullptr);
    if (hold != nullptr) {
        os.CloseHandle(hold);
    }
}
