/* The example application: shows what a program packed by Veldra receives. The launcher's
   child loads this DLL from the unpack folder and calls run_code with its arguments.
   "--exit N" picks the exit status (decimal or 0x hex). */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "greeting.h"

/* Wide text as UTF-8, so that any name survives the trip to a terminal or a pipe. */
static void print_wide(const wchar_t* text)
{
    char bytes[4 * MAX_PATH * 4];
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, NULL, NULL);
    if (size > 0) {
        fputs(bytes, stdout);
    }
}

static void print_line(const char* label, const wchar_t* value)
{
    fputs(label, stdout);
    print_wide(value);
    fputs("\n", stdout);
}

static void print_variable(const char* name)
{
    wchar_t wide_name[64];
    wchar_t value[32768];
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide_name, 64);
    DWORD length = GetEnvironmentVariableW(wide_name, value, 32768);
    printf("  %s = ", name);
    if (length == 0 || length >= 32768) {
        fputs("(not set)\n", stdout);
    } else {
        print_line("", value);
    }
}

/* Every file below `folder`, with its size, by its name relative to `root_length`. */
static void list_files(const wchar_t* folder, size_t root_length)
{
    wchar_t pattern[4096];
    swprintf(pattern, 4096, L"%ls\\*", folder);
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
        swprintf(path, 4096, L"%ls\\%ls", folder, found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            list_files(path, root_length);
        } else {
            printf("  %8lu  ", found.nFileSizeLow);
            print_line("", path + root_length + 1);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

static void print_file(const wchar_t* folder, const wchar_t* name)
{
    wchar_t path[4096];
    swprintf(path, 4096, L"%ls\\%ls", folder, name);
    FILE* file = _wfopen(path, L"r");
    if (file == NULL) {
        print_line("  could not open ", path);
        return;
    }
    char line[512];
    while (fgets(line, sizeof line, file) != NULL) {
        printf("  %s", line);
    }
    fclose(file);
}

static int exit_status_from(int argc, wchar_t** argv)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (wcscmp(argv[i], L"--exit") == 0) {
            return (int)wcstoul(argv[i + 1], NULL, 0);
        }
    }
    return 0;
}

int WINAPI run_code(int argc, wchar_t** argv, const wchar_t* main_module_path)
{
    printf("Arguments (%d):\n", argc);
    for (int i = 0; i < argc; ++i) {
        printf("  argv[%d] = [", i);
        print_wide(argv[i]);
        puts("]");
    }

    puts("Variables set by the launcher:");
    print_variable("VELDRA_ONEFILE_DIRECTORY");
    print_variable("VELDRA_ORIGINAL_ARGV0");

    wchar_t folder[4096];
    wcsncpy(folder, main_module_path, 4095);
    folder[4095] = L'\0';
    wchar_t* last = wcsrchr(folder, L'\\');
    if (last != NULL) {
        *last = L'\0';
    }
    print_line("Running from:\n  ", folder);
    puts("Files found there:");
    list_files(folder, wcslen(folder));

    print_line("From the imported DLL:\n  ", greeting_text());
    puts("From a data file:");
    print_file(folder, L"data\\messages\\welcome.txt");

    int status = exit_status_from(argc, argv);
    printf("Returning exit status %d.\n", status);
    return status;
}
