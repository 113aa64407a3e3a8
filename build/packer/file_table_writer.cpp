// Making the file table: one pass over the block file, hashing its bytes as they are read and
// decoding the archive from them.
#include "file_table_writer.h"

#include "error.h"
#include "payload/archive_names.h"
#include "payload/block_format.h"
#include "progress.h"

#include <zstd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace fs = std::filesystem;

namespace packer {

namespace {

// The block's decoded archive, pulled a few bytes at a time; every byte of the file read on the
// way goes into the block's hash.
class archive_source {
public:
    explicit archive_source(const fs::path& block_file)
        : file_(block_file, std::ios::binary), name_(block_file.u8string()), decoder_(ZSTD_createDCtx(), ZSTD_freeDCtx)
    {
        XXH64_reset(&block_hash_, 0);
        if (!file_ || !decoder_) {
            fail("cannot be read");
        }
        ZSTD_DCtx_setParameter(decoder_.get(), ZSTD_d_windowLogMax, block_window_log_max);
        if (!refill() || input_.size < block_magic_size ||
            std::char_traits<char>::compare(in_.data(), reinterpret_cast<const char*>(block_magic),
                                            block_magic_size) != 0) {
            fail("does not start with the block magic");
        }
        input_.pos = block_magic_size;
    }

    void read(void* destination, size_t size)
    {
        char* at = static_cast<char*>(destination);
        while (size != 0) {
            if (out_pos_ == out_end_) {
                decode_more();
            }
            const size_t take = std::min(size, out_end_ - out_pos_);
            std::copy(out_.data() + out_pos_, out_.data() + out_pos_ + take, at);
            out_pos_ += take;
            at += take;
            size -= take;
        }
    }

    // The rest of the file into the hash; the block's XXH64.
    uint64_t finish()
    {
        while (refill()) {
        }
        return XXH64_digest(&block_hash_);
    }

    [[noreturn]] void fail(const std::string& why) const
    {
        throw packer_error("cannot make the file table of block '" + name_ + "': it " + why);
    }

private:
    bool refill()
    {
        file_.read(in_.data(), static_cast<std::streamsize>(in_.size()));
        const size_t got = static_cast<size_t>(file_.gcount());
        XXH64_update(&block_hash_, in_.data(), got);
        input_ = {in_.data(), got, 0};
        return got != 0;
    }

    void decode_more()
    {
        while (true) {
            if (frame_done_) {
                fail("ends inside its archive");
            }
            if (input_.pos == input_.size && !refill()) {
                fail("ends inside its frame");
            }
            ZSTD_outBuffer output = {out_.data(), out_.size(), 0};
            const size_t result = ZSTD_decompressStream(decoder_.get(), &output, &input_);
            if (ZSTD_isError(result)) {
                fail(std::string("does not decode (") + ZSTD_getErrorName(result) + ")");
            }
            frame_done_ = result == 0;
            out_pos_ = 0;
            out_end_ = output.pos;
            if (out_end_ != 0) {
                return;
            }
        }
    }

    std::ifstream file_;
    std::string name_;
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> decoder_;
    std::vector<char> in_ = std::vector<char>(1 << 20);
    std::vector<char> out_ = std::vector<char>(1 << 20);
    ZSTD_inBuffer input_ = {nullptr, 0, 0};
    size_t out_pos_ = 0;
    size_t out_end_ = 0;
    bool frame_done_ = false;
    XXH64_state_t block_hash_;
};

void append_le(std::string& bytes, uint64_t value, size_t count)
{
    unsigned char raw[8];
    le_write(raw, value, count);
    bytes.append(reinterpret_cast<const char*>(raw), count);
}

uint64_t read_le(archive_source& source, size_t count)
{
    unsigned char raw[8];
    source.read(raw, count);
    return le_read(raw, count);
}

// The next name's units; empty at the archive's end.
std::u16string read_name(archive_source& source)
{
    std::u16string name;
    for (char16_t unit = static_cast<char16_t>(read_le(source, 2)); unit != 0;
         unit = static_cast<char16_t>(read_le(source, 2))) {
        if (name.size() == archive_name_max_units) {
            source.fail("holds a name of more than " + grouped(archive_name_max_units) + " UTF-16 units");
        }
        name += unit;
    }
    return name;
}

uint64_t contents_hash(archive_source& source, uint64_t size)
{
    XXH64_state_t state;
    XXH64_reset(&state, 0);
    std::vector<char> chunk(1 << 20);
    for (uint64_t left = size; left != 0;) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
        source.read(chunk.data(), take);
        XXH64_update(&state, chunk.data(), take);
        left -= take;
    }
    return XXH64_digest(&state);
}

}  // namespace

std::string file_table_of_block(const fs::path& block_file)
{
    archive_source source(block_file);
    std::string entries;
    uint64_t count = 0;
    for (std::u16string name = read_name(source); !name.empty(); name = read_name(source)) {
        if (check_archive_name(name.data(), name.size()) != archive_name_safe) {
            source.fail("holds an unsafe file name");
        }
        if (++count > file_table_entry_limit) {
            source.fail("holds more files than a table lists");
        }
        const uint64_t size = read_le(source, 8);
        append_le(entries, size, 8);
        append_le(entries, contents_hash(source, size), 8);
        append_le(entries, name.size(), 2);
        for (char16_t unit : name) {
            append_le(entries, unit, 2);
        }
    }
    if (entries.size() > 0xFFFFFFFFu - file_table_header_size) {
        source.fail("lists more names than a table holds");
    }
    std::string table(reinterpret_cast<const char*>(file_table_magic), file_table_magic_size);
    append_le(table, source.finish(), 8);
    append_le(table, count, 4);
    append_le(table, file_table_header_size + entries.size(), 4);
    return table + entries;
}

std::string payload_hash_of_table(const std::string& table)
{
    if (table.size() < file_table_header_size ||
        table.compare(0, file_table_magic_size, reinterpret_cast<const char*>(file_table_magic),
                      file_table_magic_size) != 0) {
        return "";
    }
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx",
                  static_cast<unsigned long long>(le_read(reinterpret_cast<const unsigned char*>(table.data()) + 8, 8)));
    return digits;
}

}  // namespace packer
