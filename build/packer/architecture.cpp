// The table of targets and the lookups on it.
#include "architecture.h"

#include "error.h"

namespace packer {

namespace {

const std::vector<architecture_traits> table = {
    {architecture::x86, "x86", "32-bit",
     0x014C, "PE32", 0x010B, 96,
     // IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_32BIT_MACHINE: the linker also marks line numbers,
     // symbols and debug information stripped, flags that say nothing of this image.
     0x0102,
     // The largest multiple of 8 below 2 GiB: beyond it no 32-bit process could map the image
     // that carries the block at all.
     0x7FFFFFF8},
    {architecture::x64, "x64", "64-bit",
     0x8664, "PE32+", 0x020B, 112,
     // IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_LARGE_ADDRESS_AWARE, the stripped flags cleared
     // as for x86.
     0x0022,
     // The block once sat in .rdata ahead of the C runtime's data, and 32-bit RIP-relative
     // displacements across it stopped linking near 2 GiB. It now follows all of the stub's code
     // and data, which no displacement crosses; the limit is kept where it was, so that the
     // whole image stays below 2 GiB with room for the launcher to grow.
     0x7EFFFFF8},
};

}  // namespace

const std::vector<architecture_traits>& architectures()
{
    return table;
}

const architecture_traits& traits_of(architecture arch)
{
    for (const auto& row : table) {
        if (row.id == arch) {
            return row;
        }
    }
    throw packer_error("no such architecture");
}

const architecture_traits* traits_of_machine(uint16_t machine)
{
    for (const auto& row : table) {
        if (row.machine == machine) {
            return &row;
        }
    }
    return nullptr;
}

const architecture_traits* traits_of_format(uint16_t optional_magic)
{
    for (const auto& row : table) {
        if (row.optional_magic == optional_magic) {
            return &row;
        }
    }
    return nullptr;
}

architecture parse_architecture(const std::string& name)
{
    for (const auto& row : table) {
        if (name == row.name) {
            return row.id;
        }
    }
    throw packer_error("--arch takes " + architecture_choices() + " (got '" + name + "')");
}

std::string architecture_choices()
{
    std::string choices;
    for (const auto& row : table) {
        choices += (choices.empty() ? "" : " or ") + std::string(row.name);
    }
    return choices;
}

}  // namespace packer
