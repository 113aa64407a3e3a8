// Probes: named routines that a test runs in a fresh copy of its own executable, for
// behaviour that ends a process or depends on the process's start (exit status, streams).
#ifndef VELDRA_TESTS_PROBE_H
#define VELDRA_TESTS_PROBE_H

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

typedef int (*probe_function)(int argc, wchar_t** argv);

struct probe_registration {
    probe_registration(const wchar_t* name, probe_function function);
};

// VELDRA_PROBE(name) { ... return status; } — argc/argv hold the arguments after the name.
#define VELDRA_PROBE(name)                                                                  \
    static int probe_##name(int argc, wchar_t** argv);                                      \
    static probe_registration probe_registration_##name(L## #name, probe_##name);           \
    static int probe_##name([[maybe_unused]] int argc, [[maybe_unused]] wchar_t** argv)

// Runs the registered probe when argv asks for one; returns true and sets *status if so.
bool run_requested_probe(int argc, wchar_t** argv, int* status);

struct process_result {
    unsigned long exit_code = 0;
    std::string out;  // bytes written to standard output
    std::string err;  // bytes written to standard error
    unsigned long processes = 0;  // processes the run made, itself included (runs in a job only)
};

// A value of std::nullopt removes the variable; an empty text sets it empty.
typedef std::vector<std::pair<std::wstring, std::optional<std::wstring>>> environment_changes;

// How start_process leaves the process: running; in a job of its own, put there before its
// first instruction runs, so that finish_process can tell how many processes the run made; or
// suspended before its first instruction, until resume_process, so that a test can prepare
// what depends on its identifier.
enum class start_as { running, in_job, suspended };

// A process started with its standard output and error captured into files.
struct started_process {
    HANDLE process = nullptr;
    HANDLE thread = nullptr;  // kept while the process waits suspended
    HANDLE job = nullptr;
    DWORD id = 0;
    DWORD start_error = 0;  // GetLastError of a CreateProcessW that failed
    std::wstring out_path;
    std::wstring err_path;
};

// Starts `application` with `command_line` (the whole line, program name included), stdio
// captured into files named from `capture_stem`; the variables in `changes` are set for the
// child only; an empty `directory` keeps the current one.
started_process start_process(const std::wstring& application, const std::wstring& command_line,
                              const std::wstring& capture_stem, const environment_changes& changes = {},
                              const std::wstring& directory = L"", start_as mode = start_as::running);
// Lets a process started suspended run.
void resume_process(started_process& started);
// Waits for the end and returns what the process wrote and its 32-bit exit status.
process_result finish_process(started_process& started);

// start_process and finish_process in one, capturing into the temp folder.
process_result run_process(const std::wstring& application, const std::wstring& command_line,
                           const environment_changes& changes = {});

// Runs a probe of this test executable in a new process.
process_result run_probe(const std::wstring& name, const std::vector<std::wstring>& arguments = {},
                         const environment_changes& changes = {});

// Quotes one argument with the launcher's own quoting (launcher/command_line.h), which its
// tests check against the system's split, CommandLineToArgvW.
std::wstring quote_argument(const std::wstring& argument);

std::wstring this_executable_path();
// The system's US English text for an error code, without its line end.
std::string system_text(unsigned long code);
std::string narrow(const std::wstring& text);
std::wstring widen(const std::string& text);

#endif
