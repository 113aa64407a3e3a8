// The packer's command line against its one table of commands and options (options.def): the
// parse, the usage errors, and the usage text made from the table.
#ifndef VELDRA_PACKER_COMMAND_OPTIONS_H
#define VELDRA_PACKER_COMMAND_OPTIONS_H

#include "error.h"

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace packer {

// A command line the table does not allow: the packer prints it with a pointer to --help and
// ends with status 2.
struct usage_error : packer_error {
    using packer_error::packer_error;
};

struct command_line {
    std::string command;  // empty when only --help or --version was asked for
    bool help = false;    // --help or -h: the usage (of `command` when one was given)
    bool version = false;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // options that take a value, by name
    std::set<std::string> switches;             // options without a value that were given

    bool has(const std::string& name) const { return switches.count(name) != 0; }
};

// The arguments after the program's name. Throws usage_error for a missing or unknown command,
// an unknown option, one the command does not take, or one without its value.
command_line parse_command_line(const std::vector<std::string>& arguments);

// The usage text: every command and option, or those of `command` alone when it is not empty.
std::string usage_text(std::string_view program, std::string_view command = {});

}  // namespace packer

#endif
