// The packer's version and the version a launcher stub records of itself, for --version: a
// build log can then say which packer and which stubs made an executable.
#ifndef VELDRA_PACKER_VERSION_H
#define VELDRA_PACKER_VERSION_H

#include <string>
#include <string_view>

namespace packer {

// The version of the repository the packer was built from (VERSION at its root).
extern const char packer_version[];

// The version text the stub's build wrote into its read-only data (build/attached_block.S),
// or empty when the bytes hold none.
std::string stub_version(std::string_view stub_bytes);

}  // namespace packer

#endif
