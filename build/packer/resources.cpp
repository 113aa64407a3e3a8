// The manifest as text, the version resource as bytes written here (a resource compiler's own
// VERSIONINFO sets fields this build wants otherwise), and the script that links both in.
#include "resources.h"

#include "error.h"
#include "names.h"
#include "tool_run.h"

#include <fstream>
#include <vector>

namespace fs = std::filesystem;

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

void put_text(std::string& bytes, std::u16string_view text)
{
    for (char16_t unit : text) {
        put_u16(bytes, unit);
    }
    put_u16(bytes, 0);
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
    put_u16(header, static_cast<uint16_t>(bytes.size()));
    put_u16(header, value_length);
    put_u16(header, type);
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
        put_u32(info, field);
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
    put_u16(translation, 0x0000);  // language neutral
    put_u16(translation, 0x04B0);  // UTF-16
    std::string var = version_block(u"Translation", binary_value, translation, 4);
    std::string fixed = fixed_file_info(version_of(identity.file_version), version_of(identity.product_version));
    const uint16_t fixed_size = static_cast<uint16_t>(fixed.size());
    return version_block(u"VS_VERSION_INFO", binary_value, fixed, fixed_size,
                         {version_block(u"StringFileInfo", text_value, "", 0, {table}),
                          version_block(u"VarFileInfo", text_value, "", 0, {var})});
}

namespace {

void write_file(const fs::path& file, const std::string& bytes)
{
    std::ofstream out(file, std::ios::binary);
    out << bytes;
    if (!out) {
        throw packer_error("cannot write '" + file.string() + "'");
    }
}

}  // namespace

fs::path compile_resources(const fs::path& work_dir, const build_identity& identity, const std::string& windres)
{
    write_file(work_dir / "manifest.xml", manifest_text(identity.level));
    write_file(work_dir / "version.bin", version_resource(identity));
    // Raw resources: windres copies the files as they are, under language 0 (neutral).
    write_file(work_dir / "resources.rc",
               "LANGUAGE 0, 0\n"
               "1 24 \"manifest.xml\"\n"
               "1 16 \"version.bin\"\n");
    run_tool({windres, "-O", "coff", "-i", "resources.rc", "-o", "resources.o"}, work_dir,
             "cannot compile the resources");
    return work_dir / "resources.o";
}

}  // namespace packer
