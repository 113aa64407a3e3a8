// The file table of a cached pack (payload/block_format.h): found in the running image after the
// block, checked whole before anything of it is used, then read one entry at a time.
#ifndef VELDRA_PAYLOAD_FILE_TABLE_H
#define VELDRA_PAYLOAD_FILE_TABLE_H

#include "payload/block_format.h"

#include <cstdint>

struct file_table {
    const unsigned char* bytes;
    uint32_t length;
    uint32_t count;
    uint64_t payload_hash;
};

struct file_table_entry {
    uint64_t size;
    uint64_t hash;
    // The name, terminated, with backslashes as in the archive; checked by the archive-name rule.
    wchar_t name[archive_name_max_units + 1];
};

// The bytes from the table's start to the end of the section that holds `block` in the mapped
// `image`: false when the block or the table's start lies outside that section or the image.
bool locate_file_table(const unsigned char* image, const unsigned char* block, uint32_t block_size,
                       const unsigned char** table_start, uint64_t* room);

// Checks the table at `bytes`, at most `room` bytes long: its magic, a length inside the room, a
// count within the limit, and every entry inside the length with a name of 1 unit up to the limit that
// passes the archive-name rule, the last entry ending where the length says. False on any damage.
bool parse_file_table(const unsigned char* bytes, uint64_t room, file_table* table);

// The entry at `*offset` (file_table_header_size for the first) into `entry`, advancing the
// offset; false past the last. Only for a table that parse_file_table accepted.
bool next_file_table_entry(const file_table* table, uint32_t* offset, file_table_entry* entry);

// The image's own table; false when the running image carries none that is whole.
bool load_own_file_table(file_table* table);

#endif
