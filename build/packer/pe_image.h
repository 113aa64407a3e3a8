// The few header fields of a PE32 image that the packer sets after the link: the file
// characteristics and the optional header's CheckSum, which must then be computed anew.
#ifndef VELDRA_PACKER_PE_IMAGE_H
#define VELDRA_PACKER_PE_IMAGE_H

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace packer {

struct pe_fields {
    uint64_t characteristics_offset = 0;
    uint64_t checksum_offset = 0;
};

// Where the fields lie in an image whose first bytes are `headers` (at least 4,096 bytes or
// the whole file); throws packer_error for anything but a PE32 image for i386.
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

// Writes `characteristics` (when given) and then the file's checksum into its headers.
void set_characteristics(const std::filesystem::path& file, uint16_t characteristics);
void update_checksum(const std::filesystem::path& file);

// IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_32BIT_MACHINE: the linker also marks line numbers,
// symbols and debug information stripped, flags that say nothing of this image.
constexpr uint16_t launcher_characteristics = 0x0102;

}  // namespace packer

#endif
