// An output file that appears only when it is complete: bytes go to a temporary file beside
// the target, which is renamed over it by commit() and removed if commit() never comes (or a
// signal ends the packer). The temporary file has an unpredictable name and is created
// exclusively, so a file or link planted beside the target is never written through.
#ifndef VELDRA_PACKER_OUTPUT_FILE_H
#define VELDRA_PACKER_OUTPUT_FILE_H

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace packer {

class output_file {
public:
    // An executable target gets the execute bits that the umask allows, as a linker would.
    explicit output_file(const std::filesystem::path& target, bool executable = false);
    ~output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    void write(const char* data, size_t size);
    uint64_t size() const { return size_; }
    const std::filesystem::path& temporary_path() const { return temporary_; }
    // Closes the temporary file (when still open) and renames it to the target.
    void commit();
    // Closes the temporary file so that another program can write it; commit() still renames.
    void close();

private:
    std::filesystem::path target_;
    std::filesystem::path temporary_;
    std::FILE* file_ = nullptr;
    uint64_t size_ = 0;
    bool committed_ = false;
    int slot_ = -1;
    bool executable_ = false;
};

}  // namespace packer

#endif
