// Storage of the walk's buffers; zero-filled at process start.
#include "payload/walk_buffers.h"

wchar_t unpack_dir[path_capacity];
wchar_t main_module_path[path_capacity];
wchar_t target_path[path_capacity];
wchar_t entry_name[entry_name_capacity];
