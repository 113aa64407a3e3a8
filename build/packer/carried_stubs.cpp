// The carried stubs' bytes, between the labels carried_stubs.S puts around each.
#include "carried_stubs.h"

#ifdef VELDRA_CARRY_STUBS
extern "C" {
extern const char veldra_stub_x86[];
extern const char veldra_stub_x86_end[];
extern const char veldra_stub_x64[];
extern const char veldra_stub_x64_end[];
}
#endif

namespace packer {

std::string_view carried_stub(architecture arch)
{
#ifdef VELDRA_CARRY_STUBS
    if (arch == architecture::x86) {
        return std::string_view(veldra_stub_x86, static_cast<size_t>(veldra_stub_x86_end - veldra_stub_x86));
    }
    return std::string_view(veldra_stub_x64, static_cast<size_t>(veldra_stub_x64_end - veldra_stub_x64));
#else
    (void)arch;
    return {};
#endif
}

}  // namespace packer
