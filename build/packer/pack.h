// Producing a launcher executable from a prebuilt stub: the stub's place filled with the build
// constants and the block, the resources appended, the headers and the checksum set, and the
// result signed when asked. No compiler, linker or resource compiler runs.
#ifndef VELDRA_PACKER_PACK_H
#define VELDRA_PACKER_PACK_H

#include "architecture.h"
#include "icon.h"
#include "identity.h"
#include "signing.h"
#include "stub_image.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace packer {

struct launcher_stub {
    architecture arch = default_architecture;
    std::filesystem::path file;  // the stub read from disk; empty when `bytes` holds it
    std::string bytes;           // a stub carried inside the packer
};

struct pack_extras {
    std::vector<icon_image> icon;  // no images: no icon resources
    signing_options signing;
};

// The stub read and checked (stub_image.h), from its file or from the packer's own bytes.
stub_image load_stub(const launcher_stub& stub);

// Refuses a block larger than the target carries, naming the block; nothing else of it is read.
void check_block_size(const std::filesystem::path& block_file, architecture arch);

// Puts `block_file` as it is (never checked, only its size against the target's limit, before
// anything is written) into `output`, with the identity, the resources and the signature; on
// failure no output exists.
void pack_executable(const std::filesystem::path& block_file, const std::filesystem::path& output,
                     const build_identity& identity, const launcher_stub& stub, const pack_extras& extras = {});

}  // namespace packer

#endif
