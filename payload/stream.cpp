// Stand-in reader: the header check only.
#include "payload/stream.h"

#include "build/constants.h"
#include "launcher/fatal.h"

void payload_open()
{
    payload_open_block(attached_block, attached_block_size);
}

void payload_open_block(const unsigned char* block, uint32_t block_size)
{
    if (block_size < 3 || block[0] != 'X' || block[1] != 'J' || block[2] != 'Q') {
        fatal_error("Error, couldn't find attached data header.");
    }
}

void payload_read(void*, uint32_t)
{
    fatal_error("Error, couldn't decode attached data.");
}

void payload_close() {}
