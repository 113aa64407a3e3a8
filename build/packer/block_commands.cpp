// Argument handling of the block-reading commands, apart from the packing commands' options.
#include "block_commands.h"

#include "block_report.h"
#include "command_options.h"
#include "block_tools.h"

#include <iostream>
#include <string>
#include <vector>

namespace packer {

bool is_block_command(const std::string& command)
{
    return command == "inspect" || command == "extract" || command == "verify";
}

int run_block_command(const std::string& command, const std::vector<std::string>& positional, bool json)
{
    const size_t wanted = command == "extract" ? 2 : 1;
    if (positional.size() != wanted) {
        throw usage_error(command == "extract" ? "extract takes a block or executable and a folder that does not exist"
                                                : command + " takes exactly one block or executable");
    }
    const std::filesystem::path file = std::filesystem::u8path(positional[0]);
    try {
        if (command == "inspect") {
            json ? inspect_file_json(file, std::cout) : inspect_file(file, std::cout);
            return 0;
        }
        if (command == "extract") {
            extract_block(file, std::filesystem::u8path(positional[1]));
            return 0;
        }
        return verify_file(file, std::cout) ? 0 : 1;
    } catch (const damaged_file& error) {
        std::cout.flush();
        std::cerr << "veldra: " << error.what() << "\n";
        return 2;
    }
}

}  // namespace packer
