// inspect: a block read back, from a block file or from inside a launcher executable, as a
// readable report or as one JSON document: where it lies, the build constants of the place,
// the frame's header fields, the archive's entries and a cached pack's file table.
#ifndef VELDRA_PACKER_BLOCK_REPORT_H
#define VELDRA_PACKER_BLOCK_REPORT_H

#include "block_reader.h"

#include <filesystem>
#include <ostream>

namespace packer {

// Writes the report as it reads; throws packer_error when the file cannot be read, and
// damaged_file when its block, place or table is damaged (after what it could report).
void inspect_file(const std::filesystem::path& file, std::ostream& out);

// The same facts as one JSON document, written only once the whole file has been read.
void inspect_file_json(const std::filesystem::path& file, std::ostream& out);

// Both reports of a block already opened.
void inspect_block(block_reader& reader, std::ostream& out);
void inspect_block_json(block_reader& reader, std::ostream& out);

}  // namespace packer

#endif
