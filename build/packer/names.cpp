// Conversion and checks of archive names.
#include "names.h"

#include "error.h"

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

bool is_forbidden_character(char16_t unit)
{
    return unit < 0x20 || std::u16string_view(u"<>:\"|?*").find(unit) != std::u16string_view::npos;
}

bool is_bad_component(std::u16string_view component)
{
    return component.empty() || component == u"." || component == u"..";
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
        return "is longer than 1,023 UTF-16 units (" + std::to_string(name.size()) + ")";
    }
    if (!name.empty() && name[0] == u'\\') {
        return "starts with a backslash";
    }
    if (name.size() >= 2 && name[1] == u':') {
        return "starts with a drive";
    }
    for (size_t start = 0;;) {
        size_t end = name.find(u'\\', start);
        if (is_bad_component(name.substr(start, end - start))) {
            return "has an empty, \".\" or \"..\" component";
        }
        if (end == std::u16string_view::npos) {
            break;
        }
        start = end + 1;
    }
    for (char16_t unit : name) {
        if (is_forbidden_character(unit)) {
            return "holds a character that Windows does not allow in file names";
        }
    }
    return "";
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
