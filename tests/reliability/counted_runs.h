// Launcher runs inside a job object, so that a test sees how many processes a run made: a
// parent that stops before its child has made exactly one. Also the listings that the
// fixture application writes, and the same listing of a folder made by the test itself.
#ifndef VELDRA_TESTS_RELIABILITY_COUNTED_RUNS_H
#define VELDRA_TESTS_RELIABILITY_COUNTED_RUNS_H

#include "tests/e2e/launcher_runs.h"

#include <windows.h>

#include <string>
#include <vector>

typedef started_process counted_launch;

struct counted_result {
    process_result run;
    unsigned long processes = 0;  // the launcher itself included
};

// Like start_launcher: TMP and TEMP set to `temp`, stdio captured; the process is put into
// a job of its own before its first instruction runs.
counted_launch start_counted(const std::wstring& executable, const std::wstring& command_line,
                             const std::wstring& temp, const environment_changes& changes = {});
counted_result finish_counted(counted_launch& started);

// Every file under `folder`: "size<TAB>relative\name" in UTF-8, sorted; the format the
// fixture application writes when FIXTURE_LIST names a file.
std::vector<std::string> listing_of(const std::wstring& folder);
// A listing file as written by the fixture application, sorted.
std::vector<std::string> read_listing(const std::wstring& path);
// The whole file, or "<missing>".
std::string read_text_file(const std::wstring& path);
bool file_exists(const std::wstring& path);

#endif
