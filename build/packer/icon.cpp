// ICONDIR, its entries and each image checked against the file's length before any is used.
#include "icon.h"

#include "error.h"
#include "le_bytes.h"

#include <fstream>

namespace fs = std::filesystem;

namespace packer {

namespace {

constexpr size_t icon_dir_size = 6;
constexpr size_t icon_entry_size = 16;
// Sizes a real icon stays far below: 256 images of 256 x 256 at 32 bits are about 68 MiB.
constexpr uint64_t max_icon_file = uint64_t{64} << 20;
constexpr size_t max_images = 256;
const char png_signature[] = "\x89PNG\r\n\x1a\n";

// A PNG by its signature, or a DIB by a BITMAPINFOHEADER (or a later version of it) with one
// plane and a bit count Windows draws icons with.
bool image_data_is_known(const std::string& data)
{
    if (data.size() >= 8 && data.compare(0, 8, png_signature, 8) == 0) {
        return true;
    }
    if (data.size() < 40) {
        return false;
    }
    const uint32_t header_size = get_u32(data, 0);
    const uint16_t planes = get_u16(data, 12);
    const uint16_t bits = get_u16(data, 14);
    const bool known_bits = bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
    return (header_size == 40 || header_size == 108 || header_size == 124) && header_size <= data.size() &&
           planes == 1 && known_bits;
}

}  // namespace

std::vector<icon_image> icon_of_bytes(const std::string& bytes, const std::string& name)
{
    const std::string refusal = "icon '" + name + "' is not a valid .ico file: ";
    if (bytes.size() < icon_dir_size || get_u16(bytes, 0) != 0 || get_u16(bytes, 2) != 1) {
        throw packer_error(refusal + "no icon directory (reserved 0, type 1) at its start");
    }
    const size_t count = get_u16(bytes, 4);
    if (count == 0 || count > max_images) {
        throw packer_error(refusal + "it holds " + std::to_string(count) + " images (1 to " +
                           std::to_string(max_images) + " are taken)");
    }
    const size_t directory_end = icon_dir_size + icon_entry_size * count;
    if (directory_end > bytes.size()) {
        throw packer_error(refusal + "its directory of " + std::to_string(count) + " images runs past its end");
    }
    std::vector<icon_image> images;
    for (size_t i = 0; i < count; ++i) {
        const size_t entry = icon_dir_size + icon_entry_size * i;
        const uint64_t size = get_u32(bytes, entry + 8);
        const uint64_t offset = get_u32(bytes, entry + 12);
        const std::string which = "image " + std::to_string(i + 1);
        if (size == 0 || offset < directory_end || offset + size > bytes.size()) {
            throw packer_error(refusal + which + " lies outside the file");
        }
        icon_image image;
        image.width = static_cast<uint8_t>(bytes[entry]);
        image.height = static_cast<uint8_t>(bytes[entry + 1]);
        image.colors = static_cast<uint8_t>(bytes[entry + 2]);
        image.planes = get_u16(bytes, entry + 4);
        image.bit_count = get_u16(bytes, entry + 6);
        image.data = bytes.substr(static_cast<size_t>(offset), static_cast<size_t>(size));
        if (!image_data_is_known(image.data)) {
            throw packer_error(refusal + which + " is neither a PNG nor a bitmap");
        }
        images.push_back(std::move(image));
    }
    return images;
}

std::vector<icon_image> read_icon(const fs::path& file)
{
    std::error_code error;
    const bool regular = fs::is_regular_file(file, error);
    const uint64_t size = regular ? fs::file_size(file, error) : 0;
    std::ifstream in(file, std::ios::binary);
    if (!regular || error || !in) {
        throw packer_error("cannot read the icon '" + file.u8string() + "'");
    }
    if (size > max_icon_file) {
        throw packer_error("icon '" + file.u8string() + "' is not a valid .ico file: larger than 64 MiB");
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(size))) {
        throw packer_error("cannot read the icon '" + file.u8string() + "'");
    }
    return icon_of_bytes(bytes, file.u8string());
}

std::string group_icon_resource(const std::vector<icon_image>& images)
{
    std::string group;
    append_u16(group, 0);
    append_u16(group, 1);
    append_u16(group, static_cast<uint16_t>(images.size()));
    uint16_t id = 1;
    for (const auto& image : images) {
        group += static_cast<char>(image.width);
        group += static_cast<char>(image.height);
        group += static_cast<char>(image.colors);
        group += '\0';
        append_u16(group, image.planes);
        append_u16(group, image.bit_count);
        append_u32(group, static_cast<uint32_t>(image.data.size()));
        append_u16(group, id++);
    }
    return group;
}

}  // namespace packer
