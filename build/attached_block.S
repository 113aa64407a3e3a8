/* The stub's place for what a pack fills in: the section .veldra, the image's last before the
   resources. Its layout is fixed, because the packer writes it and the launcher reads it:
     0      8 bytes magic "VELDRA" 0x1A 0x01
     8      attached_block_size, 32 bits little-endian: the block's length
     12     build_options, 32 bits little-endian: switches a pack sets, zero by default
     16     build_company, build_product, build_version, build_file_version,
            build_product_version: 1,024 UTF-16 units each, the text then zeros
     10256  unpack_dir_template: 4,096 UTF-16 units
     18448  attached_block: the block, to the section's end
   The stub carries empty texts, the default template and a block of no bytes, so that it run as
   it is stops with the header message. */
#include "payload/block_format.h"

#define VELDRA_CONCAT_(a, b) a##b
#define VELDRA_CONCAT(a, b) VELDRA_CONCAT_(a, b)
#define VELDRA_SYMBOL(name) VELDRA_CONCAT(__USER_LABEL_PREFIX__, name)
#define VELDRA_TEXT(name, units, value) \
    .globl VELDRA_SYMBOL(name); \
VELDRA_SYMBOL(name): \
    .string16 value; \
    .org VELDRA_SYMBOL(name) + 2 * (units)

    .section .veldra,"dr"
    .p2align 3
    .byte VELDRA_PLACE_MAGIC_BYTES
    .globl VELDRA_SYMBOL(attached_block_size)
VELDRA_SYMBOL(attached_block_size):
    .long 0
    .globl VELDRA_SYMBOL(build_options)
VELDRA_SYMBOL(build_options):
    .long 0
VELDRA_TEXT(build_company, 1024, "")
VELDRA_TEXT(build_product, 1024, "")
VELDRA_TEXT(build_version, 1024, "")
VELDRA_TEXT(build_file_version, 1024, "")
VELDRA_TEXT(build_product_version, 1024, "")
VELDRA_TEXT(unpack_dir_template, 4096, "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}")
    .globl VELDRA_SYMBOL(attached_block)
VELDRA_SYMBOL(attached_block):

/* The stub's version, in the image's read-only data apart from the place: "veldra launcher
   stub version " and the version, then a zero byte (build/packer/version.cpp reads it). */
    .section .rdata,"dr"
    .ascii "veldra launcher stub version "
    .asciz VELDRA_VERSION_TEXT
