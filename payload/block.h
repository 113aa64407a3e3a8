// The attached block's header: three magic bytes in front of the compressed frame; and the
// place in the image that holds the block and tells its length.
#ifndef VELDRA_PAYLOAD_BLOCK_H
#define VELDRA_PAYLOAD_BLOCK_H

#include "payload/block_format.h"

#include <cstdint>

// True when the block starts with the magic (case matters, nothing else is tested).
bool block_has_magic(const unsigned char* block, uint32_t block_size);

// Ends the run with the header message unless the block starts with the magic.
void check_block_header(const unsigned char* block, uint32_t block_size);

// The section of the mapped `image` that holds `block`, as offsets from the image: false when
// the headers are no image's, no section holds the block, or that section runs past the image.
bool section_holding_block(const unsigned char* image, const unsigned char* block, uint64_t* section_start,
                           uint64_t* section_end);

// True when `image` is a mapped image whose section holding `block` starts with the place's
// magic and holds all `block_size` bytes of it, inside the image's size. The length comes from
// the place, which the packer wrote; this is what keeps a wrong one from reading past the image.
bool image_holds_block(const unsigned char* image, const unsigned char* block, uint32_t block_size);

// The running image as mapped, from its DOS header on.
const unsigned char* own_image();

// Ends the run with the header message unless the running image holds the attached block.
void check_attached_place(const unsigned char* block, uint32_t block_size);

#endif
