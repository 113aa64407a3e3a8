// Values fixed when an executable is built: identity texts, the unpack template and the
// attached block. A pack generates their definitions; the launcher only reads them.
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
}

#endif
