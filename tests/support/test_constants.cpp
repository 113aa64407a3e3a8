// Build constants for test executables: this build's identity and a block that holds the
// magic alone; tests that read a payload hand their own block to the reader.
#include "build/constants.h"
#include "payload/block_format.h"

extern "C" {
const wchar_t build_company[] = L"Quendle Forge";
const wchar_t build_product[] = L"Brellum";
const wchar_t build_version[] = L"3.198.0";
const wchar_t build_file_version[] = L"3.198.0";
const wchar_t build_product_version[] = L"3.198.0";
const wchar_t unpack_dir_template[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
const unsigned char attached_block[8] = {block_magic[0], block_magic[1], block_magic[2], 0, 0, 0, 0, 0};
const uint32_t attached_block_size = 8;
const uint32_t build_options = 0;
}
