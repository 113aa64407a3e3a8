// Launcher runs counted through a job object, listings of unpacked folders, and the runner
// that the interrupt script starts launchers with.
#include "tests/reliability/counted_runs.h"

#include <algorithm>
#include <cstdio>

namespace {

void append_listing(const std::wstring& folder, const std::wstring& relative, std::vector<std::string>* lines)
{
    for (const auto& name : folder_entries(folder + relative)) {
        std::wstring path = folder + relative + L"\\" + name;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
            continue;
        }
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            append_listing(folder, relative + L"\\" + name, lines);
            continue;
        }
        unsigned long long size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        std::wstring name_in_folder = (relative + L"\\" + name).substr(1);
        lines->push_back(std::to_string(size) + "\t" + utf8(name_in_folder));
    }
}

}  // namespace

counted_launch start_counted(const std::wstring& executable, const std::wstring& command_line,
                             const std::wstring& temp, const environment_changes& changes)
{
    // Captured beside this process's own temp files, never in `temp`: a test may fill that.
    wchar_t own_temp[MAX_PATH];
    GetTempPathW(MAX_PATH, own_temp);
    std::wstring stem = std::wstring(own_temp) + L"veldra_capture_" + std::to_wstring(GetCurrentProcessId());
    environment_changes all = changes;
    all.emplace_back(L"TMP", temp);
    all.emplace_back(L"TEMP", temp);
    return start_process(executable, command_line, stem, all, L"", start_as::in_job);
}

counted_result finish_counted(counted_launch& started)
{
    counted_result result;
    result.run = finish_process(started);
    result.processes = result.run.processes;
    return result;
}

std::vector<std::string> listing_of(const std::wstring& folder)
{
    std::vector<std::string> lines;
    append_listing(folder, L"", &lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> read_listing(const std::wstring& path)
{
    std::vector<std::string> lines;
    std::string text = read_text_file(path);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string read_text_file(const std::wstring& path)
{
    return file_exists(path) ? read_file_bytes(path) : "<missing>";
}

bool file_exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

// Not inherited, unlike SetConsoleCtrlHandler(NULL, TRUE), which the launcher would inherit.
BOOL WINAPI ignore_control_event(DWORD)
{
    return TRUE;
}

}  // namespace

// run_counted RESULT_FILE TEMP EXE [ARGS...]: runs EXE with TMP and TEMP set to TEMP, copies
// its output to ours, and writes "0x%08lx N" (its 32-bit status and the number of processes
// the run made) to RESULT_FILE. Ctrl+C sent to the launcher's process group passes it by.
VELDRA_PROBE(run_counted)
{
    SetConsoleCtrlHandler(ignore_control_event, TRUE);
    std::wstring line = quote_argument(argv[2]);
    for (int i = 3; i < argc; ++i) {
        line += L" " + quote_argument(argv[i]);
    }
    counted_launch started = start_counted(argv[2], line, argv[1]);
    counted_result result = finish_counted(started);
    fwrite(result.run.out.data(), 1, result.run.out.size(), stdout);
    fwrite(result.run.err.data(), 1, result.run.err.size(), stderr);
    FILE* file = _wfopen(argv[0], L"wb");
    if (file != nullptr) {
        fprintf(file, "0x%08lx %lu\n", result.run.exit_code, result.processes);
        fclose(file);
    }
    return 0;
}
