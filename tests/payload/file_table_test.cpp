// The file table read as hostile input: a whole table is taken and listed, and every damage to
// its header or entries is refused before an entry is used.
#include "payload/file_table.h"

#include "tests/support/file_table_bytes.h"

#include <gtest/gtest.h>

namespace {

const std::vector<table_file> two_files = {{u"main.dll", 4096, 0x1111}, {u"data\\x.txt", 0, 0xef46db3751d8e999u}};

bool parses(const std::vector<unsigned char>& bytes, uint64_t room)
{
    file_table table;
    return parse_file_table(bytes.data(), room, &table);
}

}  // namespace

TEST(FileTable, AWholeTableGivesItsHashAndEveryEntryInOrder)
{
    std::vector<unsigned char> bytes = table_bytes(two_files, 0xfedcba9876543210u);
    // What follows the table in its section (the section's zero fill) is no part of it.
    bytes.resize(bytes.size() + 100, 0);
    file_table table;
    ASSERT_TRUE(parse_file_table(bytes.data(), bytes.size(), &table));
    EXPECT_EQ(0xfedcba9876543210u, table.payload_hash);
    EXPECT_EQ(2u, table.count);
    uint32_t offset = file_table_header_size;
    file_table_entry entry;
    for (const auto& file : two_files) {
        ASSERT_TRUE(next_file_table_entry(&table, &offset, &entry));
        EXPECT_EQ(std::wstring(file.name.begin(), file.name.end()), entry.name);
        EXPECT_EQ(file.size, entry.size);
        EXPECT_EQ(file.hash, entry.hash);
    }
    EXPECT_FALSE(next_file_table_entry(&table, &offset, &entry));

    const std::vector<unsigned char> empty = table_bytes({});
    ASSERT_TRUE(parse_file_table(empty.data(), empty.size(), &table));
    EXPECT_EQ(0u, table.count);
}

TEST(FileTable, EachDamageIsRefused)
{
    const std::vector<unsigned char> good = table_bytes(two_files);
    const size_t first_name_units = file_table_header_size + 16;
    struct damage {
        const char* what;
        size_t at;
        uint64_t value;
        size_t count;
    };
    const damage damages[] = {
        {"magic", 7, 0x02, 1},
        {"count above the entries", 16, 3, 4},
        {"count below the entries", 16, 1, 4},
        {"count past the limit", 16, file_table_entry_limit + 1, 4},
        {"length past the room", 20, good.size() + 1, 4},
        {"length inside the header", 20, file_table_header_size - 1, 4},
        {"length that cuts an entry", 20, good.size() - 2, 4},
        {"name of no units", first_name_units, 0, 2},
        {"name past the longest", first_name_units, archive_name_max_units + 1, 2},
        {"name past the length", first_name_units, 0xFFFF, 2},
        {"unsafe name: a drive", first_name_units + 2 + 2, ':', 2},
        {"unsafe name: a control character", first_name_units + 2, 0x01, 2},
    };
    ASSERT_TRUE(parses(good, good.size()));
    for (const auto& d : damages) {
        std::vector<unsigned char> bytes = good;
        le_write(bytes.data() + d.at, d.value, d.count);
        EXPECT_FALSE(parses(bytes, bytes.size())) << d.what;
    }
    EXPECT_FALSE(parses(good, good.size() - 1)) << "a room that ends before the table";
    EXPECT_FALSE(parses(good, file_table_header_size - 1)) << "a room smaller than the header";
    EXPECT_FALSE(parses(table_bytes({{u"..\\x", 1, 1}}), 1000)) << "a name that climbs out";
    EXPECT_FALSE(parses(table_bytes({{u"nul.txt", 1, 1}}), 1000)) << "a device name";
}
