// Temporary-then-rename output.
#include "output_file.h"

#include "cleanup.h"
#include "error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace packer {

namespace {

std::string describe(const std::filesystem::path& path)
{
    return "'" + path.u8string() + "': " + std::strerror(errno);
}

}  // namespace

// mkostemp opens with O_CREAT | O_EXCL, mode 0600: it fails on anything already there, a
// symbolic link included, and its six characters come from a random source.
output_file::output_file(const std::filesystem::path& target, bool executable)
    : target_(target), executable_(executable)
{
#ifdef _WIN32
    // _O_EXCL: nothing already there, a link included, is ever opened.
    std::string pattern;
    int descriptor = -1;
    for (int attempt = 0; attempt < 100 && descriptor < 0; ++attempt) {
        pattern = target.u8string() + ".tmp-" + random_suffix();
        descriptor = ::_wopen(std::filesystem::u8path(pattern).c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                              _S_IREAD | _S_IWRITE);
        if (descriptor < 0 && errno != EEXIST) {
            break;
        }
    }
#else
    std::string pattern = target.string() + ".tmp-XXXXXX";
    int descriptor = ::mkostemp(pattern.data(), O_CLOEXEC);
#endif
    if (descriptor < 0) {
        throw packer_error("cannot write " + describe(pattern));
    }
    temporary_ = std::filesystem::u8path(pattern);
    slot_ = remember_temporary(temporary_, false);
    file_ = ::fdopen(descriptor, "wb");
    if (file_ == nullptr) {
        ::close(descriptor);
        std::filesystem::remove(temporary_);
        forget_temporary(slot_);
        throw packer_error("cannot write " + describe(temporary_));
    }
}

output_file::~output_file()
{
    if (file_ != nullptr) {
        std::fclose(file_);
    }
    if (!committed_) {
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
    }
    forget_temporary(slot_);
}

void output_file::write(const char* data, size_t size)
{
    if (size > 0 && std::fwrite(data, 1, size, file_) != size) {
        throw packer_error("cannot write " + describe(temporary_));
    }
    size_ += size;
}

void output_file::close()
{
    if (file_ != nullptr) {
        bool failed = std::fclose(file_) != 0;
        file_ = nullptr;
        if (failed) {
            throw packer_error("cannot write " + describe(temporary_));
        }
    }
}

void output_file::commit()
{
    close();
#ifdef _WIN32
    // rename() of the C runtime never replaces an existing file.
    if (!MoveFileExW(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        throw packer_error("cannot write '" + target_.u8string() + "'");
    }
#else
    // The mode an ordinary new file gets, not mkostemp's 0600; by name, since the file may have
    // been closed, written again (signed) and reopened since.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(temporary_.c_str(), (executable_ ? 0777 : 0666) & ~mask);
    if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        throw packer_error("cannot write " + describe(target_));
    }
#endif
    committed_ = true;
}

}  // namespace packer
