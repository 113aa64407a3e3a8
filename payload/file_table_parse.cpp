// The file table's bytes read as hostile input, with nothing of the system: every length and
// count is bounded by the room the caller gives before a byte past the header is looked at.
#include "payload/archive_names.h"
#include "payload/file_table.h"

static void read_name(const unsigned char* units, uint32_t count, wchar_t* name)
{
    for (uint32_t i = 0; i < count; ++i) {
        name[i] = static_cast<wchar_t>(le_read(units + 2 * i, 2));
    }
    name[count] = L'\0';
}

// One entry at `offset` inside `length` bytes: its end into `*next`; false when it runs past the
// length or its name breaks the rule.
static bool check_entry(const unsigned char* bytes, uint32_t length, uint32_t offset, uint32_t* next)
{
    if (length - offset < file_table_entry_fixed_size) {
        return false;
    }
    const uint32_t units = static_cast<uint32_t>(le_read(bytes + offset + 16, 2));
    if (units == 0 || units > archive_name_max_units ||
        length - offset - file_table_entry_fixed_size < 2 * units) {
        return false;
    }
    wchar_t name[archive_name_max_units + 1];
    read_name(bytes + offset + file_table_entry_fixed_size, units, name);
    if (check_archive_name(name, units) != archive_name_safe) {
        return false;
    }
    *next = offset + file_table_entry_fixed_size + 2 * units;
    return true;
}

bool parse_file_table(const unsigned char* bytes, uint64_t room, file_table* table)
{
    if (room < file_table_header_size) {
        return false;
    }
    for (int i = 0; i < file_table_magic_size; ++i) {
        if (bytes[i] != file_table_magic[i]) {
            return false;
        }
    }
    const uint32_t count = static_cast<uint32_t>(le_read(bytes + 16, 4));
    const uint32_t length = static_cast<uint32_t>(le_read(bytes + 20, 4));
    if (length < file_table_header_size || length > room || count > file_table_entry_limit) {
        return false;
    }
    uint32_t offset = file_table_header_size;
    for (uint32_t i = 0; i < count; ++i) {
        if (!check_entry(bytes, length, offset, &offset)) {
            return false;
        }
    }
    if (offset != length) {
        return false;
    }
    table->bytes = bytes;
    table->length = length;
    table->count = count;
    table->payload_hash = le_read(bytes + 8, 8);
    return true;
}

bool next_file_table_entry(const file_table* table, uint32_t* offset, file_table_entry* entry)
{
    if (*offset >= table->length) {
        return false;
    }
    const unsigned char* at = table->bytes + *offset;
    const uint32_t units = static_cast<uint32_t>(le_read(at + 16, 2));
    entry->size = le_read(at, 8);
    entry->hash = le_read(at + 8, 8);
    read_name(at + file_table_entry_fixed_size, units, entry->name);
    *offset += file_table_entry_fixed_size + 2 * units;
    return true;
}
