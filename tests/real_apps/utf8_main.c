/* A real program's main as a main module: run_code hands the program's own main, renamed to
 * APPLICATION_MAIN when its source is compiled into this module, its arguments in UTF-8, which
 * is what a narrow main of these programs expects of them on Windows. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdlib.h>

int APPLICATION_MAIN(int argc, char** argv);

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
    return APPLICATION_MAIN(argc, arguments);
}
