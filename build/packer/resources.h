// The executable's resources: the application manifest (RT_MANIFEST 1) and the version
// resource (RT_VERSION 1), both language neutral, compiled with windres into one object.
#ifndef VELDRA_PACKER_RESOURCES_H
#define VELDRA_PACKER_RESOURCES_H

#include "identity.h"

#include <filesystem>
#include <string>

namespace packer {

// The manifest's XML, UTF-8.
std::string manifest_text(execution_level level);

// The bytes of VS_VERSIONINFO as the version resource holds them.
std::string version_resource(const build_identity& identity);

// Writes the manifest, the version resource and a resource script into `work_dir`, compiles
// them with `windres` and returns the object file.
std::filesystem::path compile_resources(const std::filesystem::path& work_dir, const build_identity& identity,
                                        const std::string& windres);

}  // namespace packer

#endif
