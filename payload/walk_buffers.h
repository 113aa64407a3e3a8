// The walk's buffers: the folder it writes into, the path it builds, the name it reads and the
// main module it finds. Process-wide, so that the road and the fatal routines read them too.
#ifndef VELDRA_PAYLOAD_WALK_BUFFERS_H
#define VELDRA_PAYLOAD_WALK_BUFFERS_H

#include "payload/block_format.h"

enum {
    path_capacity = 4096,
    // A path in the extended form, up to the longest the system takes.
    write_path_capacity = 32768,
    entry_name_capacity = archive_name_max_units + 1,
};

extern wchar_t unpack_dir[path_capacity];
extern wchar_t main_module_path[path_capacity];
extern wchar_t target_path[path_capacity];
extern wchar_t entry_name[entry_name_capacity];

#endif
