// The executable's resources: the application manifest (RT_MANIFEST 1), the version resource
// (RT_VERSION 1) and the icon when one is given, all language neutral, laid out by the packer
// as the image's resource section.
#ifndef VELDRA_PACKER_RESOURCES_H
#define VELDRA_PACKER_RESOURCES_H

#include "icon.h"
#include "identity.h"

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

// The manifest's XML, UTF-8.
std::string manifest_text(execution_level level);

// The bytes of VS_VERSIONINFO as the version resource holds them.
std::string version_resource(const build_identity& identity);

enum : uint16_t { rt_icon = 3, rt_group_icon = 14, rt_version = 16, rt_manifest = 24 };

struct resource {
    uint16_t type = 0;
    uint16_t id = 0;
    std::string data;
};

// The manifest, the version resource and, with images, RT_ICON 1 to n and RT_GROUP_ICON 1.
std::vector<resource> executable_resources(const build_identity& identity, const std::vector<icon_image>& icon);

// The resource section for a section at `rva`: the directory tree (type, ID, language 0), the
// data entries, then each resource's bytes on an 8-byte boundary. Every resource keeps its
// bytes exactly; the order of `resources` does not matter.
std::string resource_section(std::vector<resource> resources, uint32_t rva);

}  // namespace packer

#endif
