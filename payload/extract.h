// The archive walk: names, sizes and data from the stream into files under unpack_dir, with
// the directories they need.
#ifndef VELDRA_PAYLOAD_EXTRACT_H
#define VELDRA_PAYLOAD_EXTRACT_H

enum { copy_chunk_size = 32768, directory_cache_capacity = 1024 };

// Directories known to exist: slot 0 is the expanded "{HOME}", then every directory this
// process created or found. Slots are heap copies, added and never removed or freed.
extern const wchar_t* directory_cache[directory_cache_capacity];
extern int directory_cache_count;
// Set once the parent has made the unpack folder itself: teardown removes no folder the run
// did not create.
extern volatile bool unpack_dir_created;

// Parent: creates the unpack folder, fresh and private, or ends the run with status 2; then
// writes every entry and closes the stream. Child: returns right after the first
// entry's name, with main_module_path set.
void walk_archive();
// True when the folder that holds the path's last component exists afterwards.
bool create_parent_directories(const wchar_t* path);
// True when the folder (full path, no trailing backslash) is cached, a bare drive, was created
// or already existed.
bool ensure_directory(const wchar_t* path);

#endif
