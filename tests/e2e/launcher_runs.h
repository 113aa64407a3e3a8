// Running packed launchers as a user would, each test with a temp folder of its own: Wine
// takes TMP and TEMP from its registry, but a Windows parent's environment reaches its child.
#ifndef VELDRA_TESTS_E2E_LAUNCHER_RUNS_H
#define VELDRA_TESTS_E2E_LAUNCHER_RUNS_H

#include "tests/support/probe.h"

#include <windows.h>

#include <string>
#include <vector>

// A file of the folder that the fixture step fills (VELDRA_E2E_DIR), and a packed fixture
// executable in it by name ("probe" gives <VELDRA_E2E_DIR>\probe.exe).
std::wstring fixture_file(const std::wstring& name);
std::wstring packed_executable(const std::wstring& name);

// A fresh, empty folder of this test process; removed again by remove_tree.
std::wstring make_temp_folder();
// Names in the folder, "." and ".." left out.
std::vector<std::wstring> folder_entries(const std::wstring& folder);
void remove_tree(const std::wstring& folder);

typedef started_process launch;

// Starts `executable` with the whole `command_line` (its own name first), TMP and TEMP set to
// `temp`, stdio captured; `directory` empty keeps the current one.
launch start_launcher(const std::wstring& executable, const std::wstring& command_line, const std::wstring& temp,
                      const environment_changes& changes = {}, const std::wstring& directory = L"",
                      start_as mode = start_as::running);
// Waits for the end and collects status and output.
process_result finish(launch& started);

// The values of every output line that starts with `key` (UTF-8 text after the key).
std::vector<std::string> values_of(const std::string& out, const std::string& key);
std::string value_of(const std::string& out, const std::string& key);

std::string utf8(const std::wstring& text);

#endif
