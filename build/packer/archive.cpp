// Collecting an application folder into archive entries and streaming them out.
#include "archive.h"

#include "error.h"
#include "names.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace packer {

namespace {

struct folder_listing {
    std::vector<fs::path> files;
    std::vector<fs::path> folders;
};

std::string quoted(const fs::path& path)
{
    return "'" + path.string() + "'";
}

// Opens for reading or says why not; the packer reads every file once more when it streams.
std::ifstream open_for_reading(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw packer_error("cannot read " + quoted(path) + ": " + std::strerror(errno));
    }
    return file;
}

folder_listing list_folder(const fs::path& folder)
{
    folder_listing listing;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        fs::file_status status = it->status(error);
        if (error) {
            break;
        }
        if (fs::is_directory(status)) {
            listing.folders.push_back(it->path());
        } else if (fs::is_regular_file(status)) {
            listing.files.push_back(it->path());
        } else {
            throw packer_error("cannot pack " + quoted(it->path()) + ": not a regular file or folder");
        }
    }
    if (error) {
        throw packer_error("cannot read folder " + quoted(folder) + ": " + error.message());
    }
    auto by_bytes = [](const fs::path& a, const fs::path& b) { return a.filename().native() < b.filename().native(); };
    std::sort(listing.files.begin(), listing.files.end(), by_bytes);
    std::sort(listing.folders.begin(), listing.folders.end(), by_bytes);
    return listing;
}

archive_entry make_entry(const fs::path& source, const std::string& relative)
{
    archive_entry entry;
    entry.source = source;
    entry.name = archive_name(relative);
    std::error_code error;
    entry.size = fs::file_size(source, error);
    if (error) {
        throw packer_error("cannot read " + quoted(source) + ": " + error.message());
    }
    open_for_reading(source);
    return entry;
}

class collector {
public:
    explicit collector(const std::string& main_relative) : main_(main_relative) {}

    void add_folder(const fs::path& folder, const std::string& prefix, std::vector<archive_entry>& entries)
    {
        fs::path real = fs::canonical(folder);
        if (!ancestors_.insert(real).second) {
            throw packer_error("cannot pack " + quoted(folder) + ": a symbolic link leads back to a folder above it");
        }
        folder_listing listing = list_folder(folder);
        for (const auto& file : listing.files) {
            std::string relative = prefix + file.filename().string();
            if (relative != main_) {
                entries.push_back(make_entry(file, relative));
            }
        }
        for (const auto& sub : listing.folders) {
            add_folder(sub, prefix + sub.filename().string() + "/", entries);
        }
        ancestors_.erase(real);
    }

private:
    std::string main_;
    std::set<fs::path> ancestors_;
};

// The main module's name as the user gave it, with either separator, as a relative path.
std::string main_relative_path(const std::string& main_name)
{
    std::u16string name = archive_name(main_name);
    std::string relative = utf16_to_utf8(name);
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return relative;
}

}  // namespace

std::vector<archive_entry> collect_entries(const fs::path& app_dir, const std::string& main_name)
{
    std::error_code error;
    if (!fs::is_directory(app_dir, error)) {
        throw packer_error("application folder " + quoted(app_dir) + " does not exist or is not a folder");
    }
    std::string main_relative = main_relative_path(main_name);
    fs::path main_path = app_dir / main_relative;
    if (!fs::is_regular_file(main_path, error)) {
        throw packer_error("main module " + quoted(fs::path(main_relative)) + " not found in " + quoted(app_dir));
    }
    std::vector<archive_entry> entries{make_entry(main_path, main_relative)};
    collector(main_relative).add_folder(app_dir, "", entries);
    return entries;
}

uint64_t archive_stream_size(const std::vector<archive_entry>& entries)
{
    uint64_t size = 2;
    for (const auto& entry : entries) {
        size += 2 * (entry.name.size() + 1) + 8 + entry.size;
    }
    return size;
}

namespace {

void write_name_and_size(const archive_entry& entry, const byte_sink& sink)
{
    std::string header;
    for (char16_t unit : entry.name) {
        header += static_cast<char>(unit & 0xFF);
        header += static_cast<char>(unit >> 8);
    }
    header.append(2, '\0');
    for (int i = 0; i < 8; ++i) {
        header += static_cast<char>((entry.size >> (8 * i)) & 0xFF);
    }
    sink(header.data(), header.size());
}

void write_data(const archive_entry& entry, const byte_sink& sink)
{
    std::ifstream file = open_for_reading(entry.source);
    std::vector<char> chunk(1 << 20);
    for (uint64_t left = entry.size; left > 0;) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
        file.read(chunk.data(), static_cast<std::streamsize>(want));
        if (file.bad()) {
            throw packer_error("cannot read " + quoted(entry.source) + ": input/output error");
        }
        if (static_cast<size_t>(file.gcount()) != want) {
            throw packer_error("cannot read " + quoted(entry.source) + ": it shrank while being packed");
        }
        sink(chunk.data(), want);
        left -= want;
    }
    if (file.peek() != std::ifstream::traits_type::eof()) {
        throw packer_error("cannot read " + quoted(entry.source) + ": it grew while being packed");
    }
}

}  // namespace

void write_archive_stream(const std::vector<archive_entry>& entries, const byte_sink& sink)
{
    for (const auto& entry : entries) {
        write_name_and_size(entry, sink);
        write_data(entry, sink);
    }
    sink("\0\0", 2);
}

}  // namespace packer
