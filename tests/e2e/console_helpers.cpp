// Windows-side helpers of the console-control script: a runner that gives the launcher a temp
// folder of its own and records its 32-bit status, and a process that holds a file open.
#include "tests/support/launcher_runs.h"

#include <cstdio>
#include <cwchar>

namespace {

// Not inherited, unlike SetConsoleCtrlHandler(NULL, TRUE), which the launcher would inherit.
BOOL WINAPI ignore_control_event(DWORD)
{
    return TRUE;
}

void write_text(const wchar_t* path, const std::string& text)
{
    FILE* file = _wfopen(path, L"wb");
    if (file != nullptr) {
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
    }
}

}  // namespace

// run_in_temp STATUS_FILE TEMP EXE [ARGS...]: runs EXE with TMP and TEMP set to TEMP, copies its
// output to ours and writes its exit status as 0x%08lx to STATUS_FILE.
VELDRA_PROBE(run_in_temp)
{
    SetConsoleCtrlHandler(ignore_control_event, TRUE);
    started_process started = start_launcher(argv[2], command_line_of(argc - 2, argv + 2), argv[1]);
    process_result result = finish_process(started);
    fwrite(result.out.data(), 1, result.out.size(), stdout);
    fwrite(result.err.data(), 1, result.err.size(), stderr);
    char status[32];
    snprintf(status, sizeof status, "0x%08lx\n", result.exit_code);
    write_text(argv[0], status);
    return 0;
}

// hold_file PATH MARKER MILLISECONDS: opens PATH without delete sharing, writes MARKER, keeps
// the file open for the time given.
VELDRA_PROBE(hold_file)
{
    SetConsoleCtrlHandler(ignore_control_event, TRUE);
    HANDLE file = CreateFileW(argv[0], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    write_text(argv[1], "held\n");
    Sleep(wcstoul(argv[2], nullptr, 10));
    CloseHandle(file);
    return 0;
}

// try_to_move PATH...: renames each path aside and back, as someone replacing it would, and
// prints "<path> moved" or "<path> refused <code>" for each.
VELDRA_PROBE(try_to_move)
{
    for (int i = 0; i < argc; ++i) {
        const std::wstring aside = std::wstring(argv[i]) + L".moved";
        if (MoveFileExW(argv[i], aside.c_str(), 0)) {
            MoveFileExW(aside.c_str(), argv[i], 0);
            printf("%ls moved\n", argv[i]);
        } else {
            printf("%ls refused %lu\n", argv[i], GetLastError());
        }
    }
    return 0;
}
