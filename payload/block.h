// The attached block's header: three magic bytes in front of the compressed frame.
#ifndef VELDRA_PAYLOAD_BLOCK_H
#define VELDRA_PAYLOAD_BLOCK_H

#include <cstdint>

enum { block_magic_size = 3 };

// True when the block starts with the magic "XJQ" (case matters, nothing else is tested).
bool block_has_magic(const unsigned char* block, uint32_t block_size);

// Ends the run with the header message unless the block starts with the magic.
void check_block_header(const unsigned char* block, uint32_t block_size);

#endif
