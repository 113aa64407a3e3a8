// The icon: an .ico file read and checked, what it becomes as resources, and the resource
// section's tree read back the way the loader walks it.
#include "error.h"
#include "icon.h"
#include "resources.h"
#include "host_kit.h"
#include "test_images.h"

#include <gtest/gtest.h>

#include <functional>

using namespace packer;
using test_images::get_u16;
using test_images::get_u32;

namespace {

void put_u16(std::string& bytes, uint16_t value)
{
    bytes += static_cast<char>(value & 0xFF);
    bytes += static_cast<char>(value >> 8);
}

void put_u32(std::string& bytes, uint32_t value)
{
    put_u16(bytes, static_cast<uint16_t>(value & 0xFFFF));
    put_u16(bytes, static_cast<uint16_t>(value >> 16));
}

const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + "the rest of a 32 x 32 PNG";

// A 16 x 16, 32-bit DIB as an icon holds it: BITMAPINFOHEADER with twice the height, pixels, mask.
std::string bitmap()
{
    std::string dib;
    for (uint32_t field : {40u, 16u, 32u}) {
        put_u32(dib, field);
    }
    put_u16(dib, 1);
    put_u16(dib, 32);
    dib.append(24, '\0');
    dib.append(16 * 16 * 4 + 16 * 4, '\x7f');
    return dib;
}

struct entry {
    uint8_t width, height;
    uint16_t bits;
    std::string data;
};

// ICONDIR, then the entries, then the images in order.
std::string icon_file(const std::vector<entry>& entries, uint16_t type = 1)
{
    std::string file;
    put_u16(file, 0);
    put_u16(file, type);
    put_u16(file, static_cast<uint16_t>(entries.size()));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * entries.size());
    for (const auto& each : entries) {
        file += static_cast<char>(each.width);
        file += static_cast<char>(each.height);
        file += '\0';
        file += '\0';
        put_u16(file, 1);
        put_u16(file, each.bits);
        put_u32(file, static_cast<uint32_t>(each.data.size()));
        put_u32(file, offset);
        offset += static_cast<uint32_t>(each.data.size());
    }
    for (const auto& each : entries) {
        file += each.data;
    }
    return file;
}

}  // namespace

TEST(Icon, EachImageIsKeptAsItIsAndTheGroupNamesThemByID)
{
    const std::string file = icon_file({{16, 16, 32, bitmap()}, {32, 32, 32, png}});
    const std::vector<icon_image> images = icon_of_bytes(file, "app.ico");
    ASSERT_EQ(2u, images.size());
    EXPECT_EQ(bitmap(), images[0].data);
    EXPECT_EQ(png, images[1].data);

    // GRPICONDIR: reserved, type 1, count; each entry as the file's with the ID instead of the offset.
    const std::string group = group_icon_resource(images);
    ASSERT_EQ(6u + 2 * 14, group.size());
    EXPECT_EQ(file.substr(0, 6), group.substr(0, 6));
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(file.substr(6 + 16 * i, 12), group.substr(6 + 14 * i, 12)) << i;
        EXPECT_EQ(i + 1, get_u16(group, 6 + 14 * i + 12)) << i;
    }

    const std::vector<resource> list = executable_resources(identity_from_options({}), images);
    std::vector<std::tuple<uint16_t, uint16_t, std::string>> found;
    for (const auto& each : list) {
        found.emplace_back(each.type, each.id, each.type == rt_manifest || each.type == rt_version ? "" : each.data);
    }
    EXPECT_EQ((std::vector<std::tuple<uint16_t, uint16_t, std::string>>{
                  {24, 1, ""}, {16, 1, ""}, {14, 1, group}, {3, 1, bitmap()}, {3, 2, png}}),
              found);
}

TEST(Icon, WhatIsNoValidIconIsRefusedWithOneLineSayingWhy)
{
    const std::string start = "icon 'x.ico' is not a valid .ico file: ";
    std::string past_directory = icon_file({{16, 16, 32, png}});
    past_directory.resize(6 + 8);
    std::string image_outside = icon_file({{16, 16, 32, png}});
    image_outside.resize(image_outside.size() - 1);
    std::string image_over_directory = icon_file({{16, 16, 32, png}});
    image_over_directory[6 + 12] = 4;
    std::string bitmap_with_two_planes = bitmap();
    bitmap_with_two_planes[12] = 2;
    const std::pair<std::string, std::string> cases[] = {
        {"", "no icon directory (reserved 0, type 1) at its start"},
        {"just text, no icon at all", "no icon directory (reserved 0, type 1) at its start"},
        {icon_file({{16, 16, 32, png}}, 2), "no icon directory (reserved 0, type 1) at its start"},
        {icon_file({}), "it holds 0 images (1 to 256 are taken)"},
        {past_directory, "its directory of 1 images runs past its end"},
        {image_outside, "image 1 lies outside the file"},
        {image_over_directory, "image 1 lies outside the file"},
        {icon_file({{16, 16, 32, png}, {16, 16, 32, "GIF89a and so on"}}), "image 2 is neither a PNG nor a bitmap"},
        {icon_file({{16, 16, 32, bitmap_with_two_planes}}), "image 1 is neither a PNG nor a bitmap"},
        {icon_file({{16, 16, 32, bitmap().substr(0, 39)}}), "image 1 is neither a PNG nor a bitmap"},
    };
    for (const auto& [bytes, why] : cases) {
        EXPECT_EQ(start + why, refusal([&] { icon_of_bytes(bytes, "x.ico"); })) << why;
    }
    EXPECT_EQ("<no refusal>", refusal([&] { icon_of_bytes(icon_file({{16, 16, 32, bitmap()}}), "x.ico"); }));
}

// The loader's walk: type, then ID, then language, then the data entry's RVA and size.
TEST(ResourceSection, EveryResourceIsFoundByTypeIDAndLanguageZeroWithItsBytes)
{
    const uint32_t rva = 0x86000;
    const std::vector<resource> list = {{24, 1, "manifest"}, {16, 1, "version!"}, {14, 1, "group"},
                                        {3, 1, "first image"}, {3, 2, "2nd"}};
    const std::string section = resource_section(list, rva);
    EXPECT_EQ(0u, section.size() % 8);
    auto directory = [&](uint32_t at) {
        EXPECT_EQ(0u, get_u32(section, at + 4)) << "a time stamp";
        EXPECT_EQ(0u, get_u16(section, at + 12)) << "named entries";
        std::vector<std::pair<uint32_t, uint32_t>> entries;
        for (uint16_t i = 0; i < get_u16(section, at + 14); ++i) {
            entries.emplace_back(get_u32(section, at + 16 + 8 * i), get_u32(section, at + 16 + 8 * i + 4));
        }
        return entries;
    };
    std::vector<std::tuple<uint32_t, uint32_t, std::string>> found;
    std::vector<uint32_t> types;
    for (const auto& [type, type_at] : directory(0)) {
        types.push_back(type);
        ASSERT_TRUE(type_at & 0x80000000u);
        for (const auto& [id, id_at] : directory(type_at & 0x7FFFFFFFu)) {
            ASSERT_TRUE(id_at & 0x80000000u);
            const auto languages = directory(id_at & 0x7FFFFFFFu);
            ASSERT_EQ(1u, languages.size());
            EXPECT_EQ(0u, languages[0].first) << "language neutral";
            const uint32_t data_entry = languages[0].second;
            ASSERT_FALSE(data_entry & 0x80000000u);
            const uint32_t data_rva = get_u32(section, data_entry);
            EXPECT_EQ(0u, data_rva % 8);
            found.emplace_back(type, id, section.substr(data_rva - rva, get_u32(section, data_entry + 4)));
        }
    }
    EXPECT_EQ((std::vector<uint32_t>{3, 14, 16, 24}), types) << "ascending, as the loader searches";
    EXPECT_EQ((std::vector<std::tuple<uint32_t, uint32_t, std::string>>{{3, 1, "first image"},
                                                                         {3, 2, "2nd"},
                                                                         {14, 1, "group"},
                                                                         {16, 1, "version!"},
                                                                         {24, 1, "manifest"}}),
              found);
}
