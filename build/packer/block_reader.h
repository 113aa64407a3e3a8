// Reading a block back from a block file or a launcher executable, for inspect, extract and
// verify: found where the launcher finds it (the place at the start of the .veldra section),
// with every length bounded by the file before anything of that length is read or allocated.
#ifndef VELDRA_PACKER_BLOCK_READER_H
#define VELDRA_PACKER_BLOCK_READER_H

#include "error.h"
#include "pe_image.h"
#include "payload/block_format.h"

#include <cstdint>
#include <filesystem>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace packer {

// A file whose block, place or table is not as the packer makes it: the commands that read
// blocks end with this one line and status 2.
struct damaged_file : packer_error {
    using packer_error::packer_error;
};

// The frame decodes, but what it gives is not what its content checksum says.
struct checksum_mismatch : damaged_file {
    using damaged_file::damaged_file;
};

struct frame_header_info {
    size_t header_size = 0;
    bool single_segment = false;
    bool checksum = false;
    uint32_t dictionary_id = 0;
    std::optional<unsigned> window_descriptor;
    std::optional<uint64_t> window_size;  // from the descriptor, or the content size in a single segment
    std::optional<uint64_t> content_size;
};

// Parses the header at the start of `data`; throws damaged_file if it is no zstd frame header.
frame_header_info parse_frame_header(const unsigned char* data, size_t size);

struct frame_layout {
    frame_header_info header;
    uint64_t size = 0;  // the whole frame, checksum included
    unsigned raw_blocks = 0, rle_blocks = 0, compressed_blocks = 0;
};

// The build constants of a launcher executable's place.
struct place_info {
    uint64_t offset = 0;  // of the place in the file
    uint32_t options = 0;
    std::u16string company, product, version, file_version, product_version, unpack_template;
    uint64_t room = 0;  // bytes of the section from the block's start on: what the file table may use
};

struct tail_info {
    uint64_t padding = 0;
    bool padding_zero = true;
    std::optional<uint64_t> trailer;  // missing when the block ends before it
    bool trailer_matches = false;
};

struct file_table_entry_info {
    uint64_t size = 0;
    uint64_t hash = 0;
    std::u16string name;
};

struct file_table_info {
    uint64_t payload_hash = 0;
    uint32_t length = 0;
    std::vector<file_table_entry_info> entries;
};

// What an archive walk meets, in order: each entry's name and size, its data in pieces, its end.
class archive_visitor {
public:
    virtual ~archive_visitor() = default;
    virtual void entry(uint64_t number, const std::u16string& name, uint64_t size) = 0;
    virtual void data(const char* bytes, size_t size) { (void)bytes, (void)size; }
    virtual void entry_end() {}
};

struct decode_result {
    uint64_t entries = 0;
    uint64_t data_size = 0;
    uint64_t stream_size = 0;
    bool bytes_after_terminator = false;
};

// The launcher's own bounds: a longer name does not fit its buffer, a larger window does not decode.
constexpr uint64_t max_window_size = uint64_t{1} << block_window_log_max;

class block_reader {
public:
    // Opens `file` and finds its block: a file that starts with the block's magic is a block;
    // else it must be a PE image with a .veldra section that starts with the place's magic and
    // holds the length the place gives. packer_error when the file cannot be read, damaged_file
    // when it is no block and no launcher.
    explicit block_reader(const std::filesystem::path& file);
    // The same over bytes in memory, which `name` stands for in messages.
    block_reader(std::string bytes, const std::filesystem::path& name);

    const std::filesystem::path& file() const { return path_; }
    uint64_t file_size() const { return file_size_; }
    const std::optional<pe_header>& image() const { return image_; }
    const std::optional<place_info>& place() const { return place_; }
    uint64_t block_start() const { return start_; }
    uint64_t block_size() const { return size_; }

    // Up to `size` bytes at `offset` of the file; fewer where the file ends.
    std::string read(uint64_t offset, size_t size);

    // The frame's header and block headers, walked inside the block; damaged_file when they run
    // past it, or the window is one the launcher does not decode.
    frame_layout frame();
    // The padding and trailer after the frame.
    tail_info tail(const frame_layout& frame);
    // Decodes the frame and walks the archive in it; damaged_file when it does not decode (the
    // content checksum included), a name breaks the launcher's length limit, or the terminator
    // is missing. `visitor` may end the walk by throwing.
    decode_result decode(const frame_layout& frame, archive_visitor& visitor);
    // The file table of a cached pack, checked as the launcher checks it; nullopt for a block
    // file or a per-run pack, damaged_file for a damaged table.
    std::optional<file_table_info> file_table();
    // XXH64 (seed 0) of the block's bytes: the payload hash a cached pack's table carries.
    uint64_t block_hash();

    [[noreturn]] void damaged(const std::string& why) const;

private:
    void locate();

    std::filesystem::path path_;
    std::unique_ptr<std::istream> in_;
    uint64_t file_size_ = 0;
    std::optional<pe_header> image_;
    std::optional<place_info> place_;
    uint64_t start_ = 0;
    uint64_t size_ = 0;
};

// UTF-16 text as UTF-8 that cannot break its line or its document. line: control characters,
// DEL and C1 controls become \xNN, unpaired surrogates \uNNNN. json: the inside of a JSON
// string, with quotes, backslashes, control characters, DEL and unpaired surrogates escaped.
enum class text_escapes { line, json };
std::string escaped_text(const std::u16string& text, text_escapes style);
std::string printable_name(const std::u16string& name);

}  // namespace packer

#endif
