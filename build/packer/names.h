// Archive names: Linux file names (UTF-8) turned into the launcher's form, UTF-16 with
// backslashes, and the rules a name must meet to unpack safely under the unpack folder.
#ifndef VELDRA_PACKER_NAMES_H
#define VELDRA_PACKER_NAMES_H

#include "payload/block_format.h"

#include <optional>
#include <string>
#include <string_view>

namespace packer {

constexpr size_t max_name_units = archive_name_max_units;

// UTF-16 for valid UTF-8; characters outside the BMP become surrogate pairs.
std::optional<std::u16string> utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

// Empty when the name is fit for the archive, else why it is not (one line, no name in it).
std::string name_problem(std::u16string_view name);

// Joins path components (UTF-8) with backslashes; throws packer_error for a component that is
// no UTF-8 or a name that breaks a rule.
std::u16string archive_name(const std::string& relative_path);

}  // namespace packer

#endif
