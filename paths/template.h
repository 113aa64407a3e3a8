// The path template language: literal text and {VARIABLE} references, expanded into a bounded
// wide buffer.
#ifndef VELDRA_PATHS_TEMPLATE_H
#define VELDRA_PATHS_TEMPLATE_H

#include <cstddef>

// Keeps the argument vector the entry point received; {PROGRAM} reads its first element.
void set_program_arguments(int argc, wchar_t** argv);
// {PAYLOAD_HASH}: the block's hash as 16 lowercase hex digits, set from the file table before
// the template is expanded; empty in a per-run pack, where the variable fails the expansion.
enum { payload_hash_digits = 16 };
extern wchar_t payload_hash_text[payload_hash_digits + 1];

// Expands the template into `output` (made empty first) with `capacity` wide characters,
// the terminator included. True when the whole template was expanded; false for an unknown
// variable, a literal that does not fit, a folder the system cannot give (temp folder or shell
// folder) or a path variable that gives nothing. A variable
// value that does not fit, or a bad stored identity value, ends the process instead.
bool expand_template(wchar_t* output, const wchar_t* template_text, size_t capacity);

#endif
