// The archive walk: names, sizes and data from the stream into files under unpack_dir.
#ifndef VELDRA_PAYLOAD_EXTRACT_H
#define VELDRA_PAYLOAD_EXTRACT_H

// Parent: writes every entry, then closes the stream. Child: returns right after the first
// entry's name, with main_module_path set.
void walk_archive();
bool create_parent_directories(const wchar_t* path);
bool ensure_directory(const wchar_t* path);

#endif
