// Throwing stand-ins for the process endings, and token calls that report a chosen elevation.
#include "tests/support/seam.h"

#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

static void throwing_fail_fast()
{
    throw fail_fast_called{};
}

static void throwing_exit(int status)
{
    throw exit_called{status};
}

seam_scope::seam_scope()
{
    os_restore_defaults();
    os.fail_fast = throwing_fail_fast;
    os.exit = throwing_exit;
}

seam_scope::~seam_scope()
{
    os_restore_defaults();
}

void seam_restore(const char* name)
{
    EXPECT_TRUE(os_restore_call(name)) << "the seam has no entry " << name;
}

std::vector<std::string> seam_replaced_calls()
{
    std::vector<std::string> names;
    for (int index = os_next_replaced_call(0); index >= 0; index = os_next_replaced_call(index + 1)) {
        names.push_back(os_call_names[index].name);
    }
    return names;
}

namespace {

// Tokens told apart by the process they were opened for: this process's own, or another's.
enum { own_token = 1, other_token = 2 };
token_elevation fake_own;
token_elevation fake_other;

token_elevation elevation_for(HANDLE process)
{
    return process == GetCurrentProcess() ? fake_own : fake_other;
}

BOOL WINAPI fake_open_process_token(HANDLE process, DWORD, PHANDLE token)
{
    if (elevation_for(process) == token_elevation::unreadable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *token = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(process == GetCurrentProcess() ? own_token : other_token));
    return TRUE;
}

BOOL WINAPI fake_token_information(HANDLE token, TOKEN_INFORMATION_CLASS which, LPVOID data, DWORD, PDWORD size)
{
    if (which != TokenElevation) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const token_elevation elevation = reinterpret_cast<uintptr_t>(token) == own_token ? fake_own : fake_other;
    static_cast<TOKEN_ELEVATION*>(data)->TokenIsElevated = elevation == token_elevation::yes ? 1 : 0;
    *size = sizeof(TOKEN_ELEVATION);
    return TRUE;
}

FARPROC WINAPI token_calls_faked(HMODULE module, LPCSTR name)
{
    if (strcmp(name, "OpenProcessToken") == 0) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(fake_open_process_token));
    }
    if (strcmp(name, "GetTokenInformation") == 0) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(fake_token_information));
    }
    // As on Windows, where an elevated token is a boundary between the user's programs.
    if (strcmp(name, "wine_get_version") == 0) {
        return nullptr;
    }
    return GetProcAddress(module, name);
}

BOOL WINAPI fake_token_closed(HANDLE handle)
{
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return value == own_token || value == other_token ? TRUE : CloseHandle(handle);
}

}  // namespace

void fake_token_elevation(token_elevation own, token_elevation other)
{
    fake_own = own;
    fake_other = other;
    os.GetProcAddress = token_calls_faked;
    os.CloseHandle = fake_token_closed;
}
