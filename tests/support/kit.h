// The test kit of the Windows-side tests: temp folders of a test's own, the one file reader,
// and the check that a run left nothing behind.
#ifndef VELDRA_TESTS_SUPPORT_KIT_H
#define VELDRA_TESTS_SUPPORT_KIT_H

#include "tests/support/probe.h"

#include <string>
#include <vector>

// Names in the folder, "." and ".." left out; none for a folder that cannot be listed.
std::vector<std::wstring> folder_entries(const std::wstring& folder);
// Removes the folder and everything in it, read-only files included.
void remove_tree(const std::wstring& folder);
// Fails the test unless the folder exists and holds nothing, naming what is left.
void expect_folder_empty(const std::wstring& folder);

// The temp folder of this process without its trailing backslash, as {TEMP} gives it.
std::wstring system_temp_folder();
// A name in the temp folder for this process, "veldra_<stem>_<process id>"; nothing is made.
std::wstring temp_path_for(const std::wstring& stem);

// A fresh, empty folder of this test process under `parent` (the temp folder when empty),
// named from the process and a serial: Wine reuses process identifiers, so a name an earlier
// process left behind is removed first.
std::wstring make_temp_folder(const std::wstring& parent = L"");

// A folder from make_temp_folder, removed with everything in it at the end of the scope; its
// environment() hands it to a launcher as TMP and TEMP.
class scoped_temp_folder {
public:
    explicit scoped_temp_folder(const std::wstring& parent = L"") : path(make_temp_folder(parent)) {}
    ~scoped_temp_folder() { remove_tree(path); }
    scoped_temp_folder(const scoped_temp_folder&) = delete;
    scoped_temp_folder& operator=(const scoped_temp_folder&) = delete;
    environment_changes environment() const { return {{L"TMP", path}, {L"TEMP", path}}; }
    const std::wstring path;
};

// The whole content of a file; "<missing>" when it cannot be opened.
std::string read_file_bytes(const std::wstring& path);
// Makes or replaces the file with exactly `bytes`; a file that cannot be made fails the test.
void write_file_bytes(const std::wstring& path, const std::string& bytes);
bool file_exists(const std::wstring& path);

std::string utf8(const std::wstring& text);

#endif
