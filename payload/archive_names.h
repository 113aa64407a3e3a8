// The rule an archive name must meet to be unpacked under the unpack folder and nowhere else:
// one table of checks for the launcher's walk (wchar_t) and the Linux packer (char16_t).
#ifndef VELDRA_PAYLOAD_ARCHIVE_NAMES_H
#define VELDRA_PAYLOAD_ARCHIVE_NAMES_H

#include <stddef.h>

enum archive_name_verdict {
    archive_name_safe = 0,
    archive_name_leading_backslash,
    // Empty, "." or "..": the path would leave its folder or mean another one.
    archive_name_bad_component,
    // A control character, ':' (a drive or an alternate data stream), '/' (Windows reads it as
    // a separator) or one of <>"|?*.
    archive_name_bad_character,
    // Windows drops a trailing dot or blank, so the file would land under another name.
    archive_name_bad_ending,
    // CON, NUL, COM1 and the like open a device whatever folder or extension goes with them.
    archive_name_device,
};

namespace archive_names_detail {

template <typename Unit>
inline bool is_forbidden_unit(Unit unit)
{
    unsigned long value = static_cast<unsigned long>(unit);
    if (value < 0x20 || value == 0x7F) {
        return true;
    }
    static const char forbidden[] = "<>:\"|?*/";
    for (const char* c = forbidden; *c != '\0'; ++c) {
        if (value == static_cast<unsigned long>(*c)) {
            return true;
        }
    }
    return false;
}

template <typename Unit>
inline unsigned long ascii_upper(Unit unit)
{
    unsigned long value = static_cast<unsigned long>(unit);
    return value >= 'a' && value <= 'z' ? value - ('a' - 'A') : value;
}

// Digits 1-9, and the superscripts Windows also accepts after COM and LPT.
inline bool is_port_digit(unsigned long value)
{
    return (value >= '1' && value <= '9') || value == 0xB9 || value == 0xB2 || value == 0xB3;
}

// The device part of a component ends at its first dot; blanks before that dot are dropped
// by Windows too, so "nul .txt" is NUL as well.
template <typename Unit>
inline bool is_device_component(const Unit* component, size_t length)
{
    size_t base = 0;
    while (base < length && static_cast<unsigned long>(component[base]) != '.') {
        ++base;
    }
    while (base > 0 && static_cast<unsigned long>(component[base - 1]) == ' ') {
        --base;
    }
    static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : plain) {
        size_t i = 0;
        while (device[i] != '\0' && i < base && ascii_upper(component[i]) == static_cast<unsigned long>(device[i])) {
            ++i;
        }
        if (device[i] == '\0' && i == base) {
            return true;
        }
    }
    if (base != 4) {
        return false;
    }
    unsigned long first = ascii_upper(component[0]);
    unsigned long second = ascii_upper(component[1]);
    unsigned long third = ascii_upper(component[2]);
    bool com = first == 'C' && second == 'O' && third == 'M';
    bool lpt = first == 'L' && second == 'P' && third == 'T';
    return (com || lpt) && is_port_digit(static_cast<unsigned long>(component[3]));
}

template <typename Unit>
inline archive_name_verdict check_component(const Unit* component, size_t length)
{
    if (length == 0 || (length == 1 && component[0] == Unit('.')) ||
        (length == 2 && component[0] == Unit('.') && component[1] == Unit('.'))) {
        return archive_name_bad_component;
    }
    if (component[length - 1] == Unit('.') || component[length - 1] == Unit(' ')) {
        return archive_name_bad_ending;
    }
    if (is_device_component(component, length)) {
        return archive_name_device;
    }
    return archive_name_safe;
}

}  // namespace archive_names_detail

// The first rule `name` (length units, backslash-separated, no zero unit) breaks, components
// before characters; archive_name_safe when it breaks none. Length limits are the caller's.
template <typename Unit>
inline archive_name_verdict check_archive_name(const Unit* name, size_t length)
{
    if (length > 0 && name[0] == Unit('\\')) {
        return archive_name_leading_backslash;
    }
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || name[i] == Unit('\\')) {
            archive_name_verdict verdict = archive_names_detail::check_component(name + start, i - start);
            if (verdict == archive_name_bad_component) {
                return verdict;
            }
            start = i + 1;
        }
    }
    for (size_t i = 0; i < length; ++i) {
        if (archive_names_detail::is_forbidden_unit(name[i])) {
            return archive_name_bad_character;
        }
    }
    start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || name[i] == Unit('\\')) {
            archive_name_verdict verdict = archive_names_detail::check_component(name + start, i - start);
            if (verdict != archive_name_safe) {
                return verdict;
            }
            start = i + 1;
        }
    }
    return archive_name_safe;
}

#endif
