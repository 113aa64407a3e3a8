// The listings that the fixture application writes, and the same listing of a folder made by
// the test itself. Runs go inside a job object (start_launcher with start_as::in_job), so that
// a test sees how many processes a run made: a parent that stops before its child made one.
#ifndef VELDRA_TESTS_RELIABILITY_COUNTED_RUNS_H
#define VELDRA_TESTS_RELIABILITY_COUNTED_RUNS_H

#include "tests/support/launcher_runs.h"

#include <windows.h>

#include <string>
#include <vector>

// Every file under `folder`: "size<TAB>relative\name" in UTF-8, sorted; the format the
// fixture application writes when FIXTURE_LIST names a file.
std::vector<std::string> listing_of(const std::wstring& folder);
// A listing file as written by the fixture application, sorted.
std::vector<std::string> read_listing(const std::wstring& path);

#endif
