// Producing a launcher executable: the prebuilt launcher libraries linked with the build
// constants and the block. Each piece that a build may extend has a function of its own: the
// generated constants source, the resources, the image's link flags, the link itself.
#ifndef VELDRA_PACKER_PACK_H
#define VELDRA_PACKER_PACK_H

#include "architecture.h"
#include "identity.h"
#include "signing.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace packer {

struct toolchain {
    architecture arch = default_architecture;
    std::string cxx;                     // compiles and links
    std::string windres;                 // compiles the resources
    std::filesystem::path launcher_dir;  // holds libveldra_main.a and libveldra_launcher.a
    std::filesystem::path zstd_library;  // the decoder's static library
    std::filesystem::path source_dir;    // the repository, for build/attached_block.S and headers
};

// The tools of `arch` and its libraries where a build puts them: the launcher's in
// <launcher_root>/<arch>/, the decoder in <zstd_root>/<arch>/lib/libzstd.a.
toolchain toolchain_for(architecture arch, const std::filesystem::path& launcher_root,
                        const std::filesystem::path& zstd_root, const std::filesystem::path& source_dir);

// The C++ source that defines the build constants, attached_block_size among them.
void write_constants_source(const std::filesystem::path& file, const build_identity& identity, uint64_t block_size);

// Object files of the executable's resources (manifest and version resource), made in `work_dir`.
std::vector<std::filesystem::path> write_resources(const std::filesystem::path& work_dir, const build_identity& identity,
                                                   const toolchain& tools);

// Linker options that give the image its properties.
std::vector<std::string> image_link_flags();

// Libraries of the system that the launcher code calls into.
std::vector<std::string> system_libraries();

// Links `block_file` as it is (never checked, only its size against the target's limit, before
// any tool runs) into `output`, sets the header fields the linker does not and signs the
// result when `signing` names a certificate; on failure no output exists.
void pack_executable(const std::filesystem::path& block_file, const std::filesystem::path& output,
                     const build_identity& identity, const toolchain& tools, const signing_options& signing = {});

}  // namespace packer

#endif
