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

enum walk_role { walk_as_parent, walk_as_child };
// walk_stopped: the console handler set *stop_requested while the parent was writing. The walk
// has closed its file and writes nothing more; what follows is the road's to decide.
enum walk_result { walk_complete, walk_stopped };

// Parent: creates the unpack folder, fresh and private, or ends the run with status 2; then
// writes every entry and closes the stream. Child: returns right after the first
// entry's name, with main_module_path set.
walk_result walk_archive(walk_role role, const volatile bool* stop_requested);
// Waits for the writer's queue and closes the file the walk was filling, if any: what a stop in
// the middle of the walk runs before the folder is removed.
void walk_close_files();
// True when the folder that holds the path's last component exists afterwards.
bool create_parent_directories(const wchar_t* path);
// True when the folder (full path, no trailing backslash) is cached, a bare drive, was created
// or already existed.
bool ensure_directory(const wchar_t* path);

#endif
