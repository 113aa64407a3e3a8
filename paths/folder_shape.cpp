// The folder-name shape of a template's last component, and the matcher a start uses to tell
// an earlier run's leftover folder from everything else in the same parent folder.
#include "paths/folder_shape.h"

#include "build/constants.h"

#include <cstddef>
#include <cwchar>

enum part_kind { part_literal, part_digits, part_random };

struct shape_part {
    part_kind kind;
    const wchar_t* text;  // part_literal: the text to match, `length` units
    size_t length;
    int fewest;  // part_digits: the range of the count of digits
    int most;
};

struct folder_shape {
    shape_part parts[shape_part_capacity];
    int count;
};

static const wchar_t random_alphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

static wchar_t ascii_upper(wchar_t c)
{
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

static bool name_is(const wchar_t* name, size_t length, const wchar_t* variable)
{
    size_t i = 0;
    for (; i < length && variable[i] != L'\0'; ++i) {
        if (ascii_upper(name[i]) != variable[i]) {
            return false;
        }
    }
    return i == length && variable[i] == L'\0';
}

// Units a folder name cannot hold, or that would make the text more than one name.
static bool unfit_for_a_name(wchar_t c)
{
    return c < 0x20 || c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' || c == L'"' ||
           c == L'<' || c == L'>' || c == L'|';
}

// The last component starts after the last separator outside a reference.
static const wchar_t* last_component(const wchar_t* text)
{
    const wchar_t* start = text;
    bool in_reference = false;
    for (const wchar_t* at = text; *at != L'\0'; ++at) {
        if (*at == L'{') {
            in_reference = true;
        } else if (*at == L'}') {
            in_reference = false;
        } else if (!in_reference && (*at == L'\\' || *at == L'/')) {
            start = at + 1;
        }
    }
    return start;
}

static bool add_part(folder_shape* shape, part_kind kind, const wchar_t* text, size_t length, int fewest, int most)
{
    if (shape->count >= shape_part_capacity) {
        return false;
    }
    shape_part& part = shape->parts[shape->count++];
    part.kind = kind;
    part.text = text;
    part.length = length;
    part.fewest = fewest;
    part.most = most;
    return true;
}

// A build text stands for itself: it is the same in every run of this executable.
static bool add_build_text(folder_shape* shape, const wchar_t* value)
{
    const size_t length = wcslen(value);
    for (size_t i = 0; i < length; ++i) {
        if (unfit_for_a_name(value[i])) {
            return false;
        }
    }
    return length == 0 || add_part(shape, part_literal, value, length, 0, 0);
}

// One reference; false for a variable whose value cannot be bounded. `per_run` is set for the
// values that differ from run to run.
static bool add_variable(folder_shape* shape, const wchar_t* name, size_t length, bool* per_run, int* ranged)
{
    if (name_is(name, length, L"PID")) {
        *per_run = true;
        ++*ranged;
        return add_part(shape, part_digits, nullptr, 0, 1, 10);
    }
    if (name_is(name, length, L"TIME_US")) {
        *per_run = true;
        return add_part(shape, part_digits, nullptr, 0, 6, 6);
    }
    if (name_is(name, length, L"RANDOM")) {
        *per_run = true;
        return add_part(shape, part_random, nullptr, 0, 0, 0);
    }
    if (name_is(name, length, L"TIME")) {
        ++*ranged;
        return add_part(shape, part_digits, nullptr, 0, 1, 19);
    }
    if (name_is(name, length, L"COMPANY")) {
        return add_build_text(shape, build_company);
    }
    if (name_is(name, length, L"PRODUCT")) {
        return add_build_text(shape, build_product);
    }
    if (name_is(name, length, L"VERSION")) {
        return add_build_text(shape, build_version);
    }
    if (name_is(name, length, L"FILE_VERSION")) {
        return add_build_text(shape, build_file_version);
    }
    if (name_is(name, length, L"PRODUCT_VERSION")) {
        return add_build_text(shape, build_product_version);
    }
    // The folders ({TEMP}, {PROGRAM}, ...) and unknown names.
    return false;
}

static bool build_shape(const wchar_t* template_text, folder_shape* shape)
{
    shape->count = 0;
    const wchar_t* at = last_component(template_text);
    bool per_run = false;
    int ranged = 0;
    wchar_t last_unit = L'\0';
    while (*at != L'\0') {
        if (*at == L'{') {
            const wchar_t* name = at + 1;
            const wchar_t* end = name;
            while (*end != L'\0' && *end != L'}' && *end != L'{') {
                ++end;
            }
            if (*end != L'}' || !add_variable(shape, name, static_cast<size_t>(end - name), &per_run, &ranged)) {
                return false;
            }
            at = end + 1;
            last_unit = L'}';
            continue;
        }
        const wchar_t* literal = at;
        while (*at != L'\0' && *at != L'{') {
            if (*at == L'}' || unfit_for_a_name(*at)) {
                return false;
            }
            ++at;
        }
        if (!add_part(shape, part_literal, literal, static_cast<size_t>(at - literal), 0, 0)) {
            return false;
        }
        last_unit = at[-1];
    }
    // The full-path step drops dots and blanks at the end of a name: the folder made would not
    // have the template's shape.
    return per_run && ranged <= shape_variable_length_limit && last_unit != L'.' && last_unit != L' ';
}

static bool random_unit(wchar_t c, bool last)
{
    for (int i = 0; i < 64; ++i) {
        if (random_alphabet[i] == c) {
            return !last || i % 4 == 0;
        }
    }
    return false;
}

static bool match_from(const folder_shape* shape, int index, const wchar_t* name)
{
    if (index == shape->count) {
        return *name == L'\0';
    }
    const shape_part& part = shape->parts[index];
    if (part.kind == part_literal) {
        for (size_t i = 0; i < part.length; ++i) {
            if (name[i] == L'\0' || ascii_upper(name[i]) != ascii_upper(part.text[i])) {
                return false;
            }
        }
        return match_from(shape, index + 1, name + part.length);
    }
    if (part.kind == part_random) {
        for (int i = 0; i < 11; ++i) {
            if (name[i] == L'\0' || !random_unit(name[i], i == 10)) {
                return false;
            }
        }
        return match_from(shape, index + 1, name + 11);
    }
    int digits = 0;
    while (digits < part.most && name[digits] >= L'0' && name[digits] <= L'9') {
        ++digits;
    }
    for (; digits >= part.fewest && digits > 0; --digits) {
        if (match_from(shape, index + 1, name + digits)) {
            return true;
        }
    }
    return false;
}

bool template_has_folder_shape(const wchar_t* template_text)
{
    folder_shape shape;
    return build_shape(template_text, &shape);
}

bool folder_name_has_shape(const wchar_t* template_text, const wchar_t* name)
{
    folder_shape shape;
    if (!build_shape(template_text, &shape) || wcslen(name) > shape_name_limit) {
        return false;
    }
    return match_from(&shape, 0, name);
}
