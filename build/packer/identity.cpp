// Pack options to build identity: each value checked before anything is written.
#include "identity.h"

#include "error.h"
#include "names.h"
#include "progress.h"
#include "template_check.h"

namespace packer {

namespace {

std::optional<uint16_t> parse_part(std::u16string_view digits)
{
    if (digits.empty() || digits.size() > 5 || (digits.size() > 1 && digits[0] == u'0')) {
        return std::nullopt;
    }
    unsigned long value = 0;
    for (char16_t c : digits) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        value = value * 10 + (c - u'0');
    }
    return value <= 0xFFFF ? std::optional<uint16_t>(static_cast<uint16_t>(value)) : std::nullopt;
}

const std::string* given(const std::map<std::string, std::string>& options, const char* name)
{
    auto found = options.find(name);
    return found == options.end() ? nullptr : &found->second;
}

// A text that stays one line of at most max_identity_units UTF-16 units.
std::u16string identity_text(const std::string& value, const char* option)
{
    std::optional<std::u16string> text = utf8_to_utf16(value);
    const std::string name = option;
    if (!text) {
        throw packer_error(name + " takes UTF-8 text");
    }
    if (text->empty()) {
        throw packer_error(name + " takes a text that is not empty");
    }
    if (text->size() > max_identity_units) {
        throw packer_error(name + " takes at most " + grouped(max_identity_units) + " UTF-16 units (got " +
                           std::to_string(text->size()) + ")");
    }
    for (char16_t unit : *text) {
        if (unit < 0x20 || unit == 0x7F) {
            throw packer_error(name + " takes a text without control characters such as tabs or line ends");
        }
    }
    return *text;
}

void set_text(std::u16string& field, const std::map<std::string, std::string>& options, const char* option)
{
    if (const std::string* value = given(options, option)) {
        field = identity_text(*value, option);
    }
}

void set_version(build_identity& identity, const std::map<std::string, std::string>& options)
{
    const std::string* value = given(options, "--version");
    if (value == nullptr) {
        return;
    }
    std::optional<std::u16string> text = utf8_to_utf16(*value);
    if (!text || !parse_version(*text)) {
        throw packer_error("--version takes X.Y.Z, three whole numbers from 0 to 65535 without leading zeros (got '" +
                           *value + "')");
    }
    identity.version = identity.file_version = identity.product_version = *text;
}

void set_level(build_identity& identity, const std::map<std::string, std::string>& options)
{
    const std::string* value = given(options, "--execution-level");
    if (value == nullptr) {
        return;
    }
    for (auto level : {execution_level::as_invoker, execution_level::highest_available,
                       execution_level::require_administrator}) {
        if (*value == execution_level_name(level)) {
            identity.level = level;
            return;
        }
    }
    throw packer_error("--execution-level takes asInvoker, highestAvailable or requireAdministrator");
}

void set_sweep(build_identity& identity, const std::map<std::string, std::string>& options)
{
    if (const std::string* value = given(options, "--sweep")) {
        if (*value != "on" && *value != "off") {
            throw packer_error("--sweep takes on or off");
        }
        identity.sweep = *value == "on";
    }
}

// Checked after the execution level: the check at a start guards against a modified file, not
// against a race in a folder its user controls, from which an elevated process must not load.
void set_unpack_mode(build_identity& identity, const std::map<std::string, std::string>& options)
{
    const std::string* value = given(options, "--unpack-mode");
    if (value == nullptr) {
        return;
    }
    if (*value != "per-run" && *value != "cached") {
        throw packer_error("--unpack-mode takes per-run or cached");
    }
    identity.cached = *value == "cached";
    if (identity.cached && identity.level != execution_level::as_invoker) {
        throw packer_error("--unpack-mode cached goes with --execution-level asInvoker: an elevated process must "
                           "not load from a folder that its user can change");
    }
    if (identity.cached) {
        identity.unpack_template = cached_unpack_template;
    }
}

void set_template(build_identity& identity, const std::map<std::string, std::string>& options)
{
    if (const std::string* value = given(options, "--template")) {
        std::optional<std::u16string> text = utf8_to_utf16(*value);
        if (!text) {
            throw packer_error("--template takes UTF-8 text");
        }
        identity.unpack_template = *text;
    }
    std::string problem = unpack_template_problem(
        identity.unpack_template,
        {identity.company, identity.product, identity.version, identity.file_version, identity.product_version},
        identity.cached);
    if (!problem.empty()) {
        throw packer_error(problem);
    }
}

}  // namespace

std::optional<version_number> parse_version(std::u16string_view text)
{
    size_t first = text.find(u'.');
    size_t second = first == std::u16string_view::npos ? first : text.find(u'.', first + 1);
    if (second == std::u16string_view::npos) {
        return std::nullopt;
    }
    auto major = parse_part(text.substr(0, first));
    auto minor = parse_part(text.substr(first + 1, second - first - 1));
    auto patch = parse_part(text.substr(second + 1));
    if (!major || !minor || !patch) {
        return std::nullopt;
    }
    return version_number{*major, *minor, *patch};
}

const char* execution_level_name(execution_level level)
{
    switch (level) {
    case execution_level::as_invoker: return "asInvoker";
    case execution_level::highest_available: return "highestAvailable";
    case execution_level::require_administrator: return "requireAdministrator";
    }
    return "requireAdministrator";
}

build_identity identity_from_options(const std::map<std::string, std::string>& options)
{
    build_identity identity;
    set_text(identity.company, options, "--company");
    set_text(identity.product, options, "--product");
    set_text(identity.description, options, "--description");
    set_text(identity.original_filename, options, "--original-filename");
    set_text(identity.internal_name, options, "--internal-name");
    set_version(identity, options);
    set_level(identity, options);
    set_sweep(identity, options);
    set_unpack_mode(identity, options);
    set_template(identity, options);  // last: it may name the texts above
    return identity;
}

}  // namespace packer
