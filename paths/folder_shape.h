// The shape of the per-run folder name that a template makes: what a leftover folder of an
// earlier run of this launcher looks like, so that a start can recognise one and nothing else.
#ifndef VELDRA_PATHS_FOLDER_SHAPE_H
#define VELDRA_PATHS_FOLDER_SHAPE_H

enum {
    // Parts of a last component: literal runs and variables. A longer one gives no shape.
    shape_part_capacity = 16,
    // Variables whose values vary in length ({PID}, {TIME}); each multiplies the matcher's
    // tries by its length range, so more than this gives no shape.
    shape_variable_length_limit = 3,
    // The longest name a folder can have.
    shape_name_limit = 255,
};

// True when the template's last component yields names of a shape that a start may look for:
// it holds a per-run value ({PID}, {TIME_US} or {RANDOM}) and nothing whose value cannot be
// bounded (a path, an unknown name, a build text with a separator in it).
bool template_has_folder_shape(const wchar_t* template_text);

// True when `name`, one folder name, has the shape of the template's last component: literal
// text matches itself with ASCII letters in either case, {PID} 1 to 10 digits, {TIME_US} 6
// digits, {TIME} 1 to 19 digits, {RANDOM} 11 characters of its alphabet whose last is one of
// the 16 an encoding of 64 bits ends with, and a build text its own value. False whenever the
// template has no shape.
bool folder_name_has_shape(const wchar_t* template_text, const wchar_t* name);

#endif
