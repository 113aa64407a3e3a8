// What a pack compiles into one executable besides the application: the identity texts, the
// unpack-folder template and the execution level the manifest asks for, from the pack options.
#ifndef VELDRA_PACKER_IDENTITY_H
#define VELDRA_PACKER_IDENTITY_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace packer {

enum class execution_level { as_invoker, highest_available, require_administrator };

// The defaults are this build's values.
struct build_identity {
    std::u16string company = u"Quendle Forge";
    std::u16string product = u"Brellum";
    // Three-part texts for the template variables; the version resource carries "<text>.0".
    std::u16string version = u"3.198.0";
    std::u16string file_version = u"3.198.0";
    std::u16string product_version = u"3.198.0";
    std::u16string description = u"Self-contained application";  // FileDescription is "<product> - <this>"
    std::u16string original_filename = u"Brellum7.exe";
    std::u16string internal_name = u"Brellum7";
    std::u16string unpack_template = u"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
    execution_level level = execution_level::require_administrator;
    // Whether a start removes the folders that killed runs of this executable left behind.
    bool sweep = true;
    // --unpack-mode cached: one folder per payload that outlives the run, checked at each start.
    bool cached = false;
};

// The template of --unpack-mode cached when no --template is given.
constexpr char16_t cached_unpack_template[] = u"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{PAYLOAD_HASH}";

// The longest identity text, in UTF-16 units.
constexpr size_t max_identity_units = 1023;

struct version_number {
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t patch = 0;
};

// X.Y.Z, three decimal numbers from 0 to 65535 without sign, blank or leading zero.
std::optional<version_number> parse_version(std::u16string_view text);

const char* execution_level_name(execution_level level);

// The identity the pack options give (option name to value, UTF-8); options not given keep
// the defaults. Throws packer_error with one line for any value that cannot be used.
build_identity identity_from_options(const std::map<std::string, std::string>& options);

}  // namespace packer

#endif
