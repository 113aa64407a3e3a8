// The attached block's format, defined once for the launcher, the packer, `inspect` and the test
// fixtures: its magic, padding and trailer, the bounds the launcher reads within, the place in
// the image that holds it, and the little-endian numbers it is made of.
#ifndef VELDRA_PAYLOAD_BLOCK_FORMAT_H
#define VELDRA_PAYLOAD_BLOCK_FORMAT_H

// The place's magic ("VELDRA" 0x1A 0x01, see place_magic) as plain bytes: build/attached_block.S,
// which assembles the place, goes through the same preprocessor and reads nothing else here.
#define VELDRA_PLACE_MAGIC_BYTES 0x56, 0x45, 0x4C, 0x44, 0x52, 0x41, 0x1A, 0x01

#ifndef __ASSEMBLER__
#include <stddef.h>
#include <stdint.h>

// The block: the magic, one zstd frame of the archive stream, zero padding to a multiple of the
// alignment counted from the magic, then the trailer, the length of everything before it.
enum { block_magic_size = 3, block_alignment = 8, block_trailer_size = 8 };
constexpr unsigned char block_magic[block_magic_size] = {'X', 'J', 'Q'};

// The zero bytes that follow `length` bytes of block so that the trailer starts aligned.
constexpr uint64_t block_padding(uint64_t length)
{
    return (block_alignment - length % block_alignment) % block_alignment;
}

// The longest archive name in UTF-16 units: the launcher's buffer holds it and its terminator,
// the packer refuses a longer one and `inspect` stops at one.
enum { archive_name_max_units = 1023 };

// The largest window, as a power of two, that the launcher's decoder accepts.
enum { block_window_log_max = 27 };

// The image's section ".veldra" starts with the place: these magic bytes, the block's length
// (32 bits), 4 reserved bytes, the build constants' texts, then the block itself.
enum { place_magic_size = 8 };
constexpr unsigned char place_magic[place_magic_size] = {VELDRA_PLACE_MAGIC_BYTES};

// The first `count` bytes (at most 8) as one number.
inline uint64_t le_read(const unsigned char* bytes, size_t count)
{
    uint64_t value = 0;
    for (size_t i = count; i > 0; --i) {
        value = (value << 8) | bytes[i - 1];
    }
    return value;
}

// `value` into the first `count` bytes (at most 8), lowest byte first.
inline void le_write(unsigned char* bytes, uint64_t value, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
    }
}
#endif

#endif
