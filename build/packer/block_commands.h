// The commands that read blocks back: inspect [--json] FILE, extract FILE FOLDER, verify FILE.
#ifndef VELDRA_PACKER_BLOCK_COMMANDS_H
#define VELDRA_PACKER_BLOCK_COMMANDS_H

#include <optional>

namespace packer {

// The status of the command in argv[1] when it is one of these: 0; 1 when verify found a
// failed check or a file cannot be read or written (packer_error, thrown for the caller's one
// line); 2 after one line on standard error for a damaged file. nullopt for any other command,
// and when the arguments ask for help, which the caller answers.
std::optional<int> run_block_command(int argc, char** argv);

}  // namespace packer

#endif
