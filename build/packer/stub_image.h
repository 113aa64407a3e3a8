// A prebuilt launcher stub and the executable a pack makes of it, with no compiler or linker:
// the stub's last section (.veldra) grows to hold the build constants and the block, and the
// resources follow as a new last section; the headers are set to describe both.
#ifndef VELDRA_PACKER_STUB_IMAGE_H
#define VELDRA_PACKER_STUB_IMAGE_H

#include "architecture.h"
#include "identity.h"
#include "output_file.h"
#include "payload/block_format.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace packer {

// The layout of .veldra, as build/attached_block.S lays it out and payload/block.cpp reads it.
constexpr uint64_t place_size_field = place_magic_size;
constexpr uint64_t place_options_field = 12;
// The launcher's build_options bits (build/constants.h).
constexpr uint32_t place_option_no_sweep = 1;
constexpr uint32_t place_option_cached_unpack = 2;
constexpr uint64_t place_texts = 16;
constexpr uint64_t identity_text_units = 1024;
constexpr uint64_t template_text_units = 4096;
constexpr uint64_t place_block = place_texts + 5 * 2 * identity_text_units + 2 * template_text_units;

// The stub's file name for a target: veldra-stub-x86.exe, veldra-stub-x64.exe.
std::string stub_file_name(architecture arch);

// Where a pack takes its stub from: `given` (--stub) when not empty; else the file of that
// name beside the packer, in `packer_dir`; else the build's, <launcher_root>/<arch>/.
std::filesystem::path find_stub(architecture arch, const std::filesystem::path& given,
                                const std::filesystem::path& packer_dir, const std::filesystem::path& launcher_root);

struct stub_image {
    architecture arch = default_architecture;
    std::string bytes;  // the whole stub
    uint64_t optional = 0;       // file offset of the optional header
    uint64_t section_table = 0;  // file offset of the section table
    uint16_t section_count = 0;
};

// Reads and checks a stub for `arch`: a PE image of that target whose last section is the
// place, with its magic, ending the file, and room in the headers for one more section.
// Throws packer_error with one line naming the file otherwise.
stub_image read_stub(const std::filesystem::path& file, architecture arch);
stub_image stub_of_bytes(std::string bytes, const std::string& name, architecture arch);

// Writes the executable to `out`: the stub with its place filled in, the block's `block_size`
// bytes read from `block_file`, the file table when not empty (at file_table_offset), and
// `resource_section` (laid out for resource_rva() of carried_size()), then puts the image's
// checksum in the file, through `out`.
uint64_t carried_size(uint64_t block_size, const std::string& file_table);
uint32_t resource_rva(const stub_image& stub, uint64_t carried_size);
void write_launcher(const stub_image& stub, const build_identity& identity, const std::filesystem::path& block_file,
                    uint64_t block_size, const std::string& file_table, const std::string& resource_section,
                    output_file& out);

}  // namespace packer

#endif
