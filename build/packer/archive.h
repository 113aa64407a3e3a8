// The archive stream: entries collected from an application folder in the launcher's order,
// and the stream written from them, file by file, without holding any file whole.
#ifndef VELDRA_PACKER_ARCHIVE_H
#define VELDRA_PACKER_ARCHIVE_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace packer {

// What a file is, whatever name leads to it: device and inode (volume serial and file index
// on Windows).
struct file_identity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const file_identity& other) const { return device == other.device && inode == other.inode; }
    bool operator!=(const file_identity& other) const { return !(*this == other); }
};

struct archive_entry {
    std::filesystem::path source;
    std::u16string name;  // backslashes, UTF-16
    uint64_t size = 0;
    file_identity identity;  // of the file the listing opened
};

// The main module first; then the files of each folder in ascending byte order of their
// names, before the subfolders, which follow in ascending byte order. Throws packer_error for
// a missing folder or main module, a bad name, or a file that cannot be read.
std::vector<archive_entry> collect_entries(const std::filesystem::path& app_dir, const std::string& main_name);

// `name` as Windows compares names, one UTF-16 unit at a time: two names with the same folded
// form are one file there.
std::u16string windows_folded(const std::u16string& name);

// Length of the whole stream: names, zero units, sizes, data and the terminator.
uint64_t archive_stream_size(const std::vector<archive_entry>& entries);

// Receives the stream piece by piece.
using byte_sink = std::function<void(const char* data, size_t size)>;

// Writes the stream; throws packer_error when a file cannot be read, is no longer the file that
// was listed (another file or a link put in its place), or no longer has the size it had.
void write_archive_stream(const std::vector<archive_entry>& entries, const byte_sink& sink);

}  // namespace packer

#endif
