// extract and verify: a block, or the block of a launcher executable, unpacked the way the
// launcher unpacks it, or checked whole without running anything.
#ifndef VELDRA_PACKER_BLOCK_TOOLS_H
#define VELDRA_PACKER_BLOCK_TOOLS_H

#include <filesystem>
#include <ostream>

namespace packer {

// Writes the archive's files into `folder`, which must not exist yet: the files go into a
// private folder beside it, renamed to `folder` once the whole block has decoded. Names get
// the launcher's checks and refusals (a cached pack's damaged file table included); a name
// Windows would take for an earlier one (another
// case) writes that earlier file again, as the launcher's would. packer_error when the folder
// exists or a file cannot be written, damaged_file for a damaged block or an unsafe name; no
// folder is left either way.
void extract_block(const std::filesystem::path& file, const std::filesystem::path& folder);

// One line per check on `out`: the place, the frame, the archive with the content checksum,
// the padding and trailer, a cached pack's file table against the archive, the image's
// checksum, and whether a signature is there. True when no check failed.
bool verify_file(const std::filesystem::path& file, std::ostream& out);

}  // namespace packer

#endif
