// The launcher's own path, plain (as the system reports the module) and resolved (final
// path, prefixes removed, directory part in short form), each cached on first use.
#ifndef VELDRA_PATHS_SELF_PATH_H
#define VELDRA_PATHS_SELF_PATH_H

#include <cstddef>

enum { self_path_capacity = 4097 };

// The cache of the chosen form, valid for the life of the process. An empty text when the
// system could not name the module; that is not cached, so a later call tries again.
const wchar_t* get_self_path(bool resolved);
// Replaces the path in place by the file's final path (links followed, "\\?\" drive prefix
// removed, "\\?\UNC\" turned into "\\"); unchanged when the file cannot be opened or the
// system gives no final path. A final path that does not fit the capacity aborts.
void resolve_final_path(wchar_t* path, size_t capacity);
// Rewrites the part before the last backslash into its short (8.3) form in place; the last
// element stays as it is. A result that does not fit the capacity aborts.
void shorten_directory_part(wchar_t* path, size_t capacity);

#endif
