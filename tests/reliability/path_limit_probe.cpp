// Finds how long a path this Wine lets a program create, for the long-path test: Wine hands
// each path to Linux under the prefix's drive folder, and Linux takes at most 4,095 bytes.
#include "tests/support/probe.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

bool can_create(const std::wstring& folder, size_t total)
{
    std::wstring path = folder + L"\\" + std::wstring(total - folder.size() - 1, L'f');
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    DeleteFileW(path.c_str());
    return true;
}

}  // namespace

// longest_path FOLDER: prints the length in UTF-16 units of the longest file path that can be
// created in FOLDER (ASCII names, at most 255 units for the file's own name), or 0.
VELDRA_PROBE(longest_path)
{
    const std::wstring folder = argv[0];
    size_t low = folder.size() + 1;  // a path that can certainly not be made: no name at all
    size_t high = std::min<size_t>(folder.size() + 1 + 255, 4095) + 1;
    while (high - low > 1) {
        size_t middle = (low + high) / 2;
        (can_create(folder, middle) ? low : high) = middle;
    }
    printf("%u\n", static_cast<unsigned>(low == folder.size() + 1 ? 0 : low));
    return 0;
}
