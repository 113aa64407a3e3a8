// The commands that read blocks back: inspect [--json] FILE, extract FILE FOLDER, verify FILE.
#ifndef VELDRA_PACKER_BLOCK_COMMANDS_H
#define VELDRA_PACKER_BLOCK_COMMANDS_H

#include <optional>
#include <string>
#include <vector>

namespace packer {

bool is_block_command(const std::string& command);

// Runs the command on its arguments (UTF-8 paths): 0; 1 when verify found a failed check;
// 2 after one line on standard error for a damaged file. A file that cannot be read or written,
// or the wrong number of arguments, is a packer_error for the caller's one line.
int run_block_command(const std::string& command, const std::vector<std::string>& positional, bool json);

// The same from the program's arguments, with --json the one option (inspect's); nullopt for
// another command, and when the arguments ask for help, which the caller answers.
std::optional<int> run_block_command_line(int argc, char** argv);

}  // namespace packer

#endif
