// The file table of the running image: found after the block in the section that holds it, then
// checked and read by the parsing in file_table_parse.cpp.
#include "payload/file_table.h"

#include "build/constants.h"
#include "payload/block.h"

#include <windows.h>

bool locate_file_table(const unsigned char* image, const unsigned char* block, uint32_t block_size,
                       const unsigned char** table_start, uint64_t* room)
{
    uint64_t section_start = 0;
    uint64_t section_end = 0;
    if (!section_holding_block(image, block, &section_start, &section_end)) {
        return false;
    }
    const uint64_t table_rva = static_cast<uint64_t>(block - image) + file_table_offset(block_size);
    if (table_rva > section_end) {
        return false;
    }
    *table_start = image + table_rva;
    *room = section_end - table_rva;
    return true;
}

bool load_own_file_table(file_table* table)
{
    const unsigned char* image = own_image();
    const unsigned char* start = nullptr;
    uint64_t room = 0;
    return locate_file_table(image, attached_block, attached_block_size, &start, &room) &&
           parse_file_table(start, room, table);
}
