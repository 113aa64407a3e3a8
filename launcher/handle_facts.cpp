// Attributes, size and name count of an open handle, from two by-handle queries.
#include "launcher/handle_facts.h"

bool read_handle_facts(HANDLE handle, handle_facts* facts)
{
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!os.GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
        !os.GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        return false;
    }
    facts->attributes = basic.FileAttributes;
    facts->links = standard.NumberOfLinks;
    facts->size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
    return true;
}
