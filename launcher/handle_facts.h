// What the removal walk, the sweep and the cache check ask of an open file or folder: its
// attributes, its size and how many names it has.
#ifndef VELDRA_LAUNCHER_HANDLE_FACTS_H
#define VELDRA_LAUNCHER_HANDLE_FACTS_H

#include "os/win_calls.h"

#include <cstdint>

struct handle_facts {
    DWORD attributes;
    DWORD links;
    uint64_t size;
};

// False when the handle cannot be queried; it needs FILE_READ_ATTRIBUTES. Asked by handle
// information classes rather than GetFileInformationByHandle, which also fetches the volume's
// serial number: Wine asks its mount manager, in another process, for that at every call, and
// a walk over an unpacked application paid it once per file.
bool read_handle_facts(HANDLE handle, handle_facts* facts);

#endif
