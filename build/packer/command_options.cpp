// The table of options.def in C++, the parse of a command line against it and the usage text;
// options.awk makes the same text for ./veldra and the README.
#include "command_options.h"

#include "signing.h"

#include <algorithm>
#include <sstream>

namespace packer {

namespace {

struct command_form {
    std::string_view name, arguments, meaning;
};

struct option_entry {
    std::string_view name, value, commands, fallback, meaning;
};

#define VELDRA_COMMAND(name, arguments, meaning) {name, arguments, meaning},
#define VELDRA_OPTION(name, value, commands, fallback, meaning)
const command_form command_table[] = {
#include "options.def"
};
#undef VELDRA_COMMAND
#undef VELDRA_OPTION

#define VELDRA_COMMAND(name, arguments, meaning)
#define VELDRA_OPTION(name, value, commands, fallback, meaning) {name, value, commands, fallback, meaning},
const option_entry option_table[] = {
#include "options.def"
};
#undef VELDRA_COMMAND
#undef VELDRA_OPTION

bool is_command(std::string_view name)
{
    return std::any_of(std::begin(command_table), std::end(command_table),
                       [name](const command_form& form) { return form.name == name; });
}

const option_entry* find_option(std::string_view name)
{
    for (const option_entry& option : option_table) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

// Whether the blank-separated list `commands` names `command`.
bool names_command(std::string_view commands, std::string_view command)
{
    std::istringstream words{std::string(commands)};
    std::string word;
    while (words >> word) {
        if (word == command) {
            return true;
        }
    }
    return false;
}

bool is_help(const std::string& argument)
{
    return argument == "--help" || argument == "-h";
}

// "block pack" as "block and pack", "a b c" as "a, b and c".
std::string listed(std::string_view commands)
{
    std::istringstream words{std::string(commands)};
    std::vector<std::string> names;
    for (std::string word; words >> word;) {
        names.push_back(word);
    }
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return text;
}

void write_option(std::ostream& out, const option_entry& option)
{
    out << "  " << option.name << (option.value.empty() ? "" : " ") << option.value;
    if (!option.fallback.empty()) {
        out << "  (default: " << option.fallback << ")";
    }
    out << "\n      " << option.meaning << "\n";
}

}  // namespace

command_line parse_command_line(const std::vector<std::string>& arguments)
{
    command_line line;
    if (arguments.empty()) {
        throw usage_error("no command given");
    }
    const std::string& first = arguments[0];
    if (is_help(first) || first == "--version") {
        line.help = is_help(first);
        line.version = !line.help;
        if (arguments.size() > 1) {
            throw usage_error(first + " takes nothing after it");
        }
        return line;
    }
    if (!is_command(first)) {
        throw usage_error(first.size() > 1 && first[0] == '-' ? "give the command first, then " + first
                                                               : "unknown command '" + first + "'");
    }
    line.command = first;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const option_entry* option = find_option(argument);
        if (is_help(argument)) {
            line.help = true;
            return line;
        }
        if (argument == "--sign-password") {
            throw packer_error(sign_password_refusal);
        }
        if (option == nullptr) {
            if (argument.size() > 1 && argument[0] == '-') {
                throw usage_error("unknown option " + argument);
            }
            line.positional.push_back(argument);
        } else if (!names_command(option->commands, line.command)) {
            throw usage_error(line.command + " does not take " + argument);
        } else if (option->value.empty()) {
            line.switches.insert(argument);
        } else if (i + 1 >= arguments.size()) {
            throw usage_error("option " + argument + " needs a value");
        } else {
            line.values[argument] = arguments[++i];
        }
    }
    return line;
}

std::string usage_text(std::string_view program, std::string_view command)
{
    std::ostringstream out;
    const char* lead = "usage: ";
    for (const command_form& form : command_table) {
        if (command.empty() || form.name == command) {
            out << lead << program << " " << form.name << " " << form.arguments << "\n";
            lead = "       ";
        }
    }
    if (command.empty()) {
        out << lead << program << " --help | -h   this text; after a command, that command's own\n"
            << lead << program << " --version     the packer's version and its launcher stubs'\n";
    } else {
        out << lead << program << " " << command << " --help | -h   this text\n";
    }
    out << "\n";
    for (const command_form& form : command_table) {
        if (command.empty() || form.name == command) {
            out << "  " << form.name << " " << form.arguments << "\n      " << form.meaning << "\n";
        }
    }
    // Options grouped by the commands that take them, in the table's order; a command's own
    // usage has one group.
    std::vector<std::string_view> groups;
    for (const option_entry& option : option_table) {
        const std::string_view group = command.empty() ? option.commands : command;
        if ((command.empty() || names_command(option.commands, command)) &&
            std::find(groups.begin(), groups.end(), group) == groups.end()) {
            groups.push_back(group);
        }
    }
    for (std::string_view group : groups) {
        out << "\noptions of " << listed(group) << ":\n";
        for (const option_entry& option : option_table) {
            if (command.empty() ? option.commands == group : names_command(option.commands, command)) {
                write_option(out, option);
            }
        }
    }
    return out.str();
}

}  // namespace packer
