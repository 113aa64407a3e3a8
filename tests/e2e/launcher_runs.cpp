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

namespace {

HANDLE create_capture_file(const std::wstring& path)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string read_whole_file(const std::wstring& path)
{
    std::string bytes;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return bytes;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    fclose(file);
    return bytes;
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

}  // namespace

launch start_launcher(const std::wstring& executable, const std::wstring& command_line, const std::wstring& temp,
                      const environment_changes& changes, const std::wstring& directory)
{
    static int serial = 0;
    launch started;
    std::wstring stem = temp + L"_capture_" + std::to_wstring(++serial);
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

    environment_changes all = changes;
    all.emplace_back(L"TMP", temp);
    all.emplace_back(L"TEMP", temp);
    environment_changes previous = swap_environment(all);
    BOOL created = CreateProcessW(executable.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  directory.empty() ? nullptr : directory.c_str(), &startup, &info);
    swap_environment(previous);
    CloseHandle(out);
    CloseHandle(err);
    if (created) {
        CloseHandle(info.hThread);
        started.process = info.hProcess;
        started.id = info.dwProcessId;
    }
    return started;
}

process_result finish(launch& started)
{
    process_result result;
    if (started.process == nullptr) {
        result.exit_code = 0xFFFFFFFF;
        result.err = "CreateProcessW failed";
        return result;
    }
    WaitForSingleObject(started.process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(started.process, &code);
    CloseHandle(started.process);
    started.process = nullptr;
    result.exit_code = code;
    result.out = read_whole_file(started.out_path);
    result.err = read_whole_file(started.err_path);
    DeleteFileW(started.out_path.c_str());
    DeleteFileW(started.err_path.c_str());
    return result;
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

std::string system_text(unsigned long code)
{
    char* text = nullptr;
    DWORD length = FormatMessageA(0x1300, nullptr, code, 0x0409, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length ? std::string(text, length) : std::string();
    while (!result.empty() && (result.back() == '\r' || result.back() == '\n')) {
        result.pop_back();
    }
    return result;
}
