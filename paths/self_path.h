// The launcher's own path, plain (as the system reports the module) and resolved (final
// path, prefixes removed, directory part in short form), each cached on first use.
#ifndef VELDRA_PATHS_SELF_PATH_H
#define VELDRA_PATHS_SELF_PATH_H

#include <cstddef>

enum { self_path_capacity = 4097 };

const wchar_t* get_self_path(bool resolved);
void resolve_final_path(wchar_t* path, size_t capacity);
void shorten_directory_part(wchar_t* path, size_t capacity);

#endif
