// Listings of unpacked folders, and the runner that the interrupt script starts launchers
// with.
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
    std::string text = read_file_bytes(path);
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
    started_process started = start_launcher(argv[2], line, argv[1], {}, L"", start_as::in_job);
    process_result result = finish_process(started);
    fwrite(result.out.data(), 1, result.out.size(), stdout);
    fwrite(result.err.data(), 1, result.err.size(), stderr);
    FILE* file = _wfopen(argv[0], L"wb");
    if (file != nullptr) {
        fprintf(file, "0x%08lx %lu\n", result.exit_code, result.processes);
        fclose(file);
    }
    return 0;
}
