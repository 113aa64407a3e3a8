// PE32 header fields and the image checksum, read and written in place.
#include "pe_image.h"

#include "error.h"

#include <fstream>
#include <vector>

namespace fs = std::filesystem;

namespace packer {

namespace {

uint32_t read_u32(std::string_view bytes, uint64_t offset)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    }
    return value;
}

uint16_t read_u16(std::string_view bytes, uint64_t offset)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[offset]) |
                                 static_cast<unsigned char>(bytes[offset + 1]) << 8);
}

std::string read_headers(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::string headers(4096, '\0');
    in.read(headers.data(), static_cast<std::streamsize>(headers.size()));
    headers.resize(static_cast<size_t>(in.gcount()));
    return headers;
}

void write_at(const fs::path& file, uint64_t offset, uint32_t value, int width)
{
    std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
    char bytes[4];
    for (int i = 0; i < width; ++i) {
        bytes[i] = static_cast<char>(value >> (8 * i));
    }
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(bytes, width);
    if (!out) {
        throw packer_error("cannot write the headers of '" + file.string() + "'");
    }
}

}  // namespace

pe_fields locate_pe_fields(std::string_view headers)
{
    const std::string not_pe = "the linked file is not a PE32 image for i386";
    if (headers.size() < 0x40 || headers.substr(0, 2) != "MZ") {
        throw packer_error(not_pe);
    }
    const uint64_t pe = read_u32(headers, 0x3C);
    const uint64_t optional = pe + 24;
    if (optional + 68 > headers.size() || headers.substr(pe, 4) != std::string_view("PE\0\0", 4) ||
        read_u16(headers, pe + 4) != 0x014C || read_u16(headers, optional) != 0x010B) {
        throw packer_error(not_pe);
    }
    return {pe + 22, optional + 64};
}

void pe_checksum::add(std::string_view bytes)
{
    for (unsigned char byte : bytes) {
        const bool in_field = position_ >= skip_ && position_ < skip_ + 4;
        if (!in_field) {
            sum_ += position_ % 2 == 0 ? byte : static_cast<uint64_t>(byte) << 8;
        }
        ++position_;
    }
}

uint32_t pe_checksum::finish() const
{
    uint64_t folded = sum_;
    while (folded > 0xFFFF) {
        folded = (folded & 0xFFFF) + (folded >> 16);
    }
    return static_cast<uint32_t>(folded + position_);
}

uint32_t file_checksum(const fs::path& file)
{
    pe_checksum sum(locate_pe_fields(read_headers(file)).checksum_offset);
    std::ifstream in(file, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        sum.add(std::string_view(chunk.data(), static_cast<size_t>(in.gcount())));
    }
    return sum.finish();
}

void set_characteristics(const fs::path& file, uint16_t characteristics)
{
    write_at(file, locate_pe_fields(read_headers(file)).characteristics_offset, characteristics, 2);
    update_checksum(file);
}

void update_checksum(const fs::path& file)
{
    write_at(file, locate_pe_fields(read_headers(file)).checksum_offset, file_checksum(file), 4);
}

}  // namespace packer
