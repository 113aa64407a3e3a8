// The packer's .ico reader on any bytes: images with their resources, or the one-line refusal.
#include "error.h"
#include "icon.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        const std::vector<packer::icon_image> images =
            packer::icon_of_bytes(std::string(reinterpret_cast<const char*>(data), size), "fuzzed.ico");
        packer::group_icon_resource(images);
    } catch (const packer::packer_error&) {
    }
    return 0;
}
