// Reading a stub defensively (every offset checked against what the file holds) and writing
// the executable made of it, the checksum computed as the bytes go out.
#include "stub_image.h"

#include "error.h"
#include "pe_image.h"
#include "le_bytes.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

namespace packer {

namespace {

constexpr uint64_t section_header_size = pe_section_header_size;
constexpr uint64_t resource_directory = pe_resource_directory;
constexpr uint64_t security_directory = pe_security_directory;
// A stub is the launcher, some hundred KiB; anything far larger is no stub.
constexpr uint64_t max_stub_size = uint64_t{64} << 20;
// The page of both architectures, which a loader maps sections in.
constexpr uint64_t page_size = 0x1000;
// IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ, as a linker marks .rsrc.
constexpr uint32_t resource_characteristics = 0x40000040;

uint64_t align_up(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

bool power_of_two(uint32_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// Fields of the optional header, at the same place in PE32 and PE32+.
constexpr uint64_t initialized_data_field = 8;
constexpr uint64_t section_alignment_field = 32;
constexpr uint64_t file_alignment_field = 36;
constexpr uint64_t image_size_field = 56;
constexpr uint64_t headers_size_field = 60;
constexpr uint64_t checksum_field = 64;

struct place_section {
    uint64_t header;  // file offset of its section header
    uint32_t virtual_address;
    uint32_t raw_size;
    uint32_t raw_pointer;
};

place_section place_of(const stub_image& stub)
{
    const uint64_t header = stub.section_table + section_header_size * (stub.section_count - 1u);
    return {header, get_u32(stub.bytes, header + 12), get_u32(stub.bytes, header + 16), get_u32(stub.bytes, header + 20)};
}

uint64_t directory_offset(const stub_image& stub, uint64_t index)
{
    return stub.optional + traits_of(stub.arch).data_directories + 8 * index;
}

// A text of the place: its units, then zeros to its capacity (one unit at least, the NUL).
void put_text(std::string& bytes, uint64_t offset, const std::u16string& text, uint64_t capacity, const char* what)
{
    if (text.size() >= capacity) {
        throw packer_error(std::string(what) + " is longer than " + std::to_string(capacity - 1) + " UTF-16 units");
    }
    for (uint64_t i = 0; i < capacity; ++i) {
        set_u16(bytes, offset + 2 * i, i < text.size() ? static_cast<uint16_t>(text[i]) : 0);
    }
}

}  // namespace

std::string stub_file_name(architecture arch)
{
    return std::string("veldra-stub-") + traits_of(arch).name + ".exe";
}

fs::path find_stub(architecture arch, const fs::path& given, const fs::path& packer_dir, const fs::path& launcher_root)
{
    if (!given.empty()) {
        return given;
    }
    std::error_code ignored;
    const fs::path beside = packer_dir / stub_file_name(arch);
    if (!packer_dir.empty() && fs::is_regular_file(beside, ignored)) {
        return beside;
    }
    return launcher_root / traits_of(arch).name / stub_file_name(arch);
}

stub_image stub_of_bytes(std::string bytes, const std::string& name, architecture arch)
{
    const architecture_traits& target = traits_of(arch);
    const std::string stub = "launcher stub '" + name + "'";
    const std::optional<pe_header> header = pe_header_of_bytes(bytes);
    if (!header) {
        throw packer_error(stub + " is not a PE image");
    }
    if (header->machine != target.machine || (header->characteristics & 0x2000) != 0) {
        throw packer_error(stub + " is " + describe_module(*header) + ", not the " + target.name + " stub");
    }
    if (header->optional_header.size() < target.data_directories + 8 * (security_directory + 1) ||
        get_u16(header->optional_header, 0) != target.optional_magic ||
        get_u32(header->optional_header, target.data_directories - 4) <= security_directory) {
        throw packer_error(stub + " has no " + target.format + " optional header with a resource directory");
    }
    stub_image image;
    image.arch = arch;
    image.optional = header->offset + 24;
    image.section_table = image.optional + get_u16(bytes, header->offset + 4 + 16);
    image.section_count = get_u16(bytes, header->offset + 4 + 2);
    const uint32_t file_alignment = get_u32(bytes, image.optional + file_alignment_field);
    const uint32_t section_alignment = get_u32(bytes, image.optional + section_alignment_field);
    const uint64_t headers_size = get_u32(bytes, image.optional + headers_size_field);
    const uint64_t table_end = image.section_table + section_header_size * image.section_count;
    if (!power_of_two(file_alignment) || !power_of_two(section_alignment) || image.section_count == 0 ||
        table_end > bytes.size()) {
        throw packer_error(stub + " has a damaged section table");
    }
    image.bytes = std::move(bytes);
    const place_section place = place_of(image);
    const uint32_t place_virtual_size = get_u32(image.bytes, place.header + 8);
    if (image.bytes.compare(place.header, 8, std::string(".veldra\0", 8)) != 0 ||
        uint64_t{place.raw_pointer} + place.raw_size != image.bytes.size() || place_virtual_size < place_block ||
        place.raw_size < place_block || image.bytes.compare(place.raw_pointer, place_magic_size, reinterpret_cast<const char*>(place_magic),
                                             place_magic_size) != 0) {
        throw packer_error(stub + " has no place for the block: its last section is not .veldra with its magic, "
                                  "ending the file");
    }
    for (uint64_t directory : {resource_directory, security_directory}) {
        if (get_u32(image.bytes, directory_offset(image, directory)) != 0 ||
            get_u32(image.bytes, directory_offset(image, directory) + 4) != 0) {
            throw packer_error(stub + " already carries resources or a signature");
        }
    }
    const uint64_t new_header = table_end;
    if (new_header + section_header_size > headers_size || headers_size > image.bytes.size() ||
        image.bytes.find_first_not_of('\0', new_header) < new_header + section_header_size) {
        throw packer_error(stub + " has no room in its headers for one more section");
    }
    return image;
}

stub_image read_stub(const fs::path& file, architecture arch)
{
    std::error_code error;
    if (!fs::exists(file, error)) {
        throw packer_error("launcher stub '" + file.string() + "' not found; run ./veldra build first, or give --stub FILE");
    }
    const uint64_t size = fs::is_regular_file(file, error) ? fs::file_size(file, error) : 0;
    std::ifstream in(file, std::ios::binary);
    if (error || !in || size > max_stub_size) {
        throw packer_error("cannot read launcher stub '" + file.string() + "'" +
                           (size > max_stub_size ? ": larger than any stub" : ""));
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(size))) {
        throw packer_error("cannot read launcher stub '" + file.string() + "'");
    }
    return stub_of_bytes(std::move(bytes), file.u8string(), arch);
}

uint64_t carried_size(uint64_t block_size, const std::string& file_table)
{
    return file_table.empty() ? block_size : file_table_offset(block_size) + file_table.size();
}

uint32_t resource_rva(const stub_image& stub, uint64_t block_size)
{
    const place_section place = place_of(stub);
    const uint32_t section_alignment = get_u32(stub.bytes, stub.optional + section_alignment_field);
    return static_cast<uint32_t>(align_up(place.virtual_address + place_block + block_size, section_alignment));
}

void write_launcher(const stub_image& stub, const build_identity& identity, const fs::path& block_file,
                    uint64_t block_size, const std::string& file_table, const std::string& resource_section,
                    output_file& out)
{
    const architecture_traits& target = traits_of(stub.arch);
    const place_section place = place_of(stub);
    const uint32_t file_alignment = get_u32(stub.bytes, stub.optional + file_alignment_field);
    const uint32_t section_alignment = get_u32(stub.bytes, stub.optional + section_alignment_field);
    const uint64_t place_virtual_size = place_block + carried_size(block_size, file_table);
    const uint64_t place_raw_size = align_up(place_virtual_size, file_alignment);
    const uint64_t resources_rva = resource_rva(stub, carried_size(block_size, file_table));
    const uint64_t resources_raw_size = align_up(resource_section.size(), file_alignment);
    const uint64_t image_size = align_up(resources_rva + resource_section.size(), section_alignment);
    if (image_size > 0xFFFFFFFFu) {
        throw packer_error("the block does not fit a " + std::string(target.bits) + " image");
    }

    // Everything of the stub before its block, with the headers and the place set. The place
    // moves to a page boundary of the file: Wine maps a section found there and reads any other
    // whole into each process, block included, before the first instruction.
    const uint64_t at = align_up(place.raw_pointer, section_alignment % page_size == 0
                                                        ? std::max<uint64_t>(file_alignment, page_size)
                                                        : file_alignment);
    std::string head = stub.bytes.substr(0, place.raw_pointer);
    head.append(at - place.raw_pointer, '\0');
    head.append(stub.bytes, place.raw_pointer, place_block);
    set_u32(head, at + place_size_field, block_size);
    set_u32(head, at + place_options_field,
            (identity.sweep ? 0 : place_option_no_sweep) | (identity.cached ? place_option_cached_unpack : 0));
    const std::u16string* identity_texts[] = {&identity.company, &identity.product, &identity.version,
                                              &identity.file_version, &identity.product_version};
    uint64_t text = at + place_texts;
    for (const std::u16string* each : identity_texts) {
        put_text(head, text, *each, identity_text_units, "an identity text");
        text += 2 * identity_text_units;
    }
    put_text(head, text, identity.unpack_template, template_text_units, "the template");

    set_u32(head, place.header + 8, place_virtual_size);
    set_u32(head, place.header + 16, place_raw_size);
    set_u32(head, place.header + 20, at);
    const uint64_t resources_header = place.header + section_header_size;
    head.replace(resources_header, 8, std::string(".rsrc\0\0\0", 8));
    set_u32(head, resources_header + 8, resource_section.size());
    set_u32(head, resources_header + 12, resources_rva);
    set_u32(head, resources_header + 16, resources_raw_size);
    set_u32(head, resources_header + 20, at + place_raw_size);
    set_u32(head, resources_header + 36, resource_characteristics);
    const uint64_t coff = stub.optional - 20;
    set_u16(head, coff + 2, static_cast<uint16_t>(stub.section_count + 1));
    set_u16(head, coff + 18, target.characteristics);
    const uint64_t initialized = get_u32(head, stub.optional + initialized_data_field);
    set_u32(head, stub.optional + initialized_data_field,
            initialized - place.raw_size + place_raw_size + resources_raw_size);
    set_u32(head, stub.optional + image_size_field, image_size);
    set_u32(head, directory_offset(stub, resource_directory), resources_rva);
    set_u32(head, directory_offset(stub, resource_directory) + 4, resource_section.size());
    const uint64_t checksum_offset = stub.optional + checksum_field;
    set_u32(head, checksum_offset, 0);

    pe_checksum sum(checksum_offset);
    auto emit = [&](const char* data, size_t size) {
        sum.add(std::string_view(data, size));
        out.write(data, size);
    };
    emit(head.data(), head.size());
    std::ifstream block(block_file, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    uint64_t copied = 0;
    while (copied < block_size && block) {
        block.read(chunk.data(), static_cast<std::streamsize>(std::min<uint64_t>(chunk.size(), block_size - copied)));
        emit(chunk.data(), static_cast<size_t>(block.gcount()));
        copied += static_cast<uint64_t>(block.gcount());
    }
    if (copied != block_size || block.peek() != std::char_traits<char>::eof()) {
        throw packer_error("cannot read block '" + block_file.string() + "' (its size changed while it was packed)");
    }
    const std::string zeros(file_alignment, '\0');
    if (!file_table.empty()) {
        emit(zeros.data(), static_cast<size_t>(block_padding(block_size)));
        emit(file_table.data(), file_table.size());
    }
    emit(zeros.data(), static_cast<size_t>(place_raw_size - place_virtual_size));
    emit(resource_section.data(), resource_section.size());
    emit(zeros.data(), static_cast<size_t>(resources_raw_size - resource_section.size()));
    std::string field(4, '\0');
    set_u32(field, 0, sum.finish());
    out.write_at(checksum_offset, field);
}

}  // namespace packer
