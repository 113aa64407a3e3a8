// Stand-in walk: reads nothing.
#include "payload/extract.h"

#include "payload/stream.h"

void walk_archive()
{
    payload_close();
}

bool create_parent_directories(const wchar_t*)
{
    return false;
}

bool ensure_directory(const wchar_t*)
{
    return false;
}
