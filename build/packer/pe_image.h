// The PE headers as far as the packer reads and writes them: what machine a file is for, and
// the fields set after the link (file characteristics, then the CheckSum computed anew).
#ifndef VELDRA_PACKER_PE_IMAGE_H
#define VELDRA_PACKER_PE_IMAGE_H

#include "architecture.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace packer {

// Sizes and places of the PE format that more than one reader needs.
constexpr uint64_t pe_coff_header_size = 20;
constexpr uint64_t pe_section_header_size = 40;
constexpr uint64_t pe_resource_directory = 2;
constexpr uint64_t pe_security_directory = 4;

struct pe_header {
    uint64_t offset = 0;  // of the "PE\0\0" signature
    uint16_t machine = 0;
    uint16_t characteristics = 0;
    // The optional header, as long as the COFF header states and the file holds: a header
    // that claims less than its format's fixed part is shorter than that here.
    std::string optional_header;
};

// Gives `size` bytes at `offset` of a file, fewer (or none) where the file ends.
using byte_reader = std::function<std::string(uint64_t offset, size_t size)>;

// The PE header, when the bytes are a PE image at all: "MZ", an e_lfanew that points inside
// the file at "PE\0\0", and the whole COFF header after it. Anything else is nullopt.
std::optional<pe_header> read_pe_header(const byte_reader& read);
std::optional<pe_header> pe_header_of_bytes(std::string_view bytes);
// A file that cannot be opened is nullopt too: reading it for the archive says why.
std::optional<pe_header> pe_header_of_file(const std::filesystem::path& file);

// "x64 (PE32+, machine 0x8664)", or "unknown (...)" for a machine of no target.
std::string describe_architecture(const pe_header& header);

// What a module is for another target: "a 64-bit (x64) DLL", "a DLL for machine 0xaa64".
std::string describe_module(const pe_header& header);

struct pe_fields {
    architecture arch = architecture::x86;
    uint64_t characteristics_offset = 0;
    uint64_t checksum_offset = 0;
};

// Where the fields lie in an image whose first bytes are `headers` (at least 4,096 bytes or the
// whole file); throws packer_error unless it is an image of a target in that target's format.
pe_fields locate_pe_fields(std::string_view headers);

// The image checksum: the file as 16-bit little-endian words (a last odd byte padded with
// zero) added with end-around carry, the CheckSum field counted as zero, plus the length.
class pe_checksum {
public:
    explicit pe_checksum(uint64_t checksum_offset) : skip_(checksum_offset) {}
    void add(std::string_view bytes);
    uint32_t finish() const;

private:
    uint64_t skip_;
    uint64_t position_ = 0;
    uint64_t sum_ = 0;
};

// The checksum of a whole file, computed in chunks.
uint32_t file_checksum(const std::filesystem::path& file);

// Writes the characteristics of `arch` and then the file's checksum into its headers; throws
// packer_error, leaving the file as it was, unless the file is an image for `arch`.
void set_image_fields(const std::filesystem::path& file, architecture arch);
void update_checksum(const std::filesystem::path& file);

}  // namespace packer

#endif
