// Running packed launchers as a user would, each test with a temp folder of its own: Wine
// takes TMP and TEMP from its registry, but a Windows parent's environment reaches its child.
#ifndef VELDRA_TESTS_SUPPORT_LAUNCHER_RUNS_H
#define VELDRA_TESTS_SUPPORT_LAUNCHER_RUNS_H

#include "tests/support/kit.h"
#include "tests/support/probe.h"

#include <windows.h>

#include <string>
#include <vector>

// The folder that a suite's fixture step fills, given to its test executable at build time.
#ifndef VELDRA_E2E_DIR
#define VELDRA_E2E_DIR L"."
#endif

// A file of the fixture folder, and a packed fixture executable in it by name ("probe" gives
// <VELDRA_E2E_DIR>\probe.exe).
inline std::wstring fixture_file(const std::wstring& name)
{
    return std::wstring(VELDRA_E2E_DIR) + L"\\" + name;
}
inline std::wstring packed_executable(const std::wstring& name)
{
    return fixture_file(name + L".exe");
}

// Starts `executable` with the whole `command_line` (its own name first), TMP and TEMP set to
// `temp`, stdio captured in this process's own temp folder, never in `temp`, which a test may
// fill; `directory` empty keeps the current one. start_as::in_job counts the processes the
// run makes. finish_process collects status and output.
started_process start_launcher(const std::wstring& executable, const std::wstring& command_line,
                               const std::wstring& temp, const environment_changes& changes = {},
                               const std::wstring& directory = L"", start_as mode = start_as::running);

// The values of every output line that starts with `key` (UTF-8 text after the key).
std::vector<std::string> values_of(const std::string& out, const std::string& key);
std::string value_of(const std::string& out, const std::string& key);

#endif
