/* Main module of the large fixture application: run_code returns at once. When asked through
 * the environment it first records the moment it was entered (Unix time in nanoseconds) and
 * the peak private bytes of itself and of its parent launcher.
 *
 * The reliability tests ask for more, each through a variable of its own, carried out in
 * this order:
 *   FIXTURE_FOLDER=FILE    write the unpack folder, UTF-8, into FILE as soon as run_code runs
 *   FIXTURE_LIST=FILE      write "size<TAB>name\n" (UTF-8, names relative to the folder) for
 *                          every file found under the folder
 *   FIXTURE_WAIT_FOR=FILE  return only once FILE exists
 *   FIXTURE_SLEEP_MS=N     sleep N milliseconds
 *   FIXTURE_CRASH=1        end in an access violation
 *   FIXTURE_EXIT=N         return N (decimal, or hexadecimal with 0x) instead of 0
 * Files are written whole under a temporary name and then renamed, so that a watcher never
 * reads half of one. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
    PROCESS_MEMORY_COUNTERS counters = {0};
    counters.cb = sizeof counters;
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

/* A growing UTF-8 text, written out whole. */
struct text {
    char* bytes;
    size_t length;
    size_t capacity;
};

static void append_bytes(struct text* text, const char* bytes, size_t length)
{
    if (text->length + length > text->capacity) {
        size_t capacity = text->capacity ? text->capacity : 65536;
        while (capacity < text->length + length) {
            capacity *= 2;
        }
        char* grown = (char*)realloc(text->bytes, capacity);
        if (grown == NULL) {
            ExitProcess(3);
        }
        text->bytes = grown;
        text->capacity = capacity;
    }
    memcpy(text->bytes + text->length, bytes, length);
    text->length += length;
}

static void append_wide(struct text* text, const wchar_t* wide)
{
    static char converted[4 * 4096];
    int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, converted, sizeof converted, NULL, NULL);
    if (size > 1) {
        append_bytes(text, converted, (size_t)size - 1);
    }
}

static void write_whole_file(const wchar_t* path, const struct text* text)
{
    wchar_t temporary[4096];
    swprintf(temporary, 4096, L"%ls.part", path);
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, text->bytes, (DWORD)text->length, &written, NULL);
    CloseHandle(file);
    MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING);
}

static void list_files(struct text* text, const wchar_t* directory, size_t folder_length)
{
    wchar_t pattern[4096];
    swprintf(pattern, 4096, L"%ls\\*", directory);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) {
            continue;
        }
        wchar_t path[4096];
        swprintf(path, 4096, L"%ls\\%ls", directory, found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            list_files(text, path, folder_length);
            continue;
        }
        char size[32];
        int length = sprintf(size, "%llu\t",
                             ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow);
        append_bytes(text, size, (size_t)length);
        append_wide(text, path + folder_length + 1);
        append_bytes(text, "\n", 1);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

static int variable(const wchar_t* name, wchar_t* value)
{
    DWORD length = GetEnvironmentVariableW(name, value, 4096);
    return length > 0 && length < 4096;
}

static void report_folder(const wchar_t* folder)
{
    wchar_t path[4096];
    if (variable(L"FIXTURE_FOLDER", path)) {
        struct text text = {0};
        append_wide(&text, folder);
        write_whole_file(path, &text);
        free(text.bytes);
    }
    if (variable(L"FIXTURE_LIST", path)) {
        struct text text = {0};
        list_files(&text, folder, wcslen(folder));
        write_whole_file(path, &text);
        free(text.bytes);
    }
}

/* Read through a volatile pointer, so that the compiler keeps a plain store to address 0. */
static volatile int* volatile nowhere = NULL;

static int carry_out_requests(const wchar_t* main_module)
{
    wchar_t folder[4096];
    wcsncpy(folder, main_module, 4095);
    folder[4095] = L'\0';
    wchar_t* last = wcsrchr(folder, L'\\');
    if (last != NULL) {
        *last = L'\0';
    }
    report_folder(folder);
    wchar_t value[4096];
    if (variable(L"FIXTURE_WAIT_FOR", value)) {
        while (GetFileAttributesW(value) == INVALID_FILE_ATTRIBUTES) {
            Sleep(20);
        }
    }
    if (variable(L"FIXTURE_SLEEP_MS", value)) {
        Sleep((DWORD)wcstoul(value, NULL, 10));
    }
    if (variable(L"FIXTURE_CRASH", value)) {
        *nowhere = 1;
    }
    return variable(L"FIXTURE_EXIT", value) ? (int)wcstoul(value, NULL, 0) : 0;
}

__declspec(dllexport) int __stdcall run_code(int argc, wchar_t** argv, const wchar_t* main_module)
{
    unsigned long long entered = unix_time_ns();
    (void)argc;
    (void)argv;
    record(entered);
    return carry_out_requests(main_module);
}
