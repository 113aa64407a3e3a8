// The file table of a cached pack (payload/block_format.h), made from the block itself, so that
// a pack of a folder and a pack of a given block carry the same table for the same block.
#ifndef VELDRA_PACKER_FILE_TABLE_WRITER_H
#define VELDRA_PACKER_FILE_TABLE_WRITER_H

#include <cstdint>
#include <filesystem>
#include <string>

namespace packer {

// Decodes the block's archive and lists every file with its size and XXH64, after the block's
// own XXH64. Throws packer_error with one line naming the block when it does not decode whole
// or a name breaks the archive-name rule: the launcher would refuse such a table.
std::string file_table_of_block(const std::filesystem::path& block_file);

// The XXH64 of the block that a table carries: what {PAYLOAD_HASH} gives, as 16 lowercase hex
// digits. Empty when `table` is no table.
std::string payload_hash_of_table(const std::string& table);

}  // namespace packer

#endif
