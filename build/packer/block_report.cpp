// The block reader of `inspect`: locates the block, walks the frame's block headers to find its
// end, then decodes the frame and lists the archive while it streams by.
#include "block_report.h"

#include "error.h"
#include "names.h"
#include "pe_image.h"
#include "le_bytes.h"
#include "progress.h"
#include "stub_image.h"

#include <zstd.h>

#include <cstdio>
#include <cstring>
#include <iomanip>
#include <fstream>
#include <memory>

namespace packer {

namespace {

// The block's magic as text, for comparisons and messages.
const std::string magic_text(reinterpret_cast<const char*>(block_magic), block_magic_size);
// The magic followed by a zstd frame's magic number.
const std::string block_signature = magic_text + "\x28\xB5\x2F\xFD";

std::string read_at(std::ifstream& file, uint64_t offset, size_t size)
{
    std::string bytes(size, '\0');
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(&bytes[0], static_cast<std::streamsize>(size));
    bytes.resize(static_cast<size_t>(file.gcount()));
    return bytes;
}

// Offset of the block: 0 for a block file (it starts with the magic, whatever follows), else
// the first place where the magic is followed by a frame's magic number.
uint64_t find_block(std::ifstream& file)
{
    if (read_at(file, 0, block_magic_size) == magic_text) {
        return 0;
    }
    const size_t chunk = 1 << 20;
    for (uint64_t offset = 0;; offset += chunk) {
        std::string bytes = read_at(file, offset, chunk + block_signature.size() - 1);
        size_t found = bytes.find(block_signature);
        if (found != std::string::npos) {
            return offset + found;
        }
        if (bytes.size() < chunk + block_signature.size() - 1) {
            throw packer_error("no attached block found (no \"" + magic_text + "\" followed by a zstd frame)");
        }
    }
}

struct frame_layout {
    frame_header_info header;
    uint64_t size = 0;  // the whole frame, checksum included
    unsigned raw_blocks = 0, rle_blocks = 0, compressed_blocks = 0;
};

frame_layout walk_frame(std::ifstream& file, uint64_t start)
{
    frame_layout layout;
    std::string head = read_at(file, start, 18);
    layout.header = parse_frame_header(reinterpret_cast<const unsigned char*>(head.data()), head.size());
    uint64_t offset = start + layout.header.header_size;
    for (bool last = false; !last;) {
        std::string raw = read_at(file, offset, 3);
        if (raw.size() < 3) {
            throw packer_error("the frame is cut short: a block header is missing");
        }
        uint64_t header = little_endian(reinterpret_cast<const unsigned char*>(raw.data()), 3);
        last = header & 1;
        unsigned type = (header >> 1) & 3;
        uint64_t size = header >> 3;
        if (type == 3) {
            throw packer_error("the frame holds a block of the reserved type");
        }
        (type == 0 ? layout.raw_blocks : type == 1 ? layout.rle_blocks : layout.compressed_blocks)++;
        offset += 3 + (type == 1 ? 1 : size);
    }
    offset += layout.header.checksum ? 4 : 0;
    layout.size = offset - start;
    return layout;
}

// The launcher's own bounds: a longer name would not fit its buffer, a larger window would
// not decode. inspect refuses both rather than hold what a crafted block asks for.
constexpr size_t max_listed_name_units = archive_name_max_units;
constexpr uint64_t max_window_size = uint64_t{1} << block_window_log_max;

// A name as one safe line: control characters, DEL, C1 controls and unpaired surrogates become
// \xNN or \uNNNN, so a crafted name cannot move the cursor or fake report lines.
std::string printable_name(const std::u16string& name)
{
    std::string result;
    std::u16string plain;
    auto flush = [&] {
        result += utf16_to_utf8(plain);
        plain.clear();
    };
    for (size_t i = 0; i < name.size(); ++i) {
        char16_t unit = name[i];
        bool high = unit >= 0xD800 && unit < 0xDC00;
        bool low = unit >= 0xDC00 && unit < 0xE000;
        bool paired = high && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000;
        if (paired) {
            plain += unit;
            plain += name[++i];
            continue;
        }
        char escape[8];
        if (unit < 0x20 || unit == 0x7F || (unit >= 0x80 && unit < 0xA0)) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(unit));
        } else if (high || low) {
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(unit));
        } else {
            plain += unit;
            continue;
        }
        flush();
        result += escape;
    }
    flush();
    return result;
}

// Parses the archive stream as it arrives, one byte at a time through a small state machine.
// Entries are written out as they complete and not kept, so a block of millions of entries
// costs no more memory than one of two.
class archive_lister {
public:
    explicit archive_lister(std::ostream* report) : report_(report) {}
    uint64_t count = 0;
    uint64_t data_size = 0;

    void feed(const char* data, size_t size)
    {
        for (size_t i = 0; i < size;) {
            if (state_ == state::data) {
                uint64_t skip = std::min<uint64_t>(left_, size - i);
                i += static_cast<size_t>(skip);
                left_ -= skip;
                if (left_ == 0) {
                    state_ = state::name;
                }
                continue;
            }
            take(static_cast<unsigned char>(data[i++]));
        }
    }

    bool complete() const { return state_ == state::done; }
    bool extra() const { return extra_; }

private:
    enum class state { name, size, data, done };

    void take(unsigned char byte)
    {
        pending_ += static_cast<char>(byte);
        if (state_ == state::done) {
            extra_ = true;
        } else if (state_ == state::name && pending_.size() == 2) {
            take_name_unit();
        } else if (state_ == state::size && pending_.size() == 8) {
            left_ = little_endian(reinterpret_cast<const unsigned char*>(pending_.data()), 8);
            ++count;
            data_size += left_;
            char size[24];
            std::snprintf(size, sizeof size, "%14llu", static_cast<unsigned long long>(left_));
            *report_ << size << "  " << printable_name(name_) << "\n";
            name_.clear();
            pending_.clear();
            state_ = left_ ? state::data : state::name;
        }
    }

    void take_name_unit()
    {
        char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(pending_[0]) |
                                              (static_cast<unsigned char>(pending_[1]) << 8));
        pending_.clear();
        if (unit != 0) {
            if (name_.size() >= max_listed_name_units) {
                throw packer_error("entry " + std::to_string(count + 1) +
                                   " has a name longer than " + grouped(max_listed_name_units) +
                                   " UTF-16 units, which the launcher cannot take");
            }
            name_ += unit;
        } else {
            state_ = name_.empty() ? state::done : state::size;
        }
    }

    state state_ = state::name;
    std::string pending_;
    std::u16string name_;
    uint64_t left_ = 0;
    bool extra_ = false;
    std::ostream* report_ = nullptr;
};

struct dctx_deleter {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// Decodes the frame; returns the decoder's error text, or an empty string.
std::string decode_frame(std::ifstream& file, uint64_t start, uint64_t size, archive_lister& lister, uint64_t& produced)
{
    std::unique_ptr<ZSTD_DCtx, dctx_deleter> context(ZSTD_createDCtx());
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, 27);
    std::vector<char> output(ZSTD_DStreamOutSize());
    produced = 0;
    for (uint64_t offset = 0; offset < size;) {
        std::string input_bytes = read_at(file, start + offset, static_cast<size_t>(std::min<uint64_t>(size - offset, 1 << 20)));
        ZSTD_inBuffer input = {input_bytes.data(), input_bytes.size(), 0};
        while (input.pos < input.size) {
            ZSTD_outBuffer out = {output.data(), output.size(), 0};
            size_t result = ZSTD_decompressStream(context.get(), &out, &input);
            if (ZSTD_isError(result)) {
                return ZSTD_getErrorName(result);
            }
            lister.feed(output.data(), out.pos);
            produced += out.pos;
        }
        offset += input_bytes.size();
    }
    for (;;) {  // output the decoder still holds
        ZSTD_inBuffer input = {nullptr, 0, 0};
        ZSTD_outBuffer out = {output.data(), output.size(), 0};
        size_t result = ZSTD_decompressStream(context.get(), &out, &input);
        if (ZSTD_isError(result)) {
            return ZSTD_getErrorName(result);
        }
        lister.feed(output.data(), out.pos);
        produced += out.pos;
        if (out.pos == 0) {
            return "";
        }
    }
}

std::string size_text(uint64_t bytes)
{
    return std::to_string(bytes) + " bytes";
}

void report_header(const frame_layout& frame, std::ostream& out)
{
    const frame_header_info& header = frame.header;
    out << "frame: " << frame.size << " bytes, " << frame.compressed_blocks << " compressed, " << frame.raw_blocks
        << " raw and " << frame.rle_blocks << " RLE blocks\n";
    out << "  window: ";
    if (header.window_descriptor) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", *header.window_descriptor);
        out << size_text(*header.window_size) << " (descriptor " << hex << ")\n";
    } else {
        out << "single segment, the content size\n";
    }
    out << "  checksum: " << (header.checksum ? "yes" : "no") << "\n";
    out << "  content size: " << (header.content_size ? size_text(*header.content_size) : "not stored") << "\n";
    if (header.dictionary_id) {
        out << "  dictionary: " << header.dictionary_id << "\n";
    }
}

void report_tail(std::ifstream& file, uint64_t block_start, uint64_t frame_end, std::ostream& out)
{
    uint64_t before_trailer = frame_end + block_padding(frame_end - block_start);
    std::string padding = read_at(file, frame_end, static_cast<size_t>(before_trailer - frame_end));
    std::string trailer = read_at(file, before_trailer, block_trailer_size);
    out << "padding: " << padding.size() << " bytes"
        << (padding.find_first_not_of('\0') == std::string::npos ? "" : " (not all zero)") << "\n";
    if (trailer.size() < block_trailer_size) {
        out << "trailer: missing\n";
        return;
    }
    uint64_t value = le_read(reinterpret_cast<const unsigned char*>(trailer.data()), block_trailer_size);
    out << "trailer: " << value << (value == before_trailer - block_start ? " (matches)" : " (does not match)") << "\n";
    out << "block size: " << size_text(before_trailer + block_trailer_size - block_start) << "\n";
}

}  // namespace

frame_header_info parse_frame_header(const unsigned char* data, size_t size)
{
    if (size < 5 || little_endian(data, 4) != 0xFD2FB528) {
        throw packer_error("no zstd frame after the magic");
    }
    frame_header_info info;
    unsigned descriptor = data[4];
    unsigned content_flag = descriptor >> 6;
    info.single_segment = (descriptor >> 5) & 1;
    info.checksum = (descriptor >> 2) & 1;
    const size_t dictionary_sizes[] = {0, 1, 2, 4};
    size_t dictionary_size = dictionary_sizes[descriptor & 3];
    const size_t content_sizes[] = {info.single_segment ? 1u : 0u, 2, 4, 8};
    size_t content_size_size = content_sizes[content_flag];
    size_t offset = 5;
    info.header_size = offset + (info.single_segment ? 0 : 1) + dictionary_size + content_size_size;
    if (size < info.header_size) {
        throw packer_error("the frame header is cut short");
    }
    if (!info.single_segment) {
        unsigned window = data[offset++];
        info.window_descriptor = window;
        uint64_t base = uint64_t{1} << (10 + (window >> 3));
        info.window_size = base + (base / 8) * (window & 7);
    }
    info.dictionary_id = static_cast<uint32_t>(little_endian(data + offset, dictionary_size));
    offset += dictionary_size;
    if (content_size_size) {
        info.content_size = little_endian(data + offset, content_size_size) + (content_size_size == 2 ? 256 : 0);
        if (info.single_segment) {
            info.window_size = info.content_size;
        }
    }
    return info;
}

// The file table of a cached pack, after the block in a launcher's place, read with the bounds
// the launcher keeps: its length inside the file, a count within the limit, every entry inside
// the length. Nothing for a block file or a pack without a table.
void report_file_table(std::ifstream& file, uint64_t block_start, std::ostream& out)
{
    if (block_start < place_block ||
        read_at(file, block_start - place_block, place_magic_size) !=
            std::string(reinterpret_cast<const char*>(place_magic), place_magic_size)) {
        return;
    }
    const std::string size_field = read_at(file, block_start - place_block + place_size_field, 4);
    const std::string options = read_at(file, block_start - place_block + place_options_field, 4);
    if (size_field.size() != 4 || options.size() != 4 ||
        (le_read(reinterpret_cast<const unsigned char*>(options.data()), 4) & place_option_cached_unpack) == 0) {
        out << "unpack mode: per-run\n";
        return;
    }
    const uint64_t table_start =
        block_start + file_table_offset(le_read(reinterpret_cast<const unsigned char*>(size_field.data()), 4));
    const std::string header = read_at(file, table_start, file_table_header_size);
    const unsigned char* head = reinterpret_cast<const unsigned char*>(header.data());
    if (header.size() != file_table_header_size ||
        header.compare(0, file_table_magic_size, reinterpret_cast<const char*>(file_table_magic),
                       file_table_magic_size) != 0) {
        throw packer_error("the pack is in cached mode but carries no file table after its block");
    }
    const uint64_t count = le_read(head + 16, 4);
    const uint64_t length = le_read(head + 20, 4);
    const std::string table = read_at(file, table_start, static_cast<size_t>(length));
    if (length < file_table_header_size || table.size() != length || count > file_table_entry_limit) {
        throw packer_error("the file table's length or count runs past what it may hold");
    }
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(le_read(head + 8, 8)));
    out << "unpack mode: cached\npayload hash: " << digits << "\nfile table: " << count << " files, " << length
        << " bytes\n";
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(table.data());
    uint64_t at = file_table_header_size;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t units = length - at >= file_table_entry_fixed_size ? le_read(bytes + at + 16, 2) : 0;
        if (units == 0 || units > archive_name_max_units || length - at - file_table_entry_fixed_size < 2 * units) {
            throw packer_error("file table entry " + std::to_string(i + 1) + " runs past the table");
        }
        std::u16string name;
        for (uint64_t u = 0; u < units; ++u) {
            name += static_cast<char16_t>(le_read(bytes + at + file_table_entry_fixed_size + 2 * u, 2));
        }
        std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(le_read(bytes + at + 8, 8)));
        out << std::setw(14) << le_read(bytes + at, 8) << "  " << digits << "  " << printable_name(name) << "\n";
        at += file_table_entry_fixed_size + 2 * units;
    }
    if (at != length) {
        throw packer_error("the file table holds bytes past its last entry");
    }
}

void inspect_file(const std::filesystem::path& path, std::ostream& out)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw packer_error("cannot read '" + path.u8string() + "': " + std::strerror(errno));
    }
    uint64_t start = find_block(file);
    out << "block at offset " << start << " of '" << path.u8string() << "'\n";
    const std::optional<pe_header> image =
        read_pe_header([&file](uint64_t offset, size_t size) { return read_at(file, offset, size); });
    if (image) {
        out << "architecture: " << describe_architecture(*image) << "\n";
    }
    if (read_at(file, start, block_magic_size) != magic_text) {
        throw packer_error("the block does not start with the magic \"" + magic_text + "\"");
    }
    frame_layout frame = walk_frame(file, start + block_magic_size);
    report_header(frame, out);
    if (!frame.header.window_size || *frame.header.window_size > max_window_size) {
        throw packer_error("the frame asks for a window of " +
                           (frame.header.window_size ? size_text(*frame.header.window_size) : std::string("unknown size")) +
                           ", more than the 134217728 bytes (2^27) the launcher decodes");
    }
    report_tail(file, start, start + block_magic_size + frame.size, out);

    archive_lister lister(&out);
    uint64_t produced = 0;
    out << "entries:\n";
    std::string error = decode_frame(file, start + block_magic_size, frame.size, lister, produced);
    out << lister.count << " entries, " << size_text(lister.data_size) << " of data, archive stream "
        << size_text(produced) << "\n";
    if (!error.empty()) {
        throw packer_error("the frame does not decode: " + error);
    }
    if (!lister.complete()) {
        throw packer_error("the archive ends without its terminator");
    }
    report_file_table(file, start, out);
}

}  // namespace packer
