// Hand-made blocks for reader and walk tests: archive streams, zstd frames of raw blocks (no
// encoder needed), and the magic, padding and trailer around them.
#ifndef VELDRA_TESTS_PAYLOAD_FRAMES_H
#define VELDRA_TESTS_PAYLOAD_FRAMES_H

#include <cstdint>
#include <string>
#include <vector>

struct archive_entry {
    std::wstring name;
    std::string data;
};

// The entries, each name, zero unit, 8-byte size and data, then the terminator.
std::string archive_stream(const std::vector<archive_entry>& entries);

struct frame_options {
    // 0x38: window 2^17, room for blocks of the largest size without a large allocation.
    unsigned char window_descriptor = 0x38;
    bool content_size = false;    // store an 8-byte content size (keeps the window descriptor)
    bool single_segment = false;  // content size only, no window descriptor
    size_t block_size = 131072;   // content per raw block
};

// One zstd frame holding `content` in raw blocks.
std::string raw_frame(const std::string& content, const frame_options& options = {});

// The block's magic, the frame, zero padding and the trailer, as payload/block_format.h has them.
std::string block_around(const std::string& frame);

// Little-endian helpers.
std::string le64(uint64_t value);

// Deterministic bytes that no compressor would shrink.
std::string noise(size_t size, uint32_t seed = 1);

#endif
