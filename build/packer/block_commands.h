// The commands that read blocks back: inspect [--json] FILE, extract FILE FOLDER, verify FILE.
#ifndef VELDRA_PACKER_BLOCK_COMMANDS_H
#define VELDRA_PACKER_BLOCK_COMMANDS_H

#include <string>
#include <vector>

namespace packer {

bool is_block_command(const std::string& command);

// Runs the command on its arguments (UTF-8 paths): 0; 1 when verify found a failed check;
// 2 after one line on standard error for a damaged file. A file that cannot be read or written
// is a packer_error for the caller's one line; the wrong number of arguments a usage_error.
int run_block_command(const std::string& command, const std::vector<std::string>& positional, bool json);

}  // namespace packer

#endif
