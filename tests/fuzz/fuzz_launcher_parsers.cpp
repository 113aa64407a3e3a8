// The launcher's parsing that runs before anything of a block is trusted, built for this machine:
// the file table of a cached pack (checked whole, then read entry by entry) and the archive-name
// rule over UTF-16 units. The first input byte chooses which.
#include "payload/archive_names.h"
#include "payload/file_table.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const uint8_t* rest = data + 1;
    const size_t rest_size = size - 1;
    if (data[0] & 1) {
        // The exact room: anything read past it is a heap overflow that ASan reports.
        std::vector<unsigned char> room(rest, rest + rest_size);
        file_table table{};
        if (parse_file_table(room.data(), room.size(), &table)) {
            uint32_t offset = file_table_header_size;
            file_table_entry entry;
            uint32_t count = 0;
            while (next_file_table_entry(&table, &offset, &entry)) {
                ++count;
            }
            if (count != table.count) {
                __builtin_trap();
            }
        }
    } else {
        std::vector<char16_t> units(rest_size / 2);
        for (size_t i = 0; i < units.size(); ++i) {
            units[i] = static_cast<char16_t>(rest[2 * i] | (rest[2 * i + 1] << 8));
        }
        std::vector<wchar_t> wide(units.begin(), units.end());
        // Both instantiations, the packer's and the launcher's, must agree.
        if (check_archive_name(units.data(), units.size()) != check_archive_name(wide.data(), wide.size())) {
            __builtin_trap();
        }
    }
    return 0;
}
