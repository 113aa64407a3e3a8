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

// Every system call of the launcher, by name. A call added here gets its entry in the table and
// the real function as its default, with the type the system header gives it.
#define VELDRA_SYSTEM_CALLS(X) \
    /* Environment and process identity. */ \
    X(GetEnvironmentVariableW) \
    X(SetEnvironmentVariableW) \
    X(GetCurrentProcessId) \
    X(GetCurrentThreadId) \
    /* Processes. */ \
    X(OpenProcess) \
    X(K32GetModuleFileNameExW) \
    X(QueryFullProcessImageNameW) \
    X(CreateProcessW) \
    X(ResumeThread) \
    X(GetStdHandle) \
    X(WaitForSingleObject) \
    X(GetExitCodeProcess) \
    X(TerminateProcess) \
    X(CloseHandle) \
    X(DuplicateHandle) \
    /* Own image and command line. */ \
    X(GetModuleFileNameW) \
    X(GetCommandLineW) \
    X(CommandLineToArgvW) \
    /* Paths and files. */ \
    X(CreateFileW) \
    X(GetFileInformationByHandle) \
    X(GetModuleHandleA) \
    X(GetProcAddress) \
    X(GetShortPathNameW) \
    X(GetFullPathNameW) \
    X(GetTempPathW) \
    X(SHGetFolderPathW) \
    X(CreateDirectoryW) \
    X(WriteFile) \
    X(GetFileAttributesW) \
    X(FindFirstFileW) \
    X(FindFirstFileExW) \
    X(FindNextFileW) \
    X(FindClose) \
    X(SetFileAttributesW) \
    X(DeleteFileW) \
    X(RemoveDirectoryW) \
    X(GetFileInformationByHandleEx) \
    X(SetFileInformationByHandle) \
    X(Sleep) \
    /* Time. */ \
    X(GetSystemTimeAsFileTime) \
    X(QueryPerformanceCounter) \
    X(GetTickCount64) \
    /* Modules. */ \
    X(SetDllDirectoryW) \
    X(SetDefaultDllDirectories) \
    X(AddDllDirectory) \
    X(LoadLibraryExW) \
    /* Console and errors. */ \
    X(SetConsoleCtrlHandler) \
    X(FormatMessageA) \

struct os_call_table {
#define VELDRA_DECLARE_CALL(name) decltype(&::name) name;
    VELDRA_SYSTEM_CALLS(VELDRA_DECLARE_CALL)
#undef VELDRA_DECLARE_CALL
    // C runtime.
    void* (*malloc)(size_t);
    void (*free)(void*);
    // A whole line to a standard stream (STD_OUTPUT_HANDLE, STD_ERROR_HANDLE), apart from the
    // handle calls of the launch; the default is os/runtime.cpp's standard_write_real.
    void (*standard_write)(unsigned long std_handle, const char* bytes, size_t length);
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
