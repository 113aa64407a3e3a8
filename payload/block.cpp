// Header check of the attached block. Runs before any buffer, decoder, file or folder exists,
// so a launcher with a damaged header leaves nothing behind.
#include "payload/block.h"

#include "launcher/fatal.h"

bool block_has_magic(const unsigned char* block, uint32_t block_size)
{
    // A block shorter than its magic cannot come from the packer; it fails like a wrong magic
    // instead of being read past its end.
    return block_size >= block_magic_size && block[0] == 'X' && block[1] == 'J' && block[2] == 'Q';
}

void check_block_header(const unsigned char* block, uint32_t block_size)
{
    if (!block_has_magic(block, block_size)) {
        fatal_error("Error, couldn't find attached data header.");
    }
}
