// File tables made byte by byte for tests, in the layout of payload/block_format.h, so that a
// test can damage any field of one.
#ifndef VELDRA_TESTS_FILE_TABLE_BYTES_H
#define VELDRA_TESTS_FILE_TABLE_BYTES_H

#include "payload/block_format.h"

#include <cstdint>
#include <string>
#include <vector>

struct table_file {
    std::u16string name;
    uint64_t size;
    uint64_t hash;
};

inline void put_le(std::vector<unsigned char>& bytes, uint64_t value, size_t count)
{
    unsigned char raw[8];
    le_write(raw, value, count);
    bytes.insert(bytes.end(), raw, raw + count);
}

inline std::vector<unsigned char> table_bytes(const std::vector<table_file>& files, uint64_t payload_hash = 0x0123456789abcdefu)
{
    std::vector<unsigned char> bytes(file_table_magic, file_table_magic + file_table_magic_size);
    put_le(bytes, payload_hash, 8);
    put_le(bytes, files.size(), 4);
    put_le(bytes, 0, 4);
    for (const auto& file : files) {
        put_le(bytes, file.size, 8);
        put_le(bytes, file.hash, 8);
        put_le(bytes, file.name.size(), 2);
        for (char16_t unit : file.name) {
            put_le(bytes, unit, 2);
        }
    }
    le_write(bytes.data() + 20, bytes.size(), 4);
    return bytes;
}

#endif
