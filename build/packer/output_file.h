// An output file that appears only when it is complete: bytes go to a file in a private folder
// made beside the target, which commit() renames over the target; the folder goes with what it
// holds if commit() never comes (or a signal ends the packer). Every step before that rename
// works on the descriptor the file was created with, never on a name, so a file or link that
// someone puts where the temporary file was is never written, changed or renamed into place.
#ifndef VELDRA_PACKER_OUTPUT_FILE_H
#define VELDRA_PACKER_OUTPUT_FILE_H

#include "cleanup.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string_view>

namespace packer {

class output_file {
public:
    // An executable target gets the execute bits that the umask allows, as a linker would.
    explicit output_file(const std::filesystem::path& target, bool executable = false);
    ~output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // Appends.
    void write(const char* data, size_t size);
    // Overwrites bytes already written, at `offset`.
    void write_at(uint64_t offset, std::string_view bytes);
    uint64_t size() const { return size_; }
    // The bytes so far into a new file `copy` (for a tool to read), and the whole content
    // replaced by the bytes of `replacement` (what the tool made of it).
    void copy_to(const std::filesystem::path& copy);
    void replace_with(const std::filesystem::path& replacement);
    // Sets the mode through the descriptor, closes the file and renames it to the target.
    void commit();

private:
    void fail(const char* doing) const;

    std::filesystem::path target_;
    temporary_folder folder_;
    std::filesystem::path temporary_;
    std::FILE* file_ = nullptr;
    uint64_t size_ = 0;
    bool executable_ = false;
};

}  // namespace packer

#endif
