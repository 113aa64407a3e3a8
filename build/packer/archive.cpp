// Collecting an application folder into archive entries and streaming them out.
#include "archive.h"

#include "error.h"
#include "names.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <clocale>
#include <cwctype>
#include <locale.h>
#include <map>
#include <set>
#include <wctype.h>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace packer {

namespace {

struct folder_listing {
    std::vector<fs::path> files;
    std::vector<fs::path> folders;
};

std::string quoted(const fs::path& path)
{
    return "'" + path.u8string() + "'";
}

// A file of the application opened for reading, with what it is (fstat of the descriptor, not
// of the name): the listing keeps that identity and the stream reads only a file that still has
// it, so a file or link put at the path in between is refused instead of packed.
class source_file {
public:
    explicit source_file(const fs::path& path) : path_(path)
    {
#ifdef _WIN32
        descriptor_ = ::_wopen(path.c_str(), _O_RDONLY | _O_BINARY);
#else
        // O_NONBLOCK: a pipe put at the path must not hang the open; it is refused below.
        descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
#endif
        if (descriptor_ < 0) {
            throw packer_error("cannot read " + quoted(path) + ": " + std::strerror(errno));
        }
#ifdef _WIN32
        BY_HANDLE_FILE_INFORMATION facts{};
        struct _stati64 status {};
        if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor_)), &facts) ||
            ::_fstati64(descriptor_, &status) != 0) {
            close_descriptor();
            throw packer_error("cannot read " + quoted(path) + ": " + std::strerror(errno));
        }
        regular_ = (status.st_mode & _S_IFREG) != 0;
        size_ = static_cast<uint64_t>(status.st_size);
        identity_ = {facts.dwVolumeSerialNumber, (uint64_t{facts.nFileIndexHigh} << 32) | facts.nFileIndexLow};
#else
        struct stat status {};
        if (::fstat(descriptor_, &status) != 0) {
            close_descriptor();
            throw packer_error("cannot read " + quoted(path) + ": " + std::strerror(errno));
        }
        regular_ = S_ISREG(status.st_mode);
        size_ = static_cast<uint64_t>(status.st_size);
        identity_ = {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
#endif
    }
    ~source_file() { close_descriptor(); }
    source_file(const source_file&) = delete;
    source_file& operator=(const source_file&) = delete;

    bool regular() const { return regular_; }
    uint64_t size() const { return size_; }
    const file_identity& identity() const { return identity_; }

    // Up to `size` bytes; 0 at the end.
    size_t read(char* data, size_t size)
    {
        for (;;) {
#ifdef _WIN32
            const int got = ::_read(descriptor_, data, static_cast<unsigned>(std::min<size_t>(size, 1u << 30)));
#else
            const ssize_t got = ::read(descriptor_, data, size);
#endif
            if (got >= 0) {
                return static_cast<size_t>(got);
            }
            if (errno != EINTR) {
                throw packer_error("cannot read " + quoted(path_) + ": " + std::strerror(errno));
            }
        }
    }

private:
    void close_descriptor()
    {
        if (descriptor_ >= 0) {
#ifdef _WIN32
            ::_close(descriptor_);
#else
            ::close(descriptor_);
#endif
            descriptor_ = -1;
        }
    }

    fs::path path_;
    int descriptor_ = -1;
    bool regular_ = false;
    uint64_t size_ = 0;
    file_identity identity_;
};

bool is_within(const fs::path& inner, const fs::path& root)
{
    auto mismatch = std::mismatch(root.begin(), root.end(), inner.begin(), inner.end());
    return mismatch.first == root.end();
}

// A link is packed as what it leads to only when that stays inside the application folder:
// one that leaves it would put a file of the packing machine into the executable, and one that
// leads nowhere (dangling, or a loop) has nothing to pack.
void require_link_inside(const fs::path& link, const fs::path& real_root)
{
    std::error_code error;
    fs::path target = fs::canonical(link, error);
    if (error) {
        throw packer_error("cannot pack " + quoted(link) + ": a symbolic link that leads nowhere (dangling or a loop)");
    }
    if (!is_within(target, real_root)) {
        throw packer_error("cannot pack " + quoted(link) + ": a symbolic link that leads outside the application folder");
    }
}

folder_listing list_folder(const fs::path& folder, const fs::path& real_root)
{
    folder_listing listing;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        fs::file_status link_status = it->symlink_status(error);
        if (error) {
            break;
        }
        if (fs::is_symlink(link_status)) {
            require_link_inside(it->path(), real_root);
        }
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
    // UTF-8 bytes on every system, so that the Windows build orders names as the Linux one does.
    auto by_bytes = [](const fs::path& a, const fs::path& b) { return a.filename().u8string() < b.filename().u8string(); };
    std::sort(listing.files.begin(), listing.files.end(), by_bytes);
    std::sort(listing.folders.begin(), listing.folders.end(), by_bytes);
    return listing;
}

archive_entry make_entry(const fs::path& source, const std::string& relative)
{
    archive_entry entry;
    entry.source = source;
    entry.name = archive_name(relative);
    source_file file(source);
    if (!file.regular()) {
        throw packer_error("cannot pack " + quoted(source) + ": not a regular file or folder");
    }
    entry.size = file.size();
    entry.identity = file.identity();
    return entry;
}

class collector {
public:
    collector(const std::string& main_relative, const fs::path& real_root) : main_(main_relative), root_(real_root) {}

    void add_folder(const fs::path& folder, const std::string& prefix, std::vector<archive_entry>& entries)
    {
        fs::path real = fs::canonical(folder);
        if (!ancestors_.insert(real).second) {
            throw packer_error("cannot pack " + quoted(folder) + ": a symbolic link leads back to a folder above it");
        }
        folder_listing listing = list_folder(folder, root_);
        for (const auto& file : listing.files) {
            std::string relative = prefix + file.filename().u8string();
            if (relative != main_) {
                entries.push_back(make_entry(file, relative));
            }
        }
        for (const auto& sub : listing.folders) {
            add_folder(sub, prefix + sub.filename().u8string() + "/", entries);
        }
        ancestors_.erase(real);
    }

private:
    std::string main_;
    fs::path root_;
    std::set<fs::path> ancestors_;
};

}  // namespace

// Windows compares names through an upper-case table, one UTF-16 unit at a time: the simple
// upper-case mapping of the C.UTF-8 locale stands in for it (ASCII alone where that locale is
// missing). Surrogates map to themselves, as they do there.
#ifdef _WIN32
// The Windows build asks the system's own table, through the invariant locale.
std::u16string windows_folded(const std::u16string& name)
{
    std::u16string result = name;
    for (char16_t& unit : result) {
        if (unit >= 0xD800 && unit < 0xE000) {
            continue;
        }
        wchar_t in = static_cast<wchar_t>(unit);
        wchar_t out = in;
        if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &in, 1, &out, 1) == 1) {
            unit = static_cast<char16_t>(out);
        }
    }
    return result;
}
#else
std::u16string windows_folded(const std::u16string& name)
{
    static locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    std::u16string result = name;
    for (char16_t& unit : result) {
        if (unit >= 0xD800 && unit < 0xE000) {
            continue;
        }
        if (utf8 != static_cast<locale_t>(0)) {
            wint_t upper = ::towupper_l(static_cast<wint_t>(unit), utf8);
            unit = upper < 0x10000 ? static_cast<char16_t>(upper) : unit;
        } else if (unit >= u'a' && unit <= u'z') {
            unit = static_cast<char16_t>(unit - (u'a' - u'A'));
        }
    }
    return result;
}
#endif

namespace {

// Two names Windows would take for one: the later file would overwrite the earlier, or a file
// would stand where a folder must be made. Folders count by the names they give their files.
void refuse_case_collisions(const std::vector<archive_entry>& entries)
{
    std::map<std::u16string, std::u16string> seen;
    auto claim = [&seen](const std::u16string& name) {
        auto inserted = seen.emplace(windows_folded(name), name);
        if (!inserted.second && inserted.first->second != name) {
            throw packer_error("names '" + utf16_to_utf8(inserted.first->second) + "' and '" + utf16_to_utf8(name) +
                               "' differ only by case: Windows would unpack them as one");
        }
    };
    for (const auto& entry : entries) {
        for (size_t cut = entry.name.find(u'\\'); cut != std::u16string::npos; cut = entry.name.find(u'\\', cut + 1)) {
            claim(entry.name.substr(0, cut));
        }
        claim(entry.name);
    }
}

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
    fs::path main_path = app_dir / fs::u8path(main_relative);
    if (!fs::is_regular_file(main_path, error)) {
        throw packer_error("main module " + quoted(fs::u8path(main_relative)) + " not found in " + quoted(app_dir));
    }
    const fs::path real_root = fs::canonical(app_dir);
    require_link_inside(main_path, real_root);
    std::vector<archive_entry> entries{make_entry(main_path, main_relative)};
    collector(main_relative, real_root).add_folder(app_dir, "", entries);
    refuse_case_collisions(entries);
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
    source_file file(entry.source);
    if (file.identity() != entry.identity || !file.regular()) {
        throw packer_error("cannot pack " + quoted(entry.source) +
                           ": it was replaced after it was listed (another file or a link stands at its path)");
    }
    std::vector<char> chunk(1 << 20);
    for (uint64_t left = entry.size; left > 0;) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
        size_t got = 0;
        while (got < want) {
            size_t part = file.read(chunk.data() + got, want - got);
            if (part == 0) {
                throw packer_error("cannot read " + quoted(entry.source) + ": it shrank while being packed");
            }
            got += part;
        }
        sink(chunk.data(), want);
        left -= want;
    }
    char extra = 0;
    if (file.read(&extra, 1) != 0) {
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
