// extract and verify over the shared block reader.
#include "block_tools.h"

#include "archive.h"
#include "block_reader.h"
#include "cleanup.h"
#include "names.h"
#include "stub_image.h"
#include "payload/archive_names.h"

#include <cstdio>
#include <fstream>
#include <map>

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace fs = std::filesystem;

namespace packer {

namespace {

std::string quoted_name(const std::u16string& name)
{
    return "'" + printable_name(name) + "'";
}

// The launcher's refusal of a name, before any path is made of it.
void check_name(uint64_t number, const std::u16string& name)
{
    if (check_archive_name(name.data(), name.size()) != archive_name_safe) {
        throw damaged_file("entry " + std::to_string(number) + " has an unsafe file name, which the launcher refuses: " +
                           quoted_name(name));
    }
}

// Files written as the launcher writes them on Windows: a name that differs from an earlier
// one only by case is that earlier file (or folder) there, so it is written under the earlier
// spelling, and a repeated name writes the file again.
class folder_writer : public archive_visitor {
public:
    explicit folder_writer(const fs::path& root) : root_(root) {}

    void entry(uint64_t number, const std::u16string& name, uint64_t) override
    {
        check_name(number, name);
        std::string relative = utf16_to_utf8(windows_spelling(name));
        for (char& c : relative) {
            c = c == '\\' ? '/' : c;
        }
        const fs::path path = root_ / fs::u8path(relative);
        std::error_code error;
        fs::create_directories(path.parent_path(), error);
        file_.open(path, std::ios::binary | std::ios::trunc);
        if (error || !file_) {
            throw packer_error("cannot write entry " + std::to_string(number) + " " + quoted_name(name) +
                               (error ? ": " + error.message() : std::string()));
        }
        current_ = name;
    }

    void data(const char* bytes, size_t size) override
    {
        if (!file_.write(bytes, static_cast<std::streamsize>(size))) {
            throw packer_error("cannot write " + quoted_name(current_));
        }
    }

    void entry_end() override
    {
        file_.close();
        if (!file_) {
            throw packer_error("cannot write " + quoted_name(current_));
        }
    }

private:
    std::u16string windows_spelling(const std::u16string& name)
    {
        std::u16string spelled;
        size_t start = 0;
        for (size_t i = 0; i <= name.size(); ++i) {
            if (i == name.size() || name[i] == u'\\') {
                const std::u16string prefix =
                    spelled.empty() ? name.substr(0, i) : spelled + u'\\' + name.substr(start, i - start);
                spelled = spellings_.emplace(windows_folded(prefix), prefix).first->second;
                start = i + 1;
            }
        }
        return spelled;
    }

    fs::path root_;
    std::ofstream file_;
    std::u16string current_;
    std::map<std::u16string, std::u16string> spellings_;
};

// Each file's size and XXH64, for the file table; and the names the launcher would refuse.
class archive_facts : public archive_visitor {
public:
    std::vector<file_table_entry_info> files;

    void entry(uint64_t number, const std::u16string& name, uint64_t size) override
    {
        check_name(number, name);
        files.push_back({size, 0, name});
        XXH64_reset(&state_, 0);
    }
    void data(const char* bytes, size_t size) override { XXH64_update(&state_, bytes, size); }
    void entry_end() override { files.back().hash = XXH64_digest(&state_); }

private:
    XXH64_state_t state_{};
};

std::string hex32(uint32_t value)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "0x%08x", value);
    return digits;
}

// The table must list the archive's files, in its order, with their sizes and hashes, and carry
// the block's own hash.
std::string table_mismatch(const file_table_info& table, const std::vector<file_table_entry_info>& files,
                           uint64_t block_hash)
{
    if (table.payload_hash != block_hash) {
        return "its payload hash is not the block's";
    }
    if (table.entries.size() != files.size()) {
        return "it lists " + std::to_string(table.entries.size()) + " files, the archive holds " +
               std::to_string(files.size());
    }
    for (size_t i = 0; i < files.size(); ++i) {
        const file_table_entry_info& listed = table.entries[i];
        if (listed.name != files[i].name || listed.size != files[i].size || listed.hash != files[i].hash) {
            return "entry " + std::to_string(i + 1) + " " + quoted_name(listed.name) +
                   " does not match the archive's file " + quoted_name(files[i].name);
        }
    }
    return "";
}

class check_lines {
public:
    explicit check_lines(std::ostream& out) : out_(out) {}
    void pass(const std::string& check, const std::string& detail) { out_ << check << ": ok, " << detail << "\n"; }
    void note(const std::string& check, const std::string& detail) { out_ << check << ": " << detail << "\n"; }
    void fail(const std::string& check, const std::string& why)
    {
        out_ << check << ": FAILED, " << why << "\n";
        failed_ = true;
    }
    bool failed() const { return failed_; }

private:
    std::ostream& out_;
    bool failed_ = false;
};

void verify_image(block_reader& reader, check_lines& lines)
{
    const pe_header& image = *reader.image();
    try {
        const pe_fields fields = locate_pe_fields(reader.read(0, 4096));
        const uint32_t stored = static_cast<uint32_t>(le_read(
            reinterpret_cast<const unsigned char*>(reader.read(fields.checksum_offset, 4).data()), 4));
        const uint32_t computed = file_checksum(reader.file());
        if (stored == computed) {
            lines.pass("image checksum", hex32(stored));
        } else {
            lines.fail("image checksum", "the headers say " + hex32(stored) + ", the file sums to " + hex32(computed));
        }
        const uint64_t directory = traits_of(fields.arch).data_directories + 8 * pe_security_directory;
        const uint64_t signature_size = image.optional_header.size() >= directory + 8
                                            ? le_read(reinterpret_cast<const unsigned char*>(image.optional_header.data()) + directory + 4, 4)
                                            : 0;
        lines.note("signature", signature_size ? "present, " + std::to_string(signature_size) + " bytes" : "none");
    } catch (const packer_error& error) {
        lines.fail("image checksum", error.what());
    }
}

}  // namespace

void extract_block(const fs::path& file, const fs::path& folder)
{
    std::error_code error;
    if (fs::exists(fs::symlink_status(folder, error))) {
        throw packer_error("cannot extract into '" + folder.u8string() + "': it exists");
    }
    const fs::path target = fs::absolute(folder);
    block_reader reader(file);
    const frame_layout frame = reader.frame();
    // A cached pack's launcher refuses a damaged table before it unpacks anything.
    reader.file_table();
    temporary_folder unpacked(target.parent_path(), ("." + target.filename().u8string() + ".tmp").c_str());
    folder_writer writer(unpacked.path());
    if (reader.decode(frame, writer).entries == 0) {
        throw damaged_file("the archive holds no main module");
    }
    unpacked.keep_as(target);
}

bool verify_file(const fs::path& file, std::ostream& out)
{
    check_lines lines(out);
    std::optional<block_reader> reader;
    try {
        reader.emplace(file);
    } catch (const damaged_file& error) {
        lines.fail("place", error.what());
        return false;
    }
    if (reader->place()) {
        lines.pass("place", ".veldra at offset " + std::to_string(reader->place()->offset) + " gives a block of " +
                                std::to_string(reader->block_size()) + " bytes");
    } else {
        lines.note("place", "none, a block file");
    }
    frame_layout frame;
    try {
        frame = reader->frame();
        lines.pass("frame", std::to_string(frame.size) + " bytes, window of " +
                                std::to_string(*frame.header.window_size) + " bytes");
    } catch (const damaged_file& error) {
        lines.fail("frame", error.what());
        return false;
    }
    const tail_info tail = reader->tail(frame);
    if (!tail.padding_zero || !tail.trailer_matches) {
        lines.fail("trailer", !tail.padding_zero ? "the padding is not all zero"
                              : tail.trailer    ? "it gives " + std::to_string(*tail.trailer) + ", not the length before it"
                                                : "missing");
    } else {
        lines.pass("trailer", "the length before it");
    }
    archive_facts facts;
    bool decoded = false;
    try {
        const decode_result result = reader->decode(frame, facts);
        decoded = true;
        lines.pass("archive", std::to_string(result.entries) + " entries, " + std::to_string(result.data_size) +
                                  " bytes of data");
        if (result.entries == 0) {
            lines.fail("main module", "the archive holds no entry");
        }
    } catch (const checksum_mismatch& error) {
        lines.fail("content checksum", error.what());
    } catch (const damaged_file& error) {
        lines.fail("archive", error.what());
    }
    if (decoded) {
        lines.note("content checksum", frame.header.checksum ? "ok, the decoded archive matches it"
                                                             : "not stored (packed with --no-checksum)");
    }
    if (reader->place()) {
        try {
            const std::optional<file_table_info> table = reader->file_table();
            if (!table) {
                lines.note("file table", "none, a per-run pack");
            } else if (!decoded) {
                lines.fail("file table", "not compared: the archive did not decode");
            } else if (const std::string why = table_mismatch(*table, facts.files, reader->block_hash()); !why.empty()) {
                lines.fail("file table", why);
            } else {
                lines.pass("file table", std::to_string(table->entries.size()) + " files match the archive");
            }
        } catch (const damaged_file& error) {
            lines.fail("file table", error.what());
        }
        verify_image(*reader, lines);
    }
    return !lines.failed();
}

}  // namespace packer
