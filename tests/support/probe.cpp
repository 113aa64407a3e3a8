// Probe registry and the process runner used by tests that watch a whole process.
#include "tests/support/probe.h"

#include "launcher/command_line.h"
#include "os/win_calls.h"
#include "tests/support/kit.h"
#include "tests/support/scoped_variable.h"

#include <cstdio>
#include <cwchar>
#include <list>
#include <map>

namespace {

std::map<std::wstring, probe_function>& probes()
{
    static std::map<std::wstring, probe_function> registry;
    return registry;
}

const wchar_t probe_flag[] = L"--veldra-probe";

}  // namespace

std::string system_text(unsigned long code)
{
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                  reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length ? std::string(text, length) : std::string();
    LocalFree(text);
    while (!result.empty() && (result.back() == '\r' || result.back() == '\n')) {
        result.pop_back();
    }
    return result;
}

namespace {

HANDLE create_capture_file(const std::wstring& path)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

probe_registration::probe_registration(const wchar_t* name, probe_function function)
{
    probes()[name] = function;
}

bool run_requested_probe(int argc, wchar_t** argv, int* status)
{
    if (argc < 3 || wcscmp(argv[1], probe_flag) != 0) {
        return false;
    }
    auto found = probes().find(argv[2]);
    if (found == probes().end()) {
        fwprintf(stderr, L"no probe named %ls\n", argv[2]);
        *status = 99;
        return true;
    }
    *status = found->second(argc - 3, argv + 3);
    return true;
}

std::wstring this_executable_path()
{
    wchar_t path[4096];
    GetModuleFileNameW(nullptr, path, 4096);
    return path;
}

std::wstring quote_argument(const std::wstring& argument)
{
    // At the most two units for each one, the quotes and the terminator.
    std::vector<wchar_t> quoted(argument.size() * 2 + 3, L'\0');
    append_argument(quoted.data(), argument.c_str(), quoted.size());
    return quoted.data();
}

enum { process_start_attempts = 3 };

started_process start_process(const std::wstring& application, const std::wstring& command_line,
                              const std::wstring& capture_stem, const environment_changes& changes,
                              const std::wstring& directory, start_as mode)
{
    static int serial = 0;
    started_process started;
    std::wstring stem = capture_stem + L"_" + std::to_wstring(++serial);
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
    PROCESS_INFORMATION info = {};
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(L'\0');

    // Set in this process for the child to inherit, and put back in the reverse order, so that
    // a variable named twice gets its first value back.
    std::list<scoped_variable> for_the_child;
    for (const auto& change : changes) {
        for_the_child.emplace_back(change.first.c_str(), change.second);
    }
    // Wine has been seen to fail a process start outright, once in many hundred, before the
    // program's first instruction; a few tries keep that out of the tests of what the program does.
    BOOL created = FALSE;
    for (int attempt = 0; attempt < process_start_attempts && !created; ++attempt) {
        if (attempt > 0) {
            Sleep(200);
        }
        created = CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                                 mode == start_as::running ? 0 : CREATE_SUSPENDED, nullptr,
                                 directory.empty() ? nullptr : directory.c_str(), &startup, &info);
        started.start_error = created ? 0 : GetLastError();
    }
    while (!for_the_child.empty()) {
        for_the_child.pop_back();
    }
    CloseHandle(out);
    CloseHandle(err);
    if (created) {
        started.process = info.hProcess;
        started.thread = info.hThread;
        started.id = info.dwProcessId;
        if (mode == start_as::in_job) {
            started.job = CreateJobObjectW(nullptr, nullptr);
            AssignProcessToJobObject(started.job, info.hProcess);
        }
        if (mode != start_as::suspended) {
            resume_process(started);
        }
    }
    return started;
}

void resume_process(started_process& started)
{
    if (started.thread != nullptr) {
        ResumeThread(started.thread);
        CloseHandle(started.thread);
        started.thread = nullptr;
    }
}

process_result finish_process(started_process& started)
{
    process_result result;
    if (started.process == nullptr) {
        result.exit_code = 0xFFFFFFFF;
        result.err = "CreateProcessW failed with error " + std::to_string(started.start_error);
        return result;
    }
    resume_process(started);
    WaitForSingleObject(started.process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(started.process, &code);
    CloseHandle(started.process);
    started.process = nullptr;
    result.exit_code = code;
    if (started.job != nullptr) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
        if (QueryInformationJobObject(started.job, JobObjectBasicAccountingInformation, &accounting,
                                      sizeof accounting, nullptr)) {
            result.processes = accounting.TotalProcesses;
        }
        CloseHandle(started.job);
        started.job = nullptr;
    }
    result.out = read_file_bytes(started.out_path);
    result.err = read_file_bytes(started.err_path);
    DeleteFileW(started.out_path.c_str());
    DeleteFileW(started.err_path.c_str());
    return result;
}

process_result run_process(const std::wstring& application, const std::wstring& command_line,
                           const environment_changes& changes)
{
    started_process started = start_process(application, command_line, temp_path_for(L"capture"), changes);
    return finish_process(started);
}

process_result run_probe(const std::wstring& name, const std::vector<std::wstring>& arguments,
                         const environment_changes& changes)
{
    std::wstring self = this_executable_path();
    std::wstring line = quote_argument(self) + L" " + probe_flag + L" " + name;
    for (const auto& argument : arguments) {
        line += L" " + quote_argument(argument);
    }
    return run_process(self, line, changes);
}

std::string narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text) {
        result += static_cast<char>(c);
    }
    return result;
}

std::wstring widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}
