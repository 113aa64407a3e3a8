// The application's icon: a .ico file read and checked, and the resources it becomes, one
// RT_ICON per image (IDs 1 to n) and the RT_GROUP_ICON 1 that lists them.
#ifndef VELDRA_PACKER_ICON_H
#define VELDRA_PACKER_ICON_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace packer {

struct icon_image {
    // The directory entry's fields as the file gives them.
    uint8_t width = 0;
    uint8_t height = 0;
    uint8_t colors = 0;
    uint16_t planes = 0;
    uint16_t bit_count = 0;
    std::string data;  // a PNG file or a DIB (BITMAPINFOHEADER, colours, XOR and AND masks)
};

// The images of an .ico file, in the file's order. Anything that is not a valid icon is refused
// with one line: "icon 'FILE' is not a valid .ico file: <why>".
std::vector<icon_image> read_icon(const std::filesystem::path& file);
std::vector<icon_image> icon_of_bytes(const std::string& bytes, const std::string& name);

// The RT_GROUP_ICON resource: the file's directory with each offset replaced by the RT_ICON ID.
std::string group_icon_resource(const std::vector<icon_image>& images);

}  // namespace packer

#endif
