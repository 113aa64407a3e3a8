// Reading a block back, from a block file or from inside a launcher executable: its layout,
// the frame's header fields and the archive's entries.
#ifndef VELDRA_PACKER_BLOCK_REPORT_H
#define VELDRA_PACKER_BLOCK_REPORT_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace packer {

struct frame_header_info {
    size_t header_size = 0;
    bool single_segment = false;
    bool checksum = false;
    uint32_t dictionary_id = 0;
    std::optional<unsigned> window_descriptor;
    std::optional<uint64_t> window_size;  // from the descriptor, or the content size in a single segment
    std::optional<uint64_t> content_size;
};

// Parses the header at the start of `data`; throws packer_error if it is no zstd frame header.
frame_header_info parse_frame_header(const unsigned char* data, size_t size);

// Writes a readable report of the block in `file` (a block, or an executable carrying one, whose
// architecture it names).
// Throws packer_error when no block can be found or read.
void inspect_file(const std::filesystem::path& file, std::ostream& out);

}  // namespace packer

#endif
