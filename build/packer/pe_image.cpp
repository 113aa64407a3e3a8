// PE32 and PE32+ headers read defensively (every offset checked against what the file holds)
// and written in place, and the image checksum.
#include "pe_image.h"

#include "error.h"
#include "le_bytes.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

namespace packer {

namespace {

constexpr uint64_t e_lfanew_offset = 0x3C;
constexpr size_t signature_and_coff_size = 4 + 20;
constexpr uint64_t characteristics_in_coff = 4 + 18;
// The CheckSum sits at the same place in both formats: PE32+ widens ImageBase by dropping
// BaseOfData, and the larger stack and heap fields come only after it.
constexpr uint64_t checksum_in_optional = 64;
constexpr uint16_t dll_flag = 0x2000;

std::string hex16(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(value));
    return text;
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
        throw packer_error("cannot write the headers of '" + file.u8string() + "'");
    }
}

std::string format_of(const pe_header& header)
{
    if (header.optional_header.size() < 2) {
        return "no optional header";
    }
    const uint16_t magic = get_u16(header.optional_header, 0);
    const architecture_traits* format = traits_of_format(magic);
    return format != nullptr ? format->format : "optional header magic " + hex16(magic);
}

}  // namespace

std::optional<pe_header> read_pe_header(const byte_reader& read)
{
    const std::string dos = read(0, e_lfanew_offset + 4);
    if (dos.size() < e_lfanew_offset + 4 || dos.compare(0, 2, "MZ") != 0) {
        return std::nullopt;
    }
    pe_header header;
    header.offset = get_u32(dos, e_lfanew_offset);
    const std::string coff = read(header.offset, signature_and_coff_size);
    if (coff.size() < signature_and_coff_size || coff.compare(0, 4, std::string_view("PE\0\0", 4)) != 0) {
        return std::nullopt;
    }
    header.machine = get_u16(coff, 4);
    header.characteristics = get_u16(coff, characteristics_in_coff);
    const uint16_t optional_header_size = get_u16(coff, 4 + 16);
    header.optional_header = read(header.offset + signature_and_coff_size, optional_header_size);
    return header;
}

std::optional<pe_header> pe_header_of_bytes(std::string_view bytes)
{
    return read_pe_header([bytes](uint64_t offset, size_t size) {
        return offset >= bytes.size() ? std::string() : std::string(bytes.substr(static_cast<size_t>(offset), size));
    });
}

std::optional<pe_header> pe_header_of_file(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return read_pe_header([&in](uint64_t offset, size_t size) {
        std::string bytes(size, '\0');
        in.clear();
        in.seekg(static_cast<std::streamoff>(offset));
        in.read(bytes.data(), static_cast<std::streamsize>(size));
        bytes.resize(in ? size : static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
        return bytes;
    });
}

std::string describe_architecture(const pe_header& header)
{
    const architecture_traits* target = traits_of_machine(header.machine);
    return std::string(target != nullptr ? target->name : "unknown") + " (" + format_of(header) + ", machine " +
           hex16(header.machine) + ")";
}

std::string describe_module(const pe_header& header)
{
    const std::string kind = header.characteristics & dll_flag ? "DLL" : "executable";
    const architecture_traits* target = traits_of_machine(header.machine);
    if (target == nullptr) {
        return (kind == "DLL" ? "a " : "an ") + kind + " for machine " + hex16(header.machine);
    }
    return "a " + std::string(target->bits) + " (" + target->name + ") " + kind;
}

pe_fields locate_pe_fields(std::string_view headers)
{
    const std::optional<pe_header> header = pe_header_of_bytes(headers);
    const architecture_traits* target = header ? traits_of_machine(header->machine) : nullptr;
    if (target == nullptr || header->optional_header.size() < target->data_directories ||
        get_u16(header->optional_header, 0) != target->optional_magic) {
        std::string expected;
        for (const auto& row : architectures()) {
            expected += std::string(expected.empty() ? "" : " or ") + "a " + row.format + " image for " + row.name;
        }
        throw packer_error("the linked file is not " + expected);
    }
    const uint64_t optional = header->offset + signature_and_coff_size;
    return {target->id, header->offset + characteristics_in_coff, optional + checksum_in_optional};
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

void set_image_fields(const fs::path& file, architecture arch)
{
    const std::string headers = read_headers(file);
    const pe_fields fields = locate_pe_fields(headers);
    const architecture_traits& wanted = traits_of(arch);
    if (fields.arch != arch) {
        throw packer_error("the linked file is " + describe_module(*pe_header_of_bytes(headers)) + ", not " + wanted.name);
    }
    write_at(file, fields.characteristics_offset, wanted.characteristics, 2);
    update_checksum(file);
}

void update_checksum(const fs::path& file)
{
    write_at(file, locate_pe_fields(read_headers(file)).checksum_offset, file_checksum(file), 4);
}

}  // namespace packer
