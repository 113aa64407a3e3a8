// The manifest as text, the version resource as bytes written here (a resource compiler's own
// VERSIONINFO sets fields this build wants otherwise), and the resource section that holds them.
#include "resources.h"

#include "error.h"
#include "names.h"
#include "le_bytes.h"

#include <algorithm>
#include <vector>

namespace packer {

std::string manifest_text(execution_level level)
{
    return std::string(
               "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
               "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
               "  <assemblyIdentity type=\"win32\" name=\"Ruve\" version=\"1.0.0.0\"/>\n"
               "  <compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">\n"
               "    <application>\n"
               "      <supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>\n"
               "      <supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>\n"
               "      <supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>\n"
               "      <supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>\n"
               "      <supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>\n"
               "    </application>\n"
               "  </compatibility>\n"
               "  <application xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n"
               "    <windowsSettings>\n"
               "      <longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>\n"
               "    </windowsSettings>\n"
               "  </application>\n"
               "  <dependency>\n"
               "    <dependentAssembly>\n"
               "      <assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"\n"
               "                        processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>\n"
               "    </dependentAssembly>\n"
               "  </dependency>\n"
               "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n"
               "    <security>\n"
               "      <requestedPrivileges>\n"
               "        <requestedExecutionLevel level=\"") +
           execution_level_name(level) +
           "\" uiAccess=\"false\"/>\n"
           "      </requestedPrivileges>\n"
           "    </security>\n"
           "  </trustInfo>\n"
           "</assembly>\n";
}

namespace {

void put_text(std::string& bytes, std::u16string_view text)
{
    for (char16_t unit : text) {
        append_u16(bytes, unit);
    }
    append_u16(bytes, 0);
}

void align_to_32_bits(std::string& bytes)
{
    bytes.append((4 - bytes.size() % 4) % 4, '\0');
}

enum : uint16_t { binary_value = 0, text_value = 1 };

// One block of the resource: wLength, wValueLength, wType, the key, the value and the
// children, each of the last three starting on a 32-bit boundary. wLength counts no padding
// after the block's own end; a parent's counts the padding before each child.
std::string version_block(std::u16string_view key, uint16_t type, const std::string& value, uint16_t value_length,
                          const std::vector<std::string>& children = {})
{
    std::string bytes(6, '\0');
    put_text(bytes, key);
    align_to_32_bits(bytes);
    bytes += value;
    for (const auto& child : children) {
        align_to_32_bits(bytes);
        bytes += child;
    }
    if (bytes.size() > 0xFFFF) {
        throw packer_error("the version resource is larger than 65,535 bytes");
    }
    std::string header;
    append_u16(header, static_cast<uint16_t>(bytes.size()));
    append_u16(header, value_length);
    append_u16(header, type);
    return bytes.replace(0, 6, header);
}

// A String: its value length counts UTF-16 units with the terminator.
std::string string_entry(std::u16string_view key, std::u16string_view text)
{
    std::string value;
    put_text(value, text);
    return version_block(key, text_value, value, static_cast<uint16_t>(text.size() + 1));
}

uint32_t most_significant(const version_number& version)
{
    return static_cast<uint32_t>(version.major) << 16 | version.minor;
}

uint32_t least_significant(const version_number& version)
{
    return static_cast<uint32_t>(version.patch) << 16;  // the fourth part is always 0
}

// VS_FIXEDFILEINFO: signature, structure version 0, the versions, flags mask 0x3F, no flags,
// VOS__WINDOWS32, VFT_APP, no subtype, no date.
std::string fixed_file_info(const version_number& file, const version_number& product)
{
    std::string info;
    for (uint32_t field : {0xFEEF04BDu, 0u, most_significant(file), least_significant(file),
                           most_significant(product), least_significant(product), 0x3Fu, 0u, 0x4u, 0x1u, 0u, 0u, 0u}) {
        append_u32(info, field);
    }
    return info;
}

version_number version_of(const std::u16string& text)
{
    std::optional<version_number> parsed = parse_version(text);
    if (!parsed) {
        throw packer_error("version '" + utf16_to_utf8(text) + "' is not X.Y.Z");
    }
    return *parsed;
}

}  // namespace

std::string version_resource(const build_identity& identity)
{
    const std::u16string file_version = identity.file_version + u".0";
    const std::u16string product_version = identity.product_version + u".0";
    std::string table = version_block(
        u"000004b0", text_value, "", 0,
        {string_entry(u"CompanyName", identity.company), string_entry(u"ProductName", identity.product),
         string_entry(u"FileDescription", identity.product + u" - " + identity.description),
         string_entry(u"ProductVersion", product_version), string_entry(u"FileVersion", file_version),
         string_entry(u"OriginalFilename", identity.original_filename),
         string_entry(u"InternalName", identity.internal_name)});
    std::string translation;
    append_u16(translation, 0x0000);  // language neutral
    append_u16(translation, 0x04B0);  // UTF-16
    std::string var = version_block(u"Translation", binary_value, translation, 4);
    std::string fixed = fixed_file_info(version_of(identity.file_version), version_of(identity.product_version));
    const uint16_t fixed_size = static_cast<uint16_t>(fixed.size());
    return version_block(u"VS_VERSION_INFO", binary_value, fixed, fixed_size,
                         {version_block(u"StringFileInfo", text_value, "", 0, {table}),
                          version_block(u"VarFileInfo", text_value, "", 0, {var})});
}

std::vector<resource> executable_resources(const build_identity& identity, const std::vector<icon_image>& icon)
{
    std::vector<resource> list = {{rt_manifest, 1, manifest_text(identity.level)},
                                  {rt_version, 1, version_resource(identity)}};
    if (!icon.empty()) {
        list.push_back({rt_group_icon, 1, group_icon_resource(icon)});
        uint16_t id = 1;
        for (const auto& image : icon) {
            list.push_back({rt_icon, id++, image.data});
        }
    }
    return list;
}

namespace {

constexpr uint32_t directory_size = 16;
constexpr uint32_t directory_entry_size = 8;
constexpr uint32_t data_entry_size = 16;
constexpr uint32_t subdirectory_flag = 0x80000000u;

void put_directory(std::string& bytes, uint16_t id_entries)
{
    append_u32(bytes, 0);  // characteristics
    append_u32(bytes, 0);  // no time stamp, so that packs stay the same bytes
    append_u16(bytes, 0);  // version
    append_u16(bytes, 0);
    append_u16(bytes, 0);  // named entries
    append_u16(bytes, id_entries);
}

}  // namespace

std::string resource_section(std::vector<resource> resources, uint32_t rva)
{
    // Entries of a directory go in ascending ID order, which is how the loader searches them.
    std::stable_sort(resources.begin(), resources.end(), [](const resource& a, const resource& b) {
        return a.type != b.type ? a.type < b.type : a.id < b.id;
    });
    std::vector<uint16_t> types;
    for (const auto& each : resources) {
        if (types.empty() || types.back() != each.type) {
            types.push_back(each.type);
        }
    }
    // Where each level starts: the root, one directory per type, one language directory per
    // resource, the data entries, the data.
    const uint32_t count = static_cast<uint32_t>(resources.size());
    const uint32_t type_directories = directory_size + directory_entry_size * static_cast<uint32_t>(types.size());
    const uint32_t language_directories =
        type_directories + directory_size * static_cast<uint32_t>(types.size()) + directory_entry_size * count;
    const uint32_t data_entries = language_directories + (directory_size + directory_entry_size) * count;
    uint32_t data_at = data_entries + data_entry_size * count;

    std::string bytes;
    put_directory(bytes, static_cast<uint16_t>(types.size()));
    uint32_t type_at = type_directories;
    for (uint16_t type : types) {
        append_u32(bytes, type);
        append_u32(bytes, subdirectory_flag | type_at);
        type_at += directory_size + directory_entry_size *
                                        static_cast<uint32_t>(std::count_if(resources.begin(), resources.end(),
                                                                            [type](const resource& r) { return r.type == type; }));
    }
    uint32_t index = 0;
    for (uint16_t type : types) {
        const auto of_type = static_cast<uint16_t>(std::count_if(
            resources.begin(), resources.end(), [type](const resource& r) { return r.type == type; }));
        put_directory(bytes, of_type);
        for (uint16_t i = 0; i < of_type; ++i, ++index) {
            append_u32(bytes, resources[index].id);
            append_u32(bytes, subdirectory_flag | (language_directories + (directory_size + directory_entry_size) * index));
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        put_directory(bytes, 1);
        append_u32(bytes, 0);  // language neutral
        append_u32(bytes, data_entries + data_entry_size * i);
    }
    std::vector<uint32_t> data_offsets;
    for (const auto& each : resources) {
        data_at = (data_at + 7) / 8 * 8;
        data_offsets.push_back(data_at);
        append_u32(bytes, rva + data_at);
        append_u32(bytes, static_cast<uint32_t>(each.data.size()));
        append_u32(bytes, 0);  // code page
        append_u32(bytes, 0);
        data_at += static_cast<uint32_t>(each.data.size());
    }
    for (uint32_t i = 0; i < count; ++i) {
        bytes.append(data_offsets[i] - bytes.size(), '\0');
        bytes += resources[i].data;
    }
    bytes.append((8 - bytes.size() % 8) % 8, '\0');
    return bytes;
}

}  // namespace packer
