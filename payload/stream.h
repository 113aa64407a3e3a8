// The decompressing reader over the attached block: exact byte requests, strictly forward,
// every failure fatal.
#ifndef VELDRA_PAYLOAD_STREAM_H
#define VELDRA_PAYLOAD_STREAM_H

#include <cstdint>

// Checks the block's magic, allocates the output buffer and the decoder.
void payload_open();
// The same, over a block given by the caller (payload_open passes the attached block).
void payload_open_block(const unsigned char* block, uint32_t block_size);
// Copies exactly n further bytes of the decompressed stream into dst.
void payload_read(void* dst, uint32_t n);
void payload_close();

#endif
