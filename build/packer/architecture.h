// The targets a pack can build. Everything that differs between them — the image's format and
// fields, the largest block they carry — is one row of one table.
#ifndef VELDRA_PACKER_ARCHITECTURE_H
#define VELDRA_PACKER_ARCHITECTURE_H

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

enum class architecture { x86, x64 };

constexpr architecture default_architecture = architecture::x86;

struct architecture_traits {
    architecture id;
    const char* name;  // as --arch takes it; also the folder of its stub in a build
    const char* bits;  // "32-bit", for messages
    // The image.
    uint16_t machine;                 // the COFF header's Machine
    const char* format;               // "PE32" or "PE32+"
    uint16_t optional_magic;          // the optional header's Magic of that format
    uint64_t data_directories;        // where the data directories start in that optional header
    uint16_t characteristics;         // the file characteristics the packer writes
    uint64_t max_block_size;          // the largest block the packer puts in
};

// Every target, x86 first.
const std::vector<architecture_traits>& architectures();

const architecture_traits& traits_of(architecture arch);

// The row of a COFF Machine value, or nullptr when no target has it.
const architecture_traits* traits_of_machine(uint16_t machine);

// "x86" or "x64", exactly; anything else is refused with the choices.
architecture parse_architecture(const std::string& name);

// The names of all targets, "x86 or x64", for messages.
std::string architecture_choices();

// The row whose image format has this optional header Magic, or nullptr.
const architecture_traits* traits_of_format(uint16_t optional_magic);

}  // namespace packer

#endif
