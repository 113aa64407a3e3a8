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

// The file table of a cached unpack folder: read-only data after the block in the same section,
// starting at the first multiple of 8 past the block's end. It lists every file of the archive
// with its size and XXH64 (seed 0), and carries the block's own XXH64, which names the folder.
//   0   magic, 8 bytes
//   8   XXH64 of the block's bytes, 64 bits
//   16  entry count, 32 bits
//   20  the table's length in bytes, header included, 32 bits
//   24  entries: size (64 bits), XXH64 of the contents (64 bits), name length in UTF-16 units
//       (16 bits, 1 to archive_name_max_units), the name's units; no padding between them
// Every number is little-endian. Only a pack in cached mode carries one.
enum {
    file_table_magic_size = 8,
    file_table_header_size = 24,
    file_table_entry_fixed_size = 18,
    // More entries than any archive the packer makes of a real folder; a larger count is damage.
    file_table_entry_limit = 1 << 20,
};
constexpr unsigned char file_table_magic[file_table_magic_size] = {'V', 'E', 'L', 'F', 'T', 'A', 'B', 0x01};

// Where the table starts, counted from the block's first byte.
constexpr uint64_t file_table_offset(uint64_t block_size)
{
    return block_size + block_padding(block_size);
}

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
