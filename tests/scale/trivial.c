/* The cost of one process start under the same Wine: alone it returns at once; with "spawn"
 * it starts itself once more with inherited handles and waits, as the launcher's parent does.
 * Built with TRIVIAL_SHELL32 it imports SHELL32 as the launcher does, and splits its command
 * line with it, so that the two builds differ by what that import loads. With "load PATH" it
 * loads that DLL as the launcher's child loads the main module, and returns; "spawn load PATH"
 * has the second process load it. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <wchar.h>
#ifdef TRIVIAL_SHELL32
#include <shellapi.h>
#endif

int wmain(int argc, wchar_t** argv)
{
#ifdef TRIVIAL_SHELL32
    int count;
    LocalFree(CommandLineToArgvW(GetCommandLineW(), &count));
#endif
    if (argc > 2 && wcscmp(argv[1], L"load") == 0) {
        return LoadLibraryExW(argv[2], NULL, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32) ? 0 : 1;
    }
    if (argc > 1 && wcscmp(argv[1], L"spawn") == 0) {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(NULL, self, MAX_PATH);
        wchar_t line[MAX_PATH + 32] = L"trivial";
        if (argc > 3 && wcscmp(argv[2], L"load") == 0) {
            _snwprintf(line, MAX_PATH + 32, L"trivial load \"%ls\"", argv[3]);
            line[MAX_PATH + 31] = 0;
        }
        STARTUPINFOW startup = {0};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info;
        if (!CreateProcessW(self, line, NULL, NULL, TRUE, NORMAL_PRIORITY_CLASS, NULL, NULL, &startup, &info)) {
            return 1;
        }
        DWORD status = 1;
        WaitForSingleObject(info.hProcess, INFINITE);
        GetExitCodeProcess(info.hProcess, &status);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        return (int)status;
    }
    return 0;
}
