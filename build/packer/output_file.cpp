// Temporary-then-rename output, written through its own descriptor.
#include "output_file.h"

#include "error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <vector>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace packer {

namespace {

std::string describe(const fs::path& path)
{
    return "'" + path.u8string() + "': " + std::strerror(errno);
}

// Positions past 2 GiB: the block of a large application goes beyond what long holds on Windows.
int seek_to(std::FILE* file, uint64_t offset)
{
#ifdef _WIN32
    return ::_fseeki64(file, static_cast<__int64>(offset), SEEK_SET);
#else
    return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET);
#endif
}

// The folder is private, the name in it is new: O_EXCL | O_NOFOLLOW fail on anything there.
int create_exclusively(const fs::path& path)
{
#ifdef _WIN32
    return ::_wopen(path.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    return ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
#endif
}

std::string temporary_stem(const fs::path& target)
{
    return target.filename().u8string() + ".tmp";
}

}  // namespace

output_file::output_file(const fs::path& target, bool executable)
    : target_(fs::absolute(target)), folder_(target_.parent_path(), temporary_stem(target_).c_str()),
      executable_(executable)
{
    temporary_ = folder_.path() / target_.filename();
    const int descriptor = create_exclusively(temporary_);
    if (descriptor < 0) {
        fail("write");
    }
    file_ = ::fdopen(descriptor, "w+b");
    if (file_ == nullptr) {
        ::close(descriptor);
        fail("write");
    }
}

output_file::~output_file()
{
    if (file_ != nullptr) {
        std::fclose(file_);
    }
    // The folder goes with the file when it was never committed.
}

void output_file::fail(const char* doing) const
{
    throw packer_error(std::string("cannot ") + doing + " " +
                       describe(folder_.name() / target_.filename()));
}

void output_file::write(const char* data, size_t size)
{
    if (size > 0 && std::fwrite(data, 1, size, file_) != size) {
        fail("write");
    }
    size_ += size;
}

void output_file::write_at(uint64_t offset, std::string_view bytes)
{
    if (offset + bytes.size() > size_ || seek_to(file_, offset) != 0 ||
        std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() || seek_to(file_, size_) != 0) {
        fail("write");
    }
}

void output_file::copy_to(const fs::path& copy)
{
    std::ofstream out(copy, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    if (!out || seek_to(file_, 0) != 0) {
        fail("read back");
    }
    for (uint64_t left = size_; left > 0;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
        if (std::fread(chunk.data(), 1, want, file_) != want || !out.write(chunk.data(), static_cast<std::streamsize>(want))) {
            fail("read back");
        }
        left -= want;
    }
    out.close();
    if (!out || seek_to(file_, size_) != 0) {
        throw packer_error("cannot write " + describe(copy));
    }
}

void output_file::replace_with(const fs::path& replacement)
{
    std::ifstream in(replacement, std::ios::binary);
    if (!in) {
        throw packer_error("cannot read " + describe(replacement));
    }
    std::fflush(file_);
#ifdef _WIN32
    const bool emptied = ::_chsize_s(::_fileno(file_), 0) == 0;
#else
    const bool emptied = ::ftruncate(::fileno(file_), 0) == 0;
#endif
    if (!emptied || seek_to(file_, 0) != 0) {
        fail("write");
    }
    size_ = 0;
    std::vector<char> chunk(1 << 20);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        write(chunk.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        throw packer_error("cannot read " + describe(replacement));
    }
}

void output_file::commit()
{
    if (std::fflush(file_) != 0) {
        fail("write");
    }
#ifndef _WIN32
    // The mode an ordinary new file gets, not the 0600 it was created with.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(::fileno(file_), (executable_ ? 0777 : 0666) & ~mask) != 0) {
        fail("write");
    }
#endif
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!closed) {
        fail("write");
    }
#ifdef _WIN32
    // rename() of the C runtime never replaces an existing file.
    if (!MoveFileExW(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        throw packer_error("cannot write '" + target_.u8string() + "'");
    }
#else
    if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        throw packer_error("cannot write " + describe(target_));
    }
#endif
}

}  // namespace packer
