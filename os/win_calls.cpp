// Default entries of the system-call table: the real kernel, shell and runtime functions.
#include "os/win_calls.h"

#include <zstd.h>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

void os_fail_fast_real()
{
#if defined(_MSC_VER)
    __fastfail(7);
#else
    // The fail-fast interrupt: the system ends the process with STATUS_STACK_BUFFER_OVERRUN
    // (0xC0000409) without running any handler of ours or flushing any stream.
    __asm__ volatile("int $0x29" : : "c"(7) : "memory");
#endif
    for (;;) {
    }
}

[[noreturn]] static void runtime_exit(int status)
{
    ::exit(status);
}

static const os_call_table default_calls = {
    ::GetEnvironmentVariableW,
    ::SetEnvironmentVariableW,
    ::GetCurrentProcessId,
    ::OpenProcess,
    ::K32GetModuleFileNameExW,
    ::CreateProcessW,
    ::GetStdHandle,
    ::WaitForSingleObject,
    ::GetExitCodeProcess,
    ::TerminateProcess,
    ::CloseHandle,
    ::DuplicateHandle,
    ::GetModuleFileNameW,
    ::GetCommandLineW,
    ::CommandLineToArgvW,
    ::CreateFileW,
    ::GetModuleHandleA,
    ::GetProcAddress,
    ::GetShortPathNameW,
    ::GetFullPathNameW,
    ::GetTempPathW,
    ::SHGetFolderPathW,
    ::CreateDirectoryW,
    ::WriteFile,
    ::GetFileAttributesW,
    ::FindFirstFileW,
    ::FindNextFileW,
    ::FindClose,
    ::SetFileAttributesW,
    ::DeleteFileW,
    ::RemoveDirectoryW,
    ::Sleep,
    ::GetSystemTimeAsFileTime,
    ::QueryPerformanceCounter,
    ::SetDllDirectoryW,
    ::AddDllDirectory,
    ::LoadLibraryExW,
    ::SetConsoleCtrlHandler,
    ::FormatMessageA,
    ::malloc,
    ::free,
    ::ZSTD_createDCtx,
    runtime_exit,
    os_fail_fast_real,
};

os_call_table os = default_calls;

void os_restore_defaults()
{
    os = default_calls;
}
