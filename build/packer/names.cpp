// Conversion and checks of archive names.
#include "names.h"

#include "error.h"
#include "payload/archive_names.h"
#include "progress.h"

#include <cstdint>

namespace packer {

namespace {

// Decodes one UTF-8 sequence at text[i]; returns the code point or -1, and advances i.
long decode_utf8(std::string_view text, size_t& i)
{
    unsigned char lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) {
        return lead;
    }
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
    if (extra < 0 || lead > 0xF4 || i + extra > text.size()) {
        return -1;
    }
    long code = lead & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i++]);
        if ((next & 0xC0) != 0x80) {
            return -1;
        }
        code = (code << 6) | (next & 0x3F);
    }
    const long smallest[] = {0, 0x80, 0x800, 0x10000};
    bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < smallest[extra] || code > 0x10FFFF || surrogate ? -1 : code;
}

}  // namespace

std::optional<std::u16string> utf8_to_utf16(std::string_view text)
{
    std::u16string result;
    for (size_t i = 0; i < text.size();) {
        long code = decode_utf8(text, i);
        if (code < 0) {
            return std::nullopt;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            result += static_cast<char16_t>(0xD800 + (code >> 10));
            result += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            result += static_cast<char16_t>(code);
        }
    }
    return result;
}

std::string utf16_to_utf8(std::u16string_view text)
{
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (code < 0x80) {
            result += static_cast<char>(code);
        } else if (code < 0x800) {
            result += static_cast<char>(0xC0 | (code >> 6));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            result += static_cast<char>(0xE0 | (code >> 12));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (code >> 18));
            result += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return result;
}

std::string name_problem(std::u16string_view name)
{
    if (name.size() > max_name_units) {
        return "is longer than " + grouped(max_name_units) + " UTF-16 units (" + std::to_string(name.size()) + ")";
    }
    // Before the shared rule, which would call the drive's colon just a character.
    if (name.size() >= 2 && name[0] != u'\\' && name[1] == u':') {
        return "starts with a drive";
    }
    switch (check_archive_name(name.data(), name.size())) {
    case archive_name_safe:
        return "";
    case archive_name_leading_backslash:
        return "starts with a backslash";
    case archive_name_bad_component:
        return "has an empty, \".\" or \"..\" component";
    case archive_name_bad_character:
        return "holds a character that Windows does not allow in file names";
    case archive_name_bad_ending:
        return "has a component that ends in a dot or a blank, which Windows would drop";
    case archive_name_device:
        return "has a component that Windows takes for a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
    }
    return "breaks a rule of archive names";
}

std::u16string archive_name(const std::string& relative_path)
{
    std::optional<std::u16string> wide = utf8_to_utf16(relative_path);
    if (!wide) {
        throw packer_error("name '" + relative_path + "' is not valid UTF-8");
    }
    for (auto& unit : *wide) {
        if (unit == u'/') {
            unit = u'\\';
        }
    }
    std::string problem = name_problem(*wide);
    if (!problem.empty()) {
        throw packer_error("name '" + utf16_to_utf8(*wide) + "' " + problem);
    }
    return *wide;
}

}  // namespace packer
