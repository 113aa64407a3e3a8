// The stubs a distribution's packer carries inside itself (carried_stubs.S), so that it packs
// with no file beside it. A build without them carries none.
#ifndef VELDRA_PACKER_CARRIED_STUBS_H
#define VELDRA_PACKER_CARRIED_STUBS_H

#include "architecture.h"

#include <string_view>

namespace packer {

// The stub of `arch` as this packer carries it; empty when it carries none.
std::string_view carried_stub(architecture arch);

}  // namespace packer

#endif
