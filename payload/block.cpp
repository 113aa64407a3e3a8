// Header check of the attached block and of the place that holds it. Runs before any buffer,
// decoder, file or folder exists, so a launcher with a damaged header leaves nothing behind.
#include "payload/block.h"

#include "launcher/fatal.h"

#include <windows.h>

// The linker's name for the running image's first byte. Declared without a size: the headers
// it starts are read as far as they go, not as one DOS header.
extern "C" const unsigned char __ImageBase[];

bool block_has_magic(const unsigned char* block, uint32_t block_size)
{
    // A block shorter than its magic cannot come from the packer; it fails like a wrong magic
    // instead of being read past its end.
    return block_size >= block_magic_size && block[0] == block_magic[0] && block[1] == block_magic[1] &&
           block[2] == block_magic[2];
}

void check_block_header(const unsigned char* block, uint32_t block_size)
{
    if (!block_has_magic(block, block_size)) {
        fatal_error(error_header_missing);
    }
}

// A loop of its own rather than memcmp: the launcher's image calls few C functions.
static bool starts_with_place_magic(const unsigned char* bytes)
{
    for (int i = 0; i < place_magic_size; ++i) {
        if (bytes[i] != place_magic[i]) {
            return false;
        }
    }
    return true;
}

bool section_holding_block(const unsigned char* image, const unsigned char* block, uint64_t* section_start,
                           uint64_t* section_end)
{
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || block < image) {
        return false;
    }
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) {
        return false;
    }
    // Sizes as 64-bit numbers, so that no sum of 32-bit fields can wrap around.
    const uint64_t block_rva = static_cast<uint64_t>(block - image);
    const uint64_t image_size = nt->OptionalHeader.SizeOfImage;
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        const uint64_t start = section->VirtualAddress;
        const uint64_t end = start + section->Misc.VirtualSize;
        if (block_rva < start || block_rva > end) {
            continue;
        }
        if (end > image_size) {
            return false;
        }
        *section_start = start;
        *section_end = end;
        return true;
    }
    return false;
}

bool image_holds_block(const unsigned char* image, const unsigned char* block, uint32_t block_size)
{
    uint64_t start = 0;
    uint64_t end = 0;
    if (!section_holding_block(image, block, &start, &end)) {
        return false;
    }
    const uint64_t block_rva = static_cast<uint64_t>(block - image);
    return end - start >= place_magic_size && starts_with_place_magic(image + start) && block_size <= end - block_rva;
}

const unsigned char* own_image()
{
    return __ImageBase;
}

void check_attached_place(const unsigned char* block, uint32_t block_size)
{
    if (!image_holds_block(own_image(), block, block_size)) {
        fatal_error(error_header_missing);
    }
}
