/* Main module of the large fixture application: run_code returns at once. When asked through
 * the environment it first records the moment it was entered (Unix time in nanoseconds) and
 * the peak private bytes of itself and of its parent launcher. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

/* The bulk of the module: real machine code carried as data, linked from fixture_bulk.S. */
extern const unsigned char fixture_bulk[];

static unsigned long long unix_time_ns(void)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    return (t.QuadPart - 116444736000000000ULL) * 100ULL;
}

static unsigned long long peak_private_bytes(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters = {sizeof counters};
    if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) {
        return 0;
    }
    return counters.PeakPagefileUsage;
}

static void record(unsigned long long entered)
{
    wchar_t path[1024];
    if (!GetEnvironmentVariableW(L"FIXTURE_RECORD", path, 1024)) {
        return;
    }
    unsigned long long parent_peak = 0;
    wchar_t parent_id[32];
    if (GetEnvironmentVariableW(L"VELDRA_ONEFILE_PARENT", parent_id, 32)) {
        HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, wcstoul(parent_id, NULL, 10));
        if (parent) {
            parent_peak = peak_private_bytes(parent);
            CloseHandle(parent);
        }
    }
    FILE* out = _wfopen(path, L"w");
    if (out) {
        fprintf(out, "entered_ns %llu\nchild_peak_private %llu\nparent_peak_private %llu\nbulk_first_byte %u\n",
                entered, peak_private_bytes(GetCurrentProcess()), parent_peak, fixture_bulk[0]);
        fclose(out);
    }
}

__declspec(dllexport) int __stdcall run_code(int argc, wchar_t** argv, const wchar_t* main_module)
{
    unsigned long long entered = unix_time_ns();
    (void)argc;
    (void)argv;
    (void)main_module;
    record(entered);
    return 0;
}
