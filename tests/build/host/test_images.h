// PE images built byte by byte for the tests: only the headers the packer reads, with the
// numbers written out as the PE format has them, not taken from the packer's table.
#ifndef VELDRA_TESTS_HOST_TEST_IMAGES_H
#define VELDRA_TESTS_HOST_TEST_IMAGES_H

#include <cstdint>
#include <string>

namespace test_images {

constexpr uint16_t i386 = 0x014C;
constexpr uint16_t amd64 = 0x8664;
constexpr uint16_t arm64 = 0xAA64;
constexpr uint16_t pe32 = 0x010B;
constexpr uint16_t pe32_plus = 0x020B;
// Whole optional headers with 16 data directories.
constexpr uint16_t pe32_optional_size = 224;
constexpr uint16_t pe32_plus_optional_size = 240;
constexpr uint16_t exe_flags = 0x0002;
constexpr uint16_t dll_flags = 0x2002;
constexpr uint32_t signature_at = 0x80;
constexpr uint32_t checksum_at = signature_at + 24 + 64;

inline uint16_t get_u16(const std::string& bytes, size_t offset)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[offset]) |
                                 static_cast<unsigned char>(bytes[offset + 1]) << 8);
}

inline uint32_t get_u32(const std::string& bytes, size_t offset)
{
    return static_cast<uint32_t>(get_u16(bytes, offset) | uint32_t{get_u16(bytes, offset + 2)} << 16);
}

inline void put_u32(std::string& bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<char>(value >> (8 * i));
    }
}

inline void put_u16(std::string& bytes, size_t offset, uint16_t value)
{
    bytes[offset] = static_cast<char>(value & 0xFF);
    bytes[offset + 1] = static_cast<char>(value >> 8);
}

// An image with its signature at 0x80 and the optional header right after the COFF header,
// then `extra` bytes of a pattern.
inline std::string image(uint16_t machine, uint16_t magic, uint16_t optional_size, uint16_t characteristics,
                         size_t extra = 0)
{
    std::string bytes(signature_at + 24 + optional_size + extra, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    put_u32(bytes, 0x3C, signature_at);
    bytes.replace(signature_at, 4, std::string("PE\0\0", 4));
    put_u16(bytes, signature_at + 4, machine);
    put_u16(bytes, signature_at + 20, optional_size);
    put_u16(bytes, signature_at + 22, characteristics);
    if (optional_size >= 2) {
        put_u16(bytes, signature_at + 24, magic);
    }
    for (size_t i = signature_at + 24 + optional_size; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7 + 3);
    }
    return bytes;
}

inline std::string x86_image(uint16_t characteristics = exe_flags, size_t extra = 0)
{
    return image(i386, pe32, pe32_optional_size, characteristics, extra);
}

inline std::string x64_image(uint16_t characteristics = exe_flags, size_t extra = 0)
{
    return image(amd64, pe32_plus, pe32_plus_optional_size, characteristics, extra);
}

// The numbers of the stub made below, written out as the PE format has them.
constexpr uint32_t optional_at = signature_at + 24;
constexpr uint32_t headers_size = 0x400;
constexpr uint32_t place_rva = 0x2000;
constexpr uint32_t place_raw = 0x600;
constexpr uint32_t place_length = 18448;  // 16 + 5 * 2048 + 8192
constexpr uint32_t place_raw_length = 0x4A00;
// Where a pack puts the place: on the next page of the file, for the loader to map it.
constexpr uint32_t packed_place_raw = 0x1000;

inline uint32_t directories_at(uint16_t magic)
{
    return optional_at + (magic == pe32_plus ? 112 : 96);
}

// A stub as the build links one: .text, then .veldra last with the place's magic, ending the
// file; 16 data directories; section alignment 0x1000, file alignment 0x200.
inline std::string made_stub(uint16_t machine = amd64, uint16_t magic = pe32_plus)
{
    const uint16_t optional_size = magic == pe32_plus ? pe32_plus_optional_size : pe32_optional_size;
    std::string bytes = image(machine, magic, optional_size, exe_flags);
    bytes.resize(place_raw + place_raw_length, '\0');
    put_u16(bytes, signature_at + 6, 2);
    put_u32(bytes, optional_at + 8, 0x200 + place_raw_length);  // SizeOfInitializedData
    put_u32(bytes, optional_at + 32, 0x1000);
    put_u32(bytes, optional_at + 36, 0x200);
    put_u32(bytes, optional_at + 56, 0x7000);
    put_u32(bytes, optional_at + 60, headers_size);
    put_u32(bytes, directories_at(magic) - 4, 16);
    const uint32_t table = optional_at + optional_size;
    bytes.replace(table, 8, std::string(".text\0\0\0", 8));
    put_u32(bytes, table + 8, 0x100);
    put_u32(bytes, table + 12, 0x1000);
    put_u32(bytes, table + 16, 0x200);
    put_u32(bytes, table + 20, 0x400);
    put_u32(bytes, table + 36, 0x60000020);
    bytes.replace(table + 40, 8, std::string(".veldra\0", 8));
    put_u32(bytes, table + 48, place_length);
    put_u32(bytes, table + 52, place_rva);
    put_u32(bytes, table + 56, place_raw_length);
    put_u32(bytes, table + 60, place_raw);
    put_u32(bytes, table + 76, 0x40000040);
    for (uint32_t i = 0x400; i < 0x500; ++i) {
        bytes[i] = static_cast<char>(0xCC);
    }
    bytes.replace(place_raw, 8, std::string("VELDRA\x1a\x01", 8));
    return bytes;
}

}  // namespace test_images

#endif
