/* The SQLite shell as a main module: run_code hands the shell's main its arguments in UTF-8,
 * which is what the shell expects of them when it is built with a narrow main. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdlib.h>

/* The shell's own main, renamed when shell.c is compiled into this module. */
int sqlite_shell_main(int argc, char** argv);

static char* utf8_of(const wchar_t* text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char* converted = size > 0 ? (char*)malloc((size_t)size) : NULL;
    if (converted == NULL || WideCharToMultiByte(CP_UTF8, 0, text, -1, converted, size, NULL, NULL) != size) {
        ExitProcess(120);
    }
    return converted;
}

int WINAPI run_code(int argc, wchar_t** argv, const wchar_t* main_module_path)
{
    (void)main_module_path;
    char** arguments = (char**)calloc((size_t)argc + 1, sizeof *arguments);
    if (arguments == NULL) {
        return 120;
    }
    for (int i = 0; i < argc; ++i) {
        arguments[i] = utf8_of(argv[i]);
    }
    return sqlite_shell_main(argc, arguments);
}
