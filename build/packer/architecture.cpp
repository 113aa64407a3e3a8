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
     0x7FFFFFF8,
     "i686-w64-mingw32-g++-posix", "i686-w64-mingw32-windres"},
    {architecture::x64, "x64", "64-bit",
     0x8664, "PE32+", 0x020B, 112,
     // IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_LARGE_ADDRESS_AWARE, the stripped flags cleared
     // as for x86.
     0x0022,
     // x64 code reaches its data through 32-bit RIP-relative displacements, and the linker
     // places the C runtime's data and the import tables after the block: code and data must
     // stay within 2 GiB of each other, so a block that leaves less than the rest of the image
     // (about half a MiB today) below 2 GiB no longer links ("relocation truncated to fit").
     // 16 MiB of margin leaves the launcher room to grow and keeps the limit the packer's
     // one-line refusal, never the linker's.
     0x7EFFFFF8,
     "x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-windres"},
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
