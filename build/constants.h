// Values fixed when an executable is packed: identity texts, the unpack template and the
// attached block. They live in the image's section .veldra (build/attached_block.S), which the
// packer fills in; the launcher only reads them. attached_block_size is no compiled literal but
// the place's length field, read-only, checked against the image before the block is read
// (payload/block.cpp).
#ifndef VELDRA_BUILD_CONSTANTS_H
#define VELDRA_BUILD_CONSTANTS_H

#include <cstdint>

extern "C" {
extern const wchar_t build_company[];
extern const wchar_t build_product[];
extern const wchar_t build_version[];
extern const wchar_t build_file_version[];
extern const wchar_t build_product_version[];
extern const wchar_t unpack_dir_template[];
extern const unsigned char attached_block[];
extern const uint32_t attached_block_size;
// Switches a pack turns off, one bit each; zero is the default of every one.
extern const uint32_t build_options;
}

enum : uint32_t {
    // --sweep off: a start leaves earlier runs' leftover folders alone.
    build_option_no_sweep = 1,
    // --unpack-mode cached: the unpack folder outlives the run, is checked against the file
    // table at each start and unpacked only when it differs (launcher/cache.cpp).
    build_option_cached_unpack = 2,
};

#endif
