// The test kit: folders, files and the empty-folder check (see kit.h).
#include "tests/support/kit.h"

#include <gtest/gtest.h>

#include <cstdio>

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

void expect_folder_empty(const std::wstring& folder)
{
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    ASSERT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        << "no folder " << utf8(folder);
    std::string names;
    for (const auto& name : folder_entries(folder)) {
        names += utf8(name) + " ";
    }
    EXPECT_EQ("", names) << "left in " << utf8(folder);
}

std::wstring system_temp_folder()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = temp;
    while (!folder.empty() && folder.back() == L'\\') {
        folder.pop_back();
    }
    return folder;
}

std::wstring temp_path_for(const std::wstring& stem)
{
    return system_temp_folder() + L"\\veldra_" + stem + L"_" + std::to_wstring(GetCurrentProcessId());
}

std::wstring make_temp_folder(const std::wstring& parent)
{
    static int serial = 0;
    const std::wstring name = L"veldra_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++serial);
    std::wstring folder = (parent.empty() ? system_temp_folder() : parent) + L"\\" + name;
    remove_tree(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

std::string read_file_bytes(const std::wstring& path)
{
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return "<missing>";
    }
    std::string bytes;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    fclose(file);
    return bytes;
}

void write_file_bytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << utf8(path);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    EXPECT_EQ(bytes.size(), written) << utf8(path);
}

bool file_exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
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
