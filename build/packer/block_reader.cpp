// The one block reader of inspect, extract and verify: the place, the frame walk, the decoder
// and the archive's state machine, and the file table, each bounded by what the file holds.
#include "block_reader.h"

#include "le_bytes.h"
#include "names.h"
#include "progress.h"
#include "stub_image.h"
#include "payload/archive_names.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace fs = std::filesystem;

namespace packer {

namespace {

constexpr uint64_t frame_header_max = 18;

const std::string magic_text(reinterpret_cast<const char*>(block_magic), block_magic_size);
const std::string place_magic_text(reinterpret_cast<const char*>(place_magic), place_magic_size);

uint64_t number_at(const std::string& bytes, size_t offset, size_t count)
{
    return le_read(reinterpret_cast<const unsigned char*>(bytes.data()) + offset, count);
}

// A text of the place: UTF-16 units up to the first zero, within its capacity.
std::u16string place_text(const std::string& bytes, uint64_t offset, uint64_t units)
{
    std::u16string text;
    for (uint64_t i = 0; i < units; ++i) {
        const char16_t unit = static_cast<char16_t>(number_at(bytes, static_cast<size_t>(offset + 2 * i), 2));
        if (unit == 0) {
            break;
        }
        text += unit;
    }
    return text;
}

std::string size_text(uint64_t bytes)
{
    return std::to_string(bytes) + " bytes";
}

// Parses the archive stream as it arrives, one byte at a time through a small state machine,
// and hands what it meets to the visitor; nothing of an entry is kept past its name.
class archive_walk {
public:
    explicit archive_walk(archive_visitor& visitor) : visitor_(visitor) {}
    decode_result result;

    void feed(const char* data, size_t size)
    {
        result.stream_size += size;
        for (size_t i = 0; i < size;) {
            if (state_ == state::data) {
                const size_t take = static_cast<size_t>(std::min<uint64_t>(left_, size - i));
                visitor_.data(data + i, take);
                i += take;
                left_ -= take;
                if (left_ == 0) {
                    visitor_.entry_end();
                    state_ = state::name;
                }
                continue;
            }
            if (state_ == state::done) {
                result.bytes_after_terminator = true;
                return;
            }
            take(static_cast<unsigned char>(data[i++]));
        }
    }

    bool complete() const { return state_ == state::done; }

private:
    enum class state { name, size, data, done };

    void take(unsigned char byte)
    {
        pending_[pending_size_++] = byte;
        if (state_ == state::name && pending_size_ == 2) {
            pending_size_ = 0;
            take_name_unit(static_cast<char16_t>(pending_[0] | (pending_[1] << 8)));
        } else if (state_ == state::size && pending_size_ == 8) {
            pending_size_ = 0;
            left_ = le_read(pending_, 8);
            ++result.entries;
            result.data_size += left_;
            visitor_.entry(result.entries, name_, left_);
            name_.clear();
            if (left_ == 0) {
                visitor_.entry_end();
                state_ = state::name;
            } else {
                state_ = state::data;
            }
        }
    }

    void take_name_unit(char16_t unit)
    {
        if (unit == 0) {
            state_ = name_.empty() ? state::done : state::size;
            return;
        }
        if (name_.size() >= archive_name_max_units) {
            throw damaged_file("entry " + std::to_string(result.entries + 1) + " has a name longer than " +
                               grouped(archive_name_max_units) + " UTF-16 units, which the launcher cannot take");
        }
        name_ += unit;
    }

    archive_visitor& visitor_;
    state state_ = state::name;
    unsigned char pending_[8] = {};
    size_t pending_size_ = 0;
    std::u16string name_;
    uint64_t left_ = 0;
};

void refuse_decoder_error(size_t result)
{
    if (ZSTD_getErrorCode(result) == ZSTD_error_checksum_wrong) {
        throw checksum_mismatch("the decoded archive does not match the frame's content checksum");
    }
    if (ZSTD_isError(result)) {
        throw damaged_file(std::string("the frame does not decode: ") + ZSTD_getErrorName(result));
    }
}

struct dctx_deleter {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

}  // namespace

frame_header_info parse_frame_header(const unsigned char* data, size_t size)
{
    if (size < 5 || le_read(data, 4) != 0xFD2FB528) {
        throw damaged_file("no zstd frame after the magic");
    }
    frame_header_info info;
    const unsigned descriptor = data[4];
    const unsigned content_flag = descriptor >> 6;
    info.single_segment = (descriptor >> 5) & 1;
    info.checksum = (descriptor >> 2) & 1;
    const size_t dictionary_sizes[] = {0, 1, 2, 4};
    const size_t dictionary_size = dictionary_sizes[descriptor & 3];
    const size_t content_sizes[] = {info.single_segment ? 1u : 0u, 2, 4, 8};
    const size_t content_size_size = content_sizes[content_flag];
    size_t offset = 5;
    info.header_size = offset + (info.single_segment ? 0 : 1) + dictionary_size + content_size_size;
    if (size < info.header_size) {
        throw damaged_file("the frame header is cut short");
    }
    if (!info.single_segment) {
        const unsigned window = data[offset++];
        info.window_descriptor = window;
        const uint64_t base = uint64_t{1} << (10 + (window >> 3));
        info.window_size = base + (base / 8) * (window & 7);
    }
    info.dictionary_id = static_cast<uint32_t>(le_read(data + offset, dictionary_size));
    offset += dictionary_size;
    if (content_size_size) {
        info.content_size = le_read(data + offset, content_size_size) + (content_size_size == 2 ? 256 : 0);
        if (info.single_segment) {
            info.window_size = info.content_size;
        }
    }
    return info;
}

block_reader::block_reader(const fs::path& file) : path_(file)
{
    auto stream = std::make_unique<std::ifstream>(file, std::ios::binary);
    std::error_code error;
    if (!*stream || fs::is_directory(file, error)) {
        throw packer_error("cannot read '" + file.u8string() + "': " +
                           (*stream ? std::string("a folder") : std::string(std::strerror(errno))));
    }
    in_ = std::move(stream);
    in_->seekg(0, std::ios::end);
    file_size_ = static_cast<uint64_t>(in_->tellg());
    locate();
}

block_reader::block_reader(std::string bytes, const fs::path& name) : path_(name)
{
    file_size_ = bytes.size();
    in_ = std::make_unique<std::istringstream>(std::move(bytes), std::ios::binary);
    locate();
}

void block_reader::damaged(const std::string& why) const
{
    throw damaged_file(why);
}

std::string block_reader::read(uint64_t offset, size_t size)
{
    if (offset >= file_size_) {
        return std::string();
    }
    std::string bytes(static_cast<size_t>(std::min<uint64_t>(size, file_size_ - offset)), '\0');
    in_->clear();
    in_->seekg(static_cast<std::streamoff>(offset));
    in_->read(&bytes[0], static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in_->gcount()));
    return bytes;
}

// Where the launcher reads: its linked address of the block lies in .veldra, right after the
// place, and the length comes from the place. Nothing elsewhere in the file is looked at, so a
// block-like run of bytes in padding or in another section is never taken for the block.
void block_reader::locate()
{
    if (read(0, block_magic_size) == magic_text) {
        start_ = 0;
        size_ = file_size_;
        return;
    }
    image_ = read_pe_header([this](uint64_t offset, size_t size) { return read(offset, size); });
    if (!image_) {
        damaged("'" + path_.u8string() + "' is neither a block (no \"" + magic_text +
                "\" at its start) nor a launcher executable (no PE header)");
    }
    const std::string coff = read(image_->offset + 4, pe_coff_header_size);
    const uint64_t count = number_at(coff, 2, 2);
    const uint64_t table = image_->offset + 4 + pe_coff_header_size + number_at(coff, 16, 2);
    if (table + count * pe_section_header_size > file_size_) {
        damaged("the section table runs past the end of the file");
    }
    const std::string sections = read(table, static_cast<size_t>(count * pe_section_header_size));
    std::optional<uint64_t> found;
    for (uint64_t i = 0; i < count && !found; ++i) {
        if (sections.compare(static_cast<size_t>(i * pe_section_header_size), 8, std::string(".veldra\0", 8)) == 0) {
            found = i * pe_section_header_size;
        }
    }
    if (!found) {
        damaged("the executable has no .veldra section: no launcher made by the packer");
    }
    const uint64_t virtual_size = number_at(sections, static_cast<size_t>(*found + 8), 4);
    const uint64_t raw_size = number_at(sections, static_cast<size_t>(*found + 16), 4);
    const uint64_t raw_pointer = number_at(sections, static_cast<size_t>(*found + 20), 4);
    const uint64_t section_size = std::min(virtual_size, raw_size);
    if (raw_pointer + raw_size > file_size_) {
        damaged("the .veldra section runs past the end of the file");
    }
    if (section_size < place_block || read(raw_pointer, place_magic_size) != place_magic_text) {
        damaged("the .veldra section does not start with the place's magic and its texts");
    }
    const std::string head = read(raw_pointer, static_cast<size_t>(place_block));
    place_info place;
    place.offset = raw_pointer;
    place.options = static_cast<uint32_t>(number_at(head, place_options_field, 4));
    std::u16string* texts[] = {&place.company, &place.product, &place.version, &place.file_version,
                               &place.product_version};
    uint64_t text = place_texts;
    for (std::u16string* each : texts) {
        *each = place_text(head, text, identity_text_units);
        text += 2 * identity_text_units;
    }
    place.unpack_template = place_text(head, text, template_text_units);
    start_ = raw_pointer + place_block;
    size_ = number_at(head, place_size_field, 4);
    place.room = section_size - place_block;
    if (size_ > place.room) {
        damaged("the place gives the block " + size_text(size_) + ", more than the .veldra section holds (" +
                size_text(place.room) + ")");
    }
    place_ = place;
}

frame_layout block_reader::frame()
{
    if (read(start_, block_magic_size) != magic_text || size_ < block_magic_size) {
        damaged("the block does not start with the magic \"" + magic_text + "\"");
    }
    const uint64_t end = start_ + size_;
    const uint64_t frame_start = start_ + block_magic_size;
    const std::string head = read(frame_start, static_cast<size_t>(std::min(frame_header_max, end - frame_start)));
    frame_layout layout;
    layout.header = parse_frame_header(reinterpret_cast<const unsigned char*>(head.data()), head.size());
    uint64_t offset = frame_start + layout.header.header_size;
    for (bool last = false; !last;) {
        const std::string raw = offset + 3 <= end ? read(offset, 3) : std::string();
        if (raw.size() < 3) {
            damaged("the frame is cut short: a block header is missing");
        }
        const uint64_t header = number_at(raw, 0, 3);
        last = header & 1;
        const unsigned type = (header >> 1) & 3;
        if (type == 3) {
            damaged("the frame holds a block of the reserved type");
        }
        (type == 0 ? layout.raw_blocks : type == 1 ? layout.rle_blocks : layout.compressed_blocks)++;
        offset += 3 + (type == 1 ? 1 : header >> 3);
        if (offset > end) {
            damaged("the frame is cut short: a block runs past the end of the block");
        }
    }
    offset += layout.header.checksum ? 4 : 0;
    if (offset > end) {
        damaged("the frame is cut short: its checksum is missing");
    }
    layout.size = offset - frame_start;
    if (!layout.header.window_size || *layout.header.window_size > max_window_size) {
        damaged("the frame asks for a window of " +
                (layout.header.window_size ? size_text(*layout.header.window_size) : std::string("unknown size")) +
                ", more than the 134217728 bytes (2^27) the launcher decodes");
    }
    return layout;
}

tail_info block_reader::tail(const frame_layout& frame)
{
    const uint64_t frame_end = start_ + block_magic_size + frame.size;
    const uint64_t end = start_ + size_;
    tail_info tail;
    const uint64_t before_trailer = frame_end + block_padding(frame_end - start_);
    const std::string padding = read(frame_end, static_cast<size_t>(std::min(before_trailer, end) - frame_end));
    tail.padding = padding.size();
    tail.padding_zero = padding.find_first_not_of('\0') == std::string::npos;
    if (before_trailer + block_trailer_size <= end) {
        const std::string trailer = read(before_trailer, block_trailer_size);
        tail.trailer = number_at(trailer, 0, block_trailer_size);
        tail.trailer_matches = *tail.trailer == before_trailer - start_;
    }
    return tail;
}

decode_result block_reader::decode(const frame_layout& frame, archive_visitor& visitor)
{
    std::unique_ptr<ZSTD_DCtx, dctx_deleter> context(ZSTD_createDCtx());
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, block_window_log_max);
    std::vector<char> output(ZSTD_DStreamOutSize());
    archive_walk walk(visitor);
    const uint64_t frame_start = start_ + block_magic_size;
    size_t result = 1;
    for (uint64_t offset = 0; offset < frame.size;) {
        const std::string input_bytes =
            read(frame_start + offset, static_cast<size_t>(std::min<uint64_t>(frame.size - offset, 1 << 20)));
        if (input_bytes.empty()) {
            damaged("the frame is cut short");
        }
        ZSTD_inBuffer input = {input_bytes.data(), input_bytes.size(), 0};
        while (input.pos < input.size) {
            ZSTD_outBuffer out = {output.data(), output.size(), 0};
            result = ZSTD_decompressStream(context.get(), &out, &input);
            refuse_decoder_error(result);
            walk.feed(output.data(), out.pos);
        }
        offset += input_bytes.size();
    }
    // Output the decoder still holds.
    while (result != 0) {
        ZSTD_inBuffer input = {nullptr, 0, 0};
        ZSTD_outBuffer out = {output.data(), output.size(), 0};
        result = ZSTD_decompressStream(context.get(), &out, &input);
        refuse_decoder_error(result);
        walk.feed(output.data(), out.pos);
        if (out.pos == 0 && result != 0) {
            damaged("the frame does not decode: it ends before its last block");
        }
    }
    if (!walk.complete()) {
        damaged("the archive ends without its terminator");
    }
    return walk.result;
}

// Bounded as the launcher bounds it: the length inside the section, a count within the limit,
// every entry inside the length with a name the launcher accepts, the last ending at the length.
std::optional<file_table_info> block_reader::file_table()
{
    if (!place_ || (place_->options & place_option_cached_unpack) == 0) {
        return std::nullopt;
    }
    const uint64_t offset = file_table_offset(size_);
    const uint64_t room = place_->room >= offset ? place_->room - offset : 0;
    const std::string header = read(start_ + offset, static_cast<size_t>(std::min<uint64_t>(room, file_table_header_size)));
    if (header.size() < file_table_header_size ||
        header.compare(0, file_table_magic_size, reinterpret_cast<const char*>(file_table_magic),
                       file_table_magic_size) != 0) {
        damaged("the pack is in cached mode but carries no file table after its block");
    }
    file_table_info info;
    info.payload_hash = number_at(header, 8, 8);
    const uint64_t count = number_at(header, 16, 4);
    info.length = static_cast<uint32_t>(number_at(header, 20, 4));
    if (info.length < file_table_header_size || info.length > room || count > file_table_entry_limit) {
        damaged("the file table's length or count runs past what it may hold");
    }
    const std::string table = read(start_ + offset, info.length);
    uint64_t at = file_table_header_size;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t units = info.length - at >= file_table_entry_fixed_size ? number_at(table, static_cast<size_t>(at + 16), 2) : 0;
        if (units == 0 || units > archive_name_max_units || info.length - at - file_table_entry_fixed_size < 2 * units) {
            damaged("file table entry " + std::to_string(i + 1) + " runs past the table");
        }
        file_table_entry_info entry;
        entry.size = number_at(table, static_cast<size_t>(at), 8);
        entry.hash = number_at(table, static_cast<size_t>(at + 8), 8);
        for (uint64_t u = 0; u < units; ++u) {
            entry.name += static_cast<char16_t>(number_at(table, static_cast<size_t>(at + file_table_entry_fixed_size + 2 * u), 2));
        }
        if (check_archive_name(entry.name.data(), entry.name.size()) != archive_name_safe) {
            damaged("file table entry " + std::to_string(i + 1) + " has a name the launcher refuses: '" +
                    printable_name(entry.name) + "'");
        }
        at += file_table_entry_fixed_size + 2 * units;
        info.entries.push_back(std::move(entry));
    }
    if (at != info.length) {
        damaged("the file table holds bytes past its last entry");
    }
    return info;
}

uint64_t block_reader::block_hash()
{
    XXH64_state_t state;
    XXH64_reset(&state, 0);
    for (uint64_t offset = 0; offset < size_;) {
        const std::string chunk = read(start_ + offset, static_cast<size_t>(std::min<uint64_t>(size_ - offset, 1 << 20)));
        if (chunk.empty()) {
            damaged("the block is cut short");
        }
        XXH64_update(&state, chunk.data(), chunk.size());
        offset += chunk.size();
    }
    return XXH64_digest(&state);
}

std::string escaped_text(const std::u16string& text, text_escapes style)
{
    const bool json = style == text_escapes::json;
    std::string result;
    std::u16string plain;
    auto flush = [&] {
        result += utf16_to_utf8(plain);
        plain.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        const bool high = unit >= 0xD800 && unit < 0xDC00;
        const bool surrogate = unit >= 0xD800 && unit < 0xE000;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            plain += unit;
            plain += text[++i];
            continue;
        }
        const bool control = unit < 0x20 || unit == 0x7F || (!json && unit >= 0x80 && unit < 0xA0);
        char escape[8] = {};
        if (json && (unit == u'"' || unit == u'\\')) {
            escape[0] = '\\';
            escape[1] = static_cast<char>(unit);
        } else if (control || surrogate) {
            std::snprintf(escape, sizeof escape, json ? "\\u%04x" : surrogate ? "\\u%04X" : "\\x%02X",
                          static_cast<unsigned>(unit));
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

std::string printable_name(const std::u16string& name)
{
    return escaped_text(name, text_escapes::line);
}

}  // namespace packer
