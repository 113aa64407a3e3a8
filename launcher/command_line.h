// Turning an argument list back into one command line that the system's parser (the rules of
// CommandLineToArgvW and of the C runtime) splits into the same arguments.
#ifndef VELDRA_LAUNCHER_COMMAND_LINE_H
#define VELDRA_LAUNCHER_COMMAND_LINE_H

#include <cstddef>

// True when the argument must go between double quotes: it holds a blank, tab, line feed,
// vertical tab or double quote, or it is empty (unquoted, an empty argument would vanish).
bool argument_needs_quotes(const wchar_t* argument);

// Appends the argument, quoted where needed, to the text in `line`. The capacity counts the
// terminator; a result that would not fit ends the process through the fail-fast ending.
void append_argument(wchar_t* line, const wchar_t* argument, size_t capacity);

// Replaces the text in `line` by the arguments, separated by single blanks.
void join_arguments(wchar_t* line, int count, const wchar_t* const* arguments, size_t capacity);

#endif
