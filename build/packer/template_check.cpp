// Pack-time check of the unpack-folder template. The scan follows the launcher's expander
// character for character; what it cannot know (the machine's folders, the run's values)
// stays a marker, and the build values are put in as the launcher will put them.
#include "template_check.h"

#include "names.h"
#include "paths/template_variables.h"
#include "progress.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace packer {

namespace {

// The launcher's table, in its order. `machine` values are known only on the user's machine;
// `path` values may hold backslashes; `unique` values differ from run to run; `least` is the
// fewest characters a value has.
struct variable {
    std::u16string_view name;
    template_variable_id id;
    bool machine;
    bool path;
    bool unique;
    size_t least;
};

#define VELDRA_UTF16_TEXT(text) u##text
const variable variables[] = {
#define VELDRA_CHECKED_VARIABLE(id, name, path, strips, unique, build, least) \
    {VELDRA_UTF16_TEXT(name), template_variable_##id, !(build), path, unique, least},
    VELDRA_TEMPLATE_VARIABLES(VELDRA_CHECKED_VARIABLE)
#undef VELDRA_CHECKED_VARIABLE
};
#undef VELDRA_UTF16_TEXT

char16_t ascii_upper(char16_t c)
{
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

// Whole names, folding the ASCII letters only, as the launcher compares them.
const variable* find_variable(std::u16string_view name)
{
    for (const auto& entry : variables) {
        if (entry.name.size() != name.size()) {
            continue;
        }
        size_t i = 0;
        while (i < name.size() && ascii_upper(name[i]) == entry.name[i]) {
            ++i;
        }
        if (i == name.size()) {
            return &entry;
        }
    }
    return nullptr;
}

// One piece of the expanded template: known text, or a value of the user's machine.
struct piece {
    std::u16string text;
    const variable* marker = nullptr;
};

// Messages show the template on one line: control characters as <HH>, a long one shortened.
std::string shown(std::u16string_view text)
{
    constexpr size_t longest = 200;
    std::u16string cut(text.substr(0, longest));
    std::string line;
    for (char16_t unit : cut) {
        if (unit < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "<%02X>", static_cast<unsigned>(unit));
            line += code;
        } else {
            line += utf16_to_utf8(std::u16string(1, unit));
        }
    }
    return text.size() > longest ? line + "..." : line;
}

std::u16string_view build_value(const variable& entry, const template_build_values& values)
{
    switch (entry.id) {
    case template_variable_company: return values.company;
    case template_variable_product: return values.product;
    case template_variable_version: return values.version;
    case template_variable_file_version: return values.file_version;
    case template_variable_product_version: return values.product_version;
    default: return {};
    }
}

struct scan_result {
    std::vector<piece> pieces;
    std::string problem;
};

void add_text(std::vector<piece>& pieces, std::u16string_view text)
{
    if (pieces.empty() || pieces.back().marker != nullptr) {
        pieces.push_back({});
    }
    pieces.back().text += text;
}

std::string reference_problem(std::u16string_view name, const std::string& where)
{
    if (name.size() >= name_buffer_capacity) {
        return where + " has a variable name longer than " + grouped(template_name_max_units) + " characters";
    }
    if (find_variable(name) == nullptr) {
        return where + " names an unknown variable {" + shown(name) + "}";
    }
    return "";
}

// The launcher's two states, outside and inside a reference; a "}" outside is literal text.
scan_result scan(std::u16string_view text, const template_build_values& values, const std::string& where)
{
    scan_result result;
    bool inside = false;
    std::u16string name;
    for (char16_t c : text) {
        if (c == u'{' && inside) {
            result.problem = where + " opens a reference inside '{" + shown(name) + "': braces do not nest";
            return result;
        }
        if (c == u'{') {
            inside = true;
            name.clear();
        } else if (c == u'}' && inside) {
            result.problem = reference_problem(name, where);
            if (!result.problem.empty()) {
                return result;
            }
            const variable* entry = find_variable(name);
            if (entry->machine) {
                result.pieces.push_back({u"", entry});
            } else {
                add_text(result.pieces, build_value(*entry, values));
            }
            inside = false;
        } else if (inside) {
            name += c;
        } else {
            add_text(result.pieces, std::u16string(1, c));
        }
    }
    if (inside) {
        result.problem = where + " ends inside the reference '{" + shown(name) + "': close it with '}'";
    }
    return result;
}

bool is_separator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

// The ":" of a template that starts with a drive letter, as in D:\onefile_{PID}.
bool is_leading_drive(const std::vector<piece>& pieces, size_t position)
{
    if (position != 1 || pieces.front().marker != nullptr) {
        return false;
    }
    const char16_t letter = pieces.front().text[0] | 0x20;
    return letter >= u'a' && letter <= u'z';
}

// Control characters and <>"|?* never; ":" only after a leading drive letter.
std::string character_problem(const std::vector<piece>& pieces, const std::string& where)
{
    size_t position = 0;
    for (const auto& part : pieces) {
        for (char16_t c : part.text) {
            bool special = std::u16string_view(u"<>\"|?*:").find(c) != std::u16string_view::npos;
            bool forbidden = c < 0x20 || (special && !(c == u':' && is_leading_drive(pieces, position)));
            if (forbidden) {
                char code[16];
                std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
                std::string character = c < 0x20 ? code : "'" + std::string(1, static_cast<char>(c)) + "' (" + code + ")";
                return where + " would put " + character + " in a folder name, which Windows does not allow";
            }
            ++position;
        }
        position += part.marker != nullptr ? 1 : 0;
    }
    return "";
}

// The literal text and build values, with the fewest characters each machine value adds.
std::string length_problem(const std::vector<piece>& pieces, const std::string& where, bool cached)
{
    // A cached folder is unpacked first into a sibling named "<folder>.<11 random characters>",
    // and one in the way is moved aside to that name and ".stale".
    size_t least = cached ? 18 : 0;
    for (const auto& part : pieces) {
        least += part.marker != nullptr ? part.marker->least : part.text.size();
    }
    if (least >= unpack_dir_capacity) {
        return where + " expands to more than 4,095 characters on any machine";
    }
    return "";
}

// A path component: its known text and the machine values in it.
struct component {
    std::u16string text;
    std::vector<const variable*> markers;
};

std::vector<component> components_of(const std::vector<piece>& pieces)
{
    std::vector<component> parts(1);
    for (const auto& part : pieces) {
        if (part.marker != nullptr) {
            parts.back().markers.push_back(part.marker);
        }
        for (char16_t c : part.text) {
            if (is_separator(c)) {
                parts.emplace_back();
            } else {
                parts.back().text += c;
            }
        }
    }
    return parts;
}

// "." and ".." move the folder up or nowhere; Windows drops trailing dots and blanks, so a
// component of dots and blanks alone does the same.
bool is_dots_alone(const component& part)
{
    return part.markers.empty() && !part.text.empty() && part.text.find_first_not_of(u". ") == std::u16string::npos;
}

bool names_payload_hash(const variable* marker)
{
    return marker->id == template_variable_payload_hash;
}

// A cached folder is found again by its name, so the name holds the block's hash and nothing
// that changes from run to run.
std::string cached_component_problem(const component& last, const std::string& where)
{
    if (std::none_of(last.markers.begin(), last.markers.end(), names_payload_hash)) {
        return where + " does not name a folder of this payload: with --unpack-mode cached its last path "
                       "component must hold {PAYLOAD_HASH}";
    }
    for (const variable* marker : last.markers) {
        if (marker->unique) {
            return where + " has {" + utf16_to_utf8(marker->name) +
                   "} in its last path component: a cached folder must have the same name at every start";
        }
    }
    return "";
}

std::string component_problem(const std::vector<component>& parts, const std::string& where, bool cached)
{
    for (const auto& part : parts) {
        if (is_dots_alone(part)) {
            return where + " has the path component '" + shown(part.text) + "', which names no folder of its own";
        }
        if (!cached && std::any_of(part.markers.begin(), part.markers.end(), names_payload_hash)) {
            return where + " holds {PAYLOAD_HASH}, which only --unpack-mode cached gives";
        }
    }
    const component& last = parts.back();
    const std::string cached_problem = cached ? cached_component_problem(last, where) : "";
    if (!cached_problem.empty()) {
        return cached_problem;
    }
    auto unique = [](const variable* marker) { return marker->unique; };
    if (!cached && std::none_of(last.markers.begin(), last.markers.end(), unique)) {
        return where + " does not give each run a folder of its own, which is removed when the run ends: its last "
                       "path component must hold {PID}, {RANDOM}, {TIME_US} or {TIME}";
    }
    for (const variable* marker : last.markers) {
        if (marker->path) {
            return where + " has {" + utf16_to_utf8(marker->name) +
                   "} in its last path component: a path there would not end in a folder of the run's own";
        }
    }
    return "";
}

// A cached folder outlives the run and is loaded from again: only a folder of the user's own may
// hold it, never one that other users can write to (C:\\Users\\Public, a share, beside a program).
std::string cached_start_problem(const std::vector<piece>& pieces, const std::string& where)
{
    const variable* first = pieces.empty() ? nullptr : pieces.front().marker;
    const bool per_user = first != nullptr && (first->id == template_variable_cache_dir ||
                                               first->id == template_variable_home ||
                                               first->id == template_variable_temp);
    if (per_user) {
        return "";
    }
    return where + " does not begin with a folder of the user's own: with --unpack-mode cached it must begin with "
                   "{CACHE_DIR}, {HOME} or {TEMP}";
}

// A folder is found, written and removed by a full path, never below whatever the current
// folder is: the template starts with a variable that gives a path, a drive's root or a share.
std::string start_problem(const std::vector<piece>& pieces, const std::string& where)
{
    if (!pieces.empty() && pieces.front().marker != nullptr && pieces.front().marker->path) {
        return "";
    }
    const std::u16string text = pieces.empty() || pieces.front().marker != nullptr ? u"" : pieces.front().text;
    const char16_t letter = text.empty() ? 0 : static_cast<char16_t>(text[0] | 0x20);
    const bool drive_root = text.size() >= 3 && letter >= u'a' && letter <= u'z' && text[1] == u':' &&
                            is_separator(text[2]);
    const bool share = text.size() >= 3 && is_separator(text[0]) && is_separator(text[1]) && !is_separator(text[2]);
    if (drive_root || share) {
        return "";
    }
    return where + " is not a full path: it must begin with {TEMP}, {HOME}, {CACHE_DIR}, {PROGRAM_DIR}, "
                   "{PROGRAM_BASE} or {PROGRAM}, a drive's root (C:\\) or a share (\\\\server\\share), not "
                   "depend on the current folder";
}

}  // namespace

std::string unpack_template_problem(std::u16string_view text, const template_build_values& values, bool cached)
{
    const std::string where = "template '" + shown(text) + "'";
    scan_result scanned = scan(text, values, where);
    if (!scanned.problem.empty()) {
        return scanned.problem;
    }
    for (const std::string& problem :
         {character_problem(scanned.pieces, where), length_problem(scanned.pieces, where, cached)}) {
        if (!problem.empty()) {
            return problem;
        }
    }
    const std::string problem = component_problem(components_of(scanned.pieces), where, cached);
    if (!problem.empty()) {
        return problem;
    }
    return cached ? cached_start_problem(scanned.pieces, where) : start_problem(scanned.pieces, where);
}

}  // namespace packer
