// Little-endian numbers in byte strings, which PE headers, resources, icons and the block's
// trailer are all made of. Callers check that the bytes are there first.
#ifndef VELDRA_PACKER_LE_BYTES_H
#define VELDRA_PACKER_LE_BYTES_H

#include "payload/block_format.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace packer {

// The first `count` bytes (at most 8) as one number.
inline uint64_t little_endian(const unsigned char* bytes, size_t count)
{
    return le_read(bytes, count);
}

inline uint16_t get_u16(std::string_view bytes, uint64_t offset)
{
    return static_cast<uint16_t>(little_endian(reinterpret_cast<const unsigned char*>(bytes.data()) + offset, 2));
}

inline uint32_t get_u32(std::string_view bytes, uint64_t offset)
{
    return static_cast<uint32_t>(little_endian(reinterpret_cast<const unsigned char*>(bytes.data()) + offset, 4));
}

inline void set_u16(std::string& bytes, uint64_t offset, uint16_t value)
{
    bytes[offset] = static_cast<char>(value & 0xFF);
    bytes[offset + 1] = static_cast<char>(value >> 8);
}

inline void set_u32(std::string& bytes, uint64_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

inline void append_u16(std::string& bytes, uint16_t value)
{
    bytes += static_cast<char>(value & 0xFF);
    bytes += static_cast<char>(value >> 8);
}

inline void append_u32(std::string& bytes, uint32_t value)
{
    append_u16(bytes, static_cast<uint16_t>(value & 0xFFFF));
    append_u16(bytes, static_cast<uint16_t>(value >> 16));
}

}  // namespace packer

#endif
