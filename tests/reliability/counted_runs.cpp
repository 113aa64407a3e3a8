// Launcher runs counted through a job object, listings of unpacked folders, and the runner
// that the interrupt script starts launchers with.
#include "tests/reliability/counted_runs.h"

#include <algorithm>
#include <cstdio>

namespace {

HANDLE create_capture_file(const std::wstring& path)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Sets the variables in this process and returns what they were.
environment_changes swap_environment(const environment_changes& changes)
{
    environment_changes previous;
    static wchar_t value[32768];
    for (const auto& change : changes) {
        DWORD length = GetEnvironmentVariableW(change.first.c_str(), value, 32768);
        previous.emplace_back(change.first, length > 0 && length < 32768 ? std::optional<std::wstring>(value)
                                                                         : std::nullopt);
        SetEnvironmentVariableW(change.first.c_str(), change.second ? change.second->c_str() : nullptr);
    }
    return previous;
}

bool create_in_job(const std::wstring& executable, const std::wstring& command_line, STARTUPINFOW* startup,
                   counted_launch* started)
{
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(executable.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                        startup, &info)) {
        return false;
    }
    started->job = CreateJobObjectW(nullptr, nullptr);
    AssignProcessToJobObject(started->job, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    started->process = info.hProcess;
    return true;
}

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
    static int serial = 0;
    wchar_t own_temp[MAX_PATH];
    GetTempPathW(MAX_PATH, own_temp);
    counted_launch started;
    std::wstring stem = std::wstring(own_temp) + L"veldra_capture_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                        std::to_wstring(++serial);
    started.out_path = stem + L".out";
    started.err_path = stem + L".err";
    HANDLE out = create_capture_file(started.out_path);
    HANDLE err = create_capture_file(started.err_path);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;

    environment_changes all = changes;
    all.emplace_back(L"TMP", temp);
    all.emplace_back(L"TEMP", temp);
    environment_changes previous = swap_environment(all);
    create_in_job(executable, command_line, &startup, &started);
    swap_environment(previous);
    CloseHandle(out);
    CloseHandle(err);
    return started;
}

counted_result finish_counted(counted_launch& started)
{
    counted_result result;
    if (started.process == nullptr) {
        result.run.exit_code = 0xFFFFFFFF;
        result.run.err = "CreateProcessW failed";
        return result;
    }
    WaitForSingleObject(started.process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(started.process, &code);
    result.run.exit_code = code;
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (QueryInformationJobObject(started.job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                  nullptr)) {
        result.processes = accounting.TotalProcesses;
    }
    CloseHandle(started.process);
    CloseHandle(started.job);
    started.process = nullptr;
    started.job = nullptr;
    result.run.out = read_file_bytes(started.out_path);
    result.run.err = read_file_bytes(started.err_path);
    DeleteFileW(started.out_path.c_str());
    DeleteFileW(started.err_path.c_str());
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
