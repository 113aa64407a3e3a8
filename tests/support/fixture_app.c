/* The fixture application's main module, one source for every suite. run_code first carries out
 * what the environment asks, for runs whose command line is the user's (the reliability suite,
 * the benchmark), then its arguments in order, so that end-to-end tests watch the launcher from
 * inside the application. Arguments it does not know are passed over.
 *
 * Requests through the environment, each a variable of its own:
 *   FIXTURE_RECORD=FILE    on entry: the moment run_code was entered (Unix time in nanoseconds)
 *                          and the peak private bytes of this process and of its launcher
 *   FIXTURE_FOLDER=FILE    the unpack folder, UTF-8
 *   FIXTURE_LIST=FILE      "size<TAB>name\n" (UTF-8, names relative to the folder) for every
 *                          file found under the folder
 * and after the arguments, in this order:
 *   FIXTURE_WAIT_FOR=FILE  return only once FILE exists
 *   FIXTURE_SLEEP_MS=N     sleep N milliseconds
 *   FIXTURE_CRASH=1        end in an access violation
 *   FIXTURE_EXIT=N         return N (decimal, or hexadecimal with 0x), over any exit= argument
 * Files are written whole under a temporary name and then renamed, so that a watcher never reads
 * half of one. Output of the arguments is UTF-8 written straight to the standard output handle:
 * no buffering, no newline translation.
 *
 * Built in three forms: plain; importing helper.dll (FIXTURE_HELPER), which the loader finds
 * only beside the main module; and carrying a bulk of real machine code as data
 * (FIXTURE_BULK_FILE, through fixture_bulk.S), for an application of real size. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <psapi.h>
#include <sddl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#ifdef FIXTURE_HELPER
__declspec(dllimport) const wchar_t* helper_text(void);
#endif

#ifdef FIXTURE_BULK_FILE
extern const unsigned char fixture_bulk[];
#define BULK_FIRST_BYTE fixture_bulk[0]
#else
#define BULK_FIRST_BYTE 0u
#endif

static wchar_t folder[4096];

/* Read through a volatile pointer, so that the compiler keeps a plain store to address 0. */
static volatile int* volatile nowhere = NULL;

static void write_bytes(const char* bytes, DWORD size)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, size, &written, NULL);
}

/* Control characters appear as <HH>, so that one value stays on one line. In UTF-8 they are
   single bytes that no other character contains, so they can be replaced after converting. */
static void write_wide(const wchar_t* text)
{
    static char converted[4 * 32768];
    static char bytes[4 * 4 * 32768];
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, converted, sizeof converted, NULL, NULL);
    DWORD length = 0;
    for (int i = 0; i + 1 < size; ++i) {
        unsigned char c = (unsigned char)converted[i];
        if (c < 0x20) {
            length += (DWORD)sprintf(bytes + length, "<%02X>", c);
        } else {
            bytes[length++] = (char)c;
        }
    }
    write_bytes(bytes, length);
}

static void write_line(const char* label, const wchar_t* value)
{
    write_bytes(label, (DWORD)strlen(label));
    write_wide(value);
    write_bytes("\n", 1);
}

static int variable(const wchar_t* name, wchar_t* value)
{
    DWORD length = GetEnvironmentVariableW(name, value, 4096);
    return length > 0 && length < 4096;
}

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

/* The first thing run_code does: the benchmark's trace finds run_code's entry by this query. */
static void record(unsigned long long entered)
{
    wchar_t path[4096];
    if (!variable(L"FIXTURE_RECORD", path)) {
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
                entered, peak_private_bytes(GetCurrentProcess()), parent_peak, (unsigned)BULK_FIRST_BYTE);
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

/* Every file under `directory`, given to `visit` with its name relative to the unpack folder;
   `listing` is the visitor's own text, or NULL. */
typedef void (*file_visitor)(const wchar_t* relative, unsigned long long size, struct text* listing);

static void visit_files(const wchar_t* directory, file_visitor visit, struct text* listing)
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
            visit_files(path, visit, listing);
        } else {
            visit(path + wcslen(folder) + 1, ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow,
                  listing);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

static void append_listed_file(const wchar_t* relative, unsigned long long size, struct text* listing)
{
    char text[32];
    int length = sprintf(text, "%llu\t", size);
    append_bytes(listing, text, (size_t)length);
    append_wide(listing, relative);
    append_bytes(listing, "\n", 1);
}

static void print_listed_file(const wchar_t* relative, unsigned long long size, struct text* listing)
{
    (void)size;
    (void)listing;
    write_line("file=", relative);
}

static void report_folder(void)
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
        visit_files(folder, append_listed_file, &text);
        write_whole_file(path, &text);
        free(text.bytes);
    }
}

static void print_variable(const char* name)
{
    static wchar_t value[32768];
    wchar_t wide_name[64];
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide_name, 64);
    char label[80];
    DWORD length = GetEnvironmentVariableW(wide_name, value, 32768);
    if (length == 0 || length >= 32768) {
        sprintf(label, "%s unset\n", name);
        write_bytes(label, (DWORD)strlen(label));
        return;
    }
    sprintf(label, "%s=", name);
    write_line(label, value);
}

static void print_environment(void)
{
    const char* names[] = {"VELDRA_ONEFILE_PARENT", "VELDRA_ONEFILE_START", "VELDRA_ONEFILE_TIME_US",
                           "VELDRA_ONEFILE_RANDOM", "VELDRA_ONEFILE_DIRECTORY", "VELDRA_ORIGINAL_ARGV0"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        print_variable(names[i]);
    }
}

static void write_marker(const wchar_t* path)
{
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    char bytes[4 * 4096];
    int size = WideCharToMultiByte(CP_UTF8, 0, folder, -1, bytes, sizeof bytes, NULL, NULL);
    DWORD written = 0;
    WriteFile(file, bytes, size > 0 ? (DWORD)size - 1 : 0, &written, NULL);
    CloseHandle(file);
}

static BOOL WINAPI ignore_control_event(DWORD type)
{
    (void)type;
    return TRUE;
}

static wchar_t* path_in_folder(const wchar_t* relative)
{
    static wchar_t path[4096];
    swprintf(path, 4096, L"%ls\\%ls", folder, relative);
    return path;
}

/* Starts the launcher (argv[0], its full path) again with the environment of this process;
   commas in `arguments` separate its arguments. */
static void relaunch(const wchar_t* launcher, const wchar_t* arguments)
{
    static wchar_t line[32768];
    swprintf(line, 32768, L"\"%ls\" %ls", launcher, arguments);
    for (wchar_t* at = line; *at != L'\0'; ++at) {
        if (*at == L',') {
            *at = L' ';
        }
    }
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    if (!CreateProcessW(launcher, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info)) {
        write_line("relaunch failed ", launcher);
        return;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(info.hProcess, &status);
    char text[64];
    sprintf(text, "relaunch status=%lu\n", status);
    write_bytes(text, (DWORD)strlen(text));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

/* The unpack folder's access list in the system's own text form, and the user's identifier,
   as the running application reads them. */
static void print_folder_dacl(void)
{
    static unsigned char descriptor[8192];
    DWORD needed = 0;
    wchar_t* text = NULL;
    if (!GetFileSecurityW(folder, DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor, &needed) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, NULL)) {
        write_line("dacl unreadable", L"");
        return;
    }
    write_line("dacl=", text);
    LocalFree(text);
    HANDLE token = NULL;
    unsigned char user[256];
    wchar_t* sid = NULL;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, user, sizeof user, &needed) &&
        ConvertSidToStringSidW(((TOKEN_USER*)user)->User.Sid, &sid)) {
        write_line("user=", sid);
        LocalFree(sid);
    }
    if (token != NULL) {
        CloseHandle(token);
    }
}

static void run_command(const wchar_t* command, int argc, wchar_t** argv, const wchar_t* module, int* status)
{
    char text[64];
    if (wcscmp(command, L"print-cmdline") == 0) {
        write_line("cmdline=", GetCommandLineW());
    } else if (wcscmp(command, L"print-args") == 0) {
        for (int i = 0; i < argc; ++i) {
            sprintf(text, "argv[%d]=[", i);
            write_bytes(text, (DWORD)strlen(text));
            write_wide(argv[i]);
            write_bytes("]\n", 2);
        }
    } else if (wcscmp(command, L"print-env") == 0) {
        print_environment();
    } else if (wcscmp(command, L"print-folder") == 0) {
        write_line("folder=", folder);
        write_line("module=", module);
    } else if (wcscmp(command, L"print-dacl") == 0) {
        print_folder_dacl();
    } else if (wcscmp(command, L"list-files") == 0) {
        visit_files(folder, print_listed_file, NULL);
#ifdef FIXTURE_HELPER
    } else if (wcscmp(command, L"helper") == 0) {
        write_line("helper=", helper_text());
#endif
    } else if (wcsncmp(command, L"exit=", 5) == 0) {
        *status = (int)wcstoul(command + 5, NULL, 0);
    } else if (wcscmp(command, L"crash") == 0) {
        *nowhere = 1;
    } else if (wcscmp(command, L"ignore-ctrl-c") == 0) {
        SetConsoleCtrlHandler(ignore_control_event, TRUE);
    } else if (wcsncmp(command, L"marker=", 7) == 0) {
        write_marker(command + 7);
    } else if (wcsncmp(command, L"sleep=", 6) == 0) {
        Sleep((DWORD)wcstoul(command + 6, NULL, 10));
    } else if (wcsncmp(command, L"remove=", 7) == 0) {
        sprintf(text, "removed=%d\n", DeleteFileW(path_in_folder(command + 7)) ? 1 : 0);
        write_bytes(text, (DWORD)strlen(text));
    } else if (wcsncmp(command, L"exists=", 7) == 0) {
        DWORD attributes = GetFileAttributesW(path_in_folder(command + 7));
        write_line(attributes == INVALID_FILE_ATTRIBUTES ? "absent=" : "present=", command + 7);
    } else if (wcsncmp(command, L"load=", 5) == 0) {
        /* A load by bare name, as an application that loads plug-ins by name makes it. */
        HMODULE loaded = LoadLibraryW(command + 5);
        if (loaded == NULL) {
            sprintf(text, "load-failed=%lu\n", GetLastError());
            write_bytes(text, (DWORD)strlen(text));
        } else {
            static wchar_t loaded_path[4096];
            GetModuleFileNameW(loaded, loaded_path, 4096);
            write_line("loaded=", loaded_path);
        }
    } else if (wcsncmp(command, L"print-file=", 11) == 0) {
        /* The first bytes of a file of the unpack folder, as the application reads them. */
        static char contents[256];
        DWORD read = 0;
        HANDLE file = CreateFileW(path_in_folder(command + 11), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE || !ReadFile(file, contents, sizeof contents, &read, NULL)) {
            read = 0;
        }
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        write_bytes("file=", 5);
        write_bytes(contents, read);
        write_bytes("\n", 1);
    } else if (wcsncmp(command, L"relaunch=", 9) == 0) {
        relaunch(argv[0], command + 9);
    }
}

static void carry_out_late_requests(int* status)
{
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
    if (variable(L"FIXTURE_EXIT", value)) {
        *status = (int)wcstoul(value, NULL, 0);
    }
}

__declspec(dllexport) int WINAPI run_code(int argc, wchar_t** argv, const wchar_t* main_module_path)
{
    unsigned long long entered = unix_time_ns();
    record(entered);
    wcsncpy(folder, main_module_path, 4095);
    folder[4095] = L'\0';
    wchar_t* last = wcsrchr(folder, L'\\');
    if (last != NULL) {
        *last = L'\0';
    }
    report_folder();
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        run_command(argv[i], argc, argv, main_module_path, &status);
    }
    carry_out_late_requests(&status);
    return status;
}
