// Fatal stops: one line on the right stream, then exit status 2 (or the fail-fast ending).
// During a console stop they print nothing and halt as the stop path does.
#ifndef VELDRA_LAUNCHER_FATAL_H
#define VELDRA_LAUNCHER_FATAL_H

// Prints "<message> ([Error <code>] <system text>)" on standard error and returns.
void report_system_error(const char* message, unsigned long code);
[[noreturn]] void fatal_system_error(const char* message, unsigned long code);
// Prints the message and a newline on standard output.
[[noreturn]] void fatal_error(const char* message);
// Prints the open-failure line for the entry being unpacked (target_path).
[[noreturn]] void fatal_open_error();
// Prints the unsafe-name line on standard output; the parent removes what it has unpacked
// (all of it inside unpack_dir) before it exits, the child leaves the folder to its parent.
[[noreturn]] void fatal_unsafe_name();
// Prints the template line on standard error, then ends through the fail-fast termination.
[[noreturn]] void fatal_template_error(const wchar_t* template_text);

#endif
