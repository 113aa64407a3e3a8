// Helpers of the end-to-end tests: temp folders, launcher starts with captured output.
#include "tests/e2e/launcher_runs.h"

#include <cstdio>
#include <cwchar>

#ifndef VELDRA_E2E_DIR
#define VELDRA_E2E_DIR L"."
#endif

std::wstring fixture_file(const std::wstring& name)
{
    return std::wstring(VELDRA_E2E_DIR) + L"\\" + name;
}

std::wstring packed_executable(const std::wstring& name)
{
    return fixture_file(name + L".exe");
}

std::wstring make_temp_folder()
{
    static int serial = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"veldra_e2e_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                          std::to_wstring(++serial);
    remove_tree(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

std::vector<std::wstring> folder_entries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

void remove_tree(const std::wstring& folder)
{
    for (const auto& name : folder_entries(folder)) {
        std::wstring path = folder + L"\\" + name;
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            remove_tree(path);
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    }
    RemoveDirectoryW(folder.c_str());
}

launch start_launcher(const std::wstring& executable, const std::wstring& command_line, const std::wstring& temp,
                      const environment_changes& changes, const std::wstring& directory, start_as mode)
{
    environment_changes all = changes;
    all.emplace_back(L"TMP", temp);
    all.emplace_back(L"TEMP", temp);
    return start_process(executable, command_line, temp + L"_capture", all, directory, mode);
}

process_result finish(launch& started)
{
    return finish_process(started);
}

std::vector<std::string> values_of(const std::string& out, const std::string& key)
{
    std::vector<std::string> values;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) {
            end = out.size();
        }
        std::string line = out.substr(at, end - at);
        if (line.compare(0, key.size(), key) == 0) {
            values.push_back(line.substr(key.size()));
        }
        at = end + 1;
    }
    return values;
}

std::string value_of(const std::string& out, const std::string& key)
{
    std::vector<std::string> values = values_of(out, key);
    return values.empty() ? "(missing)" : values.front();
}

std::string utf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

