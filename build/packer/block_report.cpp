// The reports of inspect, in text and in JSON, over the shared block reader.
#include "block_report.h"

#include "names.h"
#include "stub_image.h"

#include <cstdio>
#include <iomanip>
#include <sstream>

namespace packer {

namespace {

std::string size_text(uint64_t bytes)
{
    return std::to_string(bytes) + " bytes";
}

std::string hex64(uint64_t value)
{
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(value));
    return digits;
}

std::string sweep_of(const place_info& place)
{
    return (place.options & place_option_no_sweep) != 0 ? "off" : "on";
}

std::string unpack_mode_of(const place_info& place)
{
    return (place.options & place_option_cached_unpack) != 0 ? "cached" : "per-run";
}

// Entries as lines, written as the walk meets them, so that millions of entries cost no memory.
class entry_lines : public archive_visitor {
public:
    explicit entry_lines(std::ostream& out) : out_(out) {}
    void entry(uint64_t, const std::u16string& name, uint64_t size) override
    {
        out_ << std::setw(14) << size << "  " << printable_name(name) << "\n";
    }

private:
    std::ostream& out_;
};

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

void report_place(const place_info& place, std::ostream& out)
{
    const std::pair<const char*, const std::u16string*> texts[] = {
        {"company", &place.company}, {"product", &place.product}, {"version", &place.version},
        {"file version", &place.file_version}, {"product version", &place.product_version},
        {"template", &place.unpack_template}};
    for (const auto& [label, text] : texts) {
        if (!text->empty()) {
            out << label << ": " << printable_name(*text) << "\n";
        }
    }
    out << "sweep: " << sweep_of(place) << "\n";
}

void report_tail(const tail_info& tail, uint64_t block_size, std::ostream& out)
{
    out << "padding: " << tail.padding << " bytes" << (tail.padding_zero ? "" : " (not all zero)") << "\n";
    if (!tail.trailer) {
        out << "trailer: missing\n";
        return;
    }
    out << "trailer: " << *tail.trailer << (tail.trailer_matches ? " (matches)" : " (does not match)") << "\n";
    out << "block size: " << size_text(block_size) << "\n";
}

void report_file_table(const std::optional<file_table_info>& table, std::ostream& out)
{
    if (!table) {
        out << "unpack mode: per-run\n";
        return;
    }
    out << "unpack mode: cached\npayload hash: " << hex64(table->payload_hash) << "\nfile table: "
        << table->entries.size() << " files, " << table->length << " bytes\n";
    for (const auto& entry : table->entries) {
        out << std::setw(14) << entry.size << "  " << hex64(entry.hash) << "  " << printable_name(entry.name) << "\n";
    }
}

std::string json_string(const std::u16string& text)
{
    return "\"" + escaped_text(text, text_escapes::json) + "\"";
}

std::string json_string(const std::string& utf8)
{
    const std::optional<std::u16string> text = utf8_to_utf16(utf8);
    return json_string(text ? *text : std::u16string());
}

class entry_json : public archive_visitor {
public:
    std::string items;
    void entry(uint64_t number, const std::u16string& name, uint64_t size) override
    {
        items += std::string(number > 1 ? ",\n    " : "\n    ") + "{\"name\": " + json_string(name) +
                 ", \"size\": " + std::to_string(size) + "}";
    }
};

}  // namespace

void inspect_file(const std::filesystem::path& path, std::ostream& out)
{
    block_reader reader(path);
    inspect_block(reader, out);
}

void inspect_file_json(const std::filesystem::path& path, std::ostream& out)
{
    block_reader reader(path);
    inspect_block_json(reader, out);
}

void inspect_block(block_reader& reader, std::ostream& out)
{
    const std::filesystem::path& path = reader.file();
    out << "block at offset " << reader.block_start() << " of '" << path.u8string() << "'\n";
    if (reader.image()) {
        out << "architecture: " << describe_architecture(*reader.image()) << "\n";
    }
    if (reader.place()) {
        report_place(*reader.place(), out);
    }
    const frame_layout frame = reader.frame();
    report_header(frame, out);
    report_tail(reader.tail(frame), reader.block_size(), out);
    out << "entries:\n";
    entry_lines lines(out);
    decode_result result;
    try {
        result = reader.decode(frame, lines);
    } catch (const damaged_file&) {
        out.flush();
        throw;
    }
    out << result.entries << " entries, " << size_text(result.data_size) << " of data, archive stream "
        << size_text(result.stream_size) << "\n";
    if (reader.place()) {
        report_file_table(reader.file_table(), out);
    }
}

void inspect_block_json(block_reader& reader, std::ostream& out)
{
    const std::filesystem::path& path = reader.file();
    std::ostringstream json;
    json << "{\n  \"file\": " << json_string(path.u8string()) << ",\n";
    json << "  \"form\": \"" << (reader.place() ? "executable" : "block") << "\",\n";
    if (reader.image()) {
        const architecture_traits* target = traits_of_machine(reader.image()->machine);
        json << "  \"architecture\": " << json_string(target != nullptr ? target->name : "unknown") << ",\n";
    }
    json << "  \"block_offset\": " << reader.block_start() << ",\n  \"block_size\": " << reader.block_size() << ",\n";
    if (reader.place()) {
        const place_info& place = *reader.place();
        json << "  \"identity\": {\"company\": " << json_string(place.company)
             << ", \"product\": " << json_string(place.product) << ", \"version\": " << json_string(place.version)
             << ", \"file_version\": " << json_string(place.file_version)
             << ", \"product_version\": " << json_string(place.product_version) << "},\n";
        json << "  \"template\": " << json_string(place.unpack_template) << ",\n";
        json << "  \"sweep\": \"" << sweep_of(place) << "\",\n  \"unpack_mode\": \"" << unpack_mode_of(place) << "\",\n";
    }
    const frame_layout frame = reader.frame();
    const frame_header_info& header = frame.header;
    json << "  \"frame\": {\"size\": " << frame.size << ", \"compressed_blocks\": " << frame.compressed_blocks
         << ", \"raw_blocks\": " << frame.raw_blocks << ", \"rle_blocks\": " << frame.rle_blocks
         << ", \"window_size\": " << *header.window_size << ", \"single_segment\": "
         << (header.single_segment ? "true" : "false") << ", \"checksum\": " << (header.checksum ? "true" : "false")
         << ", \"content_size\": " << (header.content_size ? std::to_string(*header.content_size) : "null") << "},\n";
    const tail_info tail = reader.tail(frame);
    json << "  \"trailer_matches\": " << (tail.trailer_matches ? "true" : "false") << ",\n";
    entry_json entries;
    const decode_result result = reader.decode(frame, entries);
    json << "  \"archive_stream_size\": " << result.stream_size << ",\n  \"data_size\": " << result.data_size
         << ",\n  \"entries\": [" << entries.items << (entries.items.empty() ? "" : "\n  ") << "]";
    if (const std::optional<file_table_info> table = reader.file_table()) {
        json << ",\n  \"file_table\": {\"payload_hash\": \"" << hex64(table->payload_hash) << "\", \"files\": [";
        for (size_t i = 0; i < table->entries.size(); ++i) {
            const file_table_entry_info& entry = table->entries[i];
            json << (i ? ",\n    " : "\n    ") << "{\"name\": " << json_string(entry.name)
                 << ", \"size\": " << entry.size << ", \"hash\": \"" << hex64(entry.hash) << "\"}";
        }
        json << (table->entries.empty() ? "" : "\n  ") << "]}";
    }
    json << "\n}\n";
    out << json.str();
}

}  // namespace packer
