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
#include <tlhelp32.h>
#include <winternl.h>

#include <zstd.h>

#include <cstddef>
#include <cstdlib>

// Ends the process at once with status 0xC0000409: nothing printed, nothing flushed.
[[noreturn]] void os_fail_fast_real();

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
    /* Who created whom: the role decision's look at its creator. */ \
    X(CreateToolhelp32Snapshot) \
    X(Process32FirstW) \
    X(Process32NextW) \
    /* The parent's writer thread and its queue. */ \
    X(CreateThread) \
    X(CreateEventW) \
    X(SetEvent) \
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
    X(MoveFileExW) \
    X(ReadFile) \
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
    X(GetLastError) \
    /* The block's decoder: a test can make a step fail without a damaged frame. */ \
    X(ZSTD_decompressStream) \
    X(ZSTD_freeDCtx) \

// Entries that are no system calls, each with its own type and default (os/win_calls.cpp): the
// decoder's creation, on the process heap; the allocator; the whole-line writer; the process
// endings, which never return (a test's replacement leaves by throwing).
typedef ZSTD_DCtx_s* os_create_decoder_call();
typedef void* os_malloc_call(size_t);
typedef void os_free_call(void*);
// A whole line to a standard stream (STD_OUTPUT_HANDLE, STD_ERROR_HANDLE), apart from the handle
// calls of the launch.
typedef void os_standard_write_call(unsigned long std_handle, const char* bytes, size_t length);
typedef void os_exit_call(int);
typedef void os_fail_fast_call();
// GetFinalPathNameByHandleW, from kernel32 by name at its first use, as the image does not import
// it; 0 with ERROR_PROC_NOT_FOUND where the system has none.
typedef DWORD WINAPI os_final_path_call(HANDLE, LPWSTR, DWORD, DWORD);
// NtCreateFile, from ntdll by name at its first use: the launcher image imports nothing of ntdll.
typedef NTSTATUS NTAPI os_nt_create_file_call(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
#define VELDRA_OWN_CALLS(X) \
    X(ZSTD_createDCtx, os_create_decoder_call) \
    X(malloc, os_malloc_call) \
    X(free, os_free_call) \
    X(standard_write, os_standard_write_call) \
    X(exit, os_exit_call) \
    X(fail_fast, os_fail_fast_call) \
    X(NtCreateFile, os_nt_create_file_call) \
    X(GetFinalPathNameByHandleW, os_final_path_call) \

struct os_call_table {
#define VELDRA_DECLARE_CALL(name) decltype(&::name) name;
    VELDRA_SYSTEM_CALLS(VELDRA_DECLARE_CALL)
#undef VELDRA_DECLARE_CALL
#define VELDRA_DECLARE_OWN_CALL(name, type) type* name;
    VELDRA_OWN_CALLS(VELDRA_DECLARE_OWN_CALL)
#undef VELDRA_DECLARE_OWN_CALL
};

extern os_call_table os;

// The table's entries by name, in the lists' order, so that a test can restore one entry and
// name those still replaced.
struct os_call_name {
    const char* name;
    size_t offset;
};
extern const os_call_name os_call_names[];
extern const int os_call_count;

// Puts one entry back to its default; false for a name the table does not hold.
bool os_restore_call(const char* name);

// The index of the first entry from `from` on that differs from its default, or -1.
int os_next_replaced_call(int from);

// Puts every entry back to its default and returns how many had been replaced.
int os_restore_defaults();

#endif
