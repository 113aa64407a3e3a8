// Temporary-then-rename output.
#include "output_file.h"

#include "error.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace packer {

namespace {

std::string describe(const std::filesystem::path& path)
{
    return "'" + path.string() + "': " + std::strerror(errno);
}

}  // namespace

output_file::output_file(const std::filesystem::path& target)
    : target_(target),
      temporary_(target.string() + ".tmp-" + std::to_string(::getpid()))
{
    file_ = std::fopen(temporary_.c_str(), "wb");
    if (file_ == nullptr) {
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
    if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        throw packer_error("cannot write " + describe(target_));
    }
    committed_ = true;
}

}  // namespace packer
