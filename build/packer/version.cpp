// Where the versions come from: the packer's from its build, a stub's from the mark its build
// left in the stub's read-only data.
#include "version.h"

#include <algorithm>

#ifndef VELDRA_PACKER_VERSION
#error "build with VELDRA_PACKER_VERSION, the text of VERSION"
#endif

namespace packer {

const char packer_version[] = VELDRA_PACKER_VERSION;

namespace {

// As build/attached_block.S writes it, then the version and a zero byte.
constexpr std::string_view stub_version_mark = "veldra launcher stub version ";
constexpr size_t longest_version = 32;

}  // namespace

std::string stub_version(std::string_view stub_bytes)
{
    const size_t mark = stub_bytes.find(stub_version_mark);
    if (mark == std::string_view::npos) {
        return {};
    }
    const std::string_view rest = stub_bytes.substr(mark + stub_version_mark.size(), longest_version + 1);
    const size_t end = rest.find('\0');
    const std::string_view text = rest.substr(0, end);
    const bool plain = end != std::string_view::npos && !text.empty() &&
                       std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
    return plain ? std::string(text) : std::string();
}

}  // namespace packer
