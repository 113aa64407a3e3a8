// The one seam between the launcher and the system: every call with an effect outside the
// launcher's own memory goes through `os`, so a test can replace an entry and restore it.
#ifndef VELDRA_OS_WIN_CALLS_H
#define VELDRA_OS_WIN_CALLS_H

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>

// Ends the process at once with status 0xC0000409: nothing printed, nothing flushed.
[[noreturn]] void os_fail_fast_real();

struct ZSTD_DCtx_s;

struct os_call_table {
    // Environment and process identity.
    decltype(&::GetEnvironmentVariableW) GetEnvironmentVariableW;
    decltype(&::SetEnvironmentVariableW) SetEnvironmentVariableW;
    decltype(&::GetCurrentProcessId) GetCurrentProcessId;
    // Processes.
    decltype(&::OpenProcess) OpenProcess;
    decltype(&::K32GetModuleFileNameExW) K32GetModuleFileNameExW;
    decltype(&::CreateProcessW) CreateProcessW;
    decltype(&::GetStdHandle) GetStdHandle;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::GetExitCodeProcess) GetExitCodeProcess;
    decltype(&::TerminateProcess) TerminateProcess;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::DuplicateHandle) DuplicateHandle;
    // Own image and command line.
    decltype(&::GetModuleFileNameW) GetModuleFileNameW;
    decltype(&::GetCommandLineW) GetCommandLineW;
    decltype(&::CommandLineToArgvW) CommandLineToArgvW;
    // Paths and files.
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::GetModuleHandleA) GetModuleHandleA;
    decltype(&::GetProcAddress) GetProcAddress;
    decltype(&::GetShortPathNameW) GetShortPathNameW;
    decltype(&::GetFullPathNameW) GetFullPathNameW;
    decltype(&::GetTempPathW) GetTempPathW;
    decltype(&::SHGetFolderPathW) SHGetFolderPathW;
    decltype(&::CreateDirectoryW) CreateDirectoryW;
    decltype(&::WriteFile) WriteFile;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::FindFirstFileW) FindFirstFileW;
    decltype(&::FindNextFileW) FindNextFileW;
    decltype(&::FindClose) FindClose;
    decltype(&::SetFileAttributesW) SetFileAttributesW;
    decltype(&::DeleteFileW) DeleteFileW;
    decltype(&::RemoveDirectoryW) RemoveDirectoryW;
    decltype(&::Sleep) Sleep;
    // Time.
    decltype(&::GetSystemTimeAsFileTime) GetSystemTimeAsFileTime;
    decltype(&::QueryPerformanceCounter) QueryPerformanceCounter;
    // Modules.
    decltype(&::SetDllDirectoryW) SetDllDirectoryW;
    decltype(&::AddDllDirectory) AddDllDirectory;
    decltype(&::LoadLibraryExW) LoadLibraryExW;
    // Console and errors.
    decltype(&::SetConsoleCtrlHandler) SetConsoleCtrlHandler;
    decltype(&::FormatMessageA) FormatMessageA;
    // C runtime.
    void* (*malloc)(size_t);
    void (*free)(void*);
    // The stream's decoder context; a test can make its creation fail.
    ZSTD_DCtx_s* (*ZSTD_createDCtx)(void);
    // Neither returns; a test's replacement leaves by throwing.
    void (*exit)(int);
    void (*fail_fast)();
};

extern os_call_table os;

// Puts every entry back to the real function.
void os_restore_defaults();

#endif
