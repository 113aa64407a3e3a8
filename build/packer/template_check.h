// The unpack-folder template checked at pack time, with the launcher's own variable table and
// scanning rules, so that a template that cannot work fails here and not on a user's machine.
#ifndef VELDRA_PACKER_TEMPLATE_CHECK_H
#define VELDRA_PACKER_TEMPLATE_CHECK_H

#include "paths/template_variables.h"

#include <string>
#include <string_view>

namespace packer {

// The launcher's unpack_dir and name_buffer capacities, terminator included.
constexpr size_t unpack_dir_capacity = 4096;
constexpr size_t name_buffer_capacity = template_name_max_units + 1;

// The build values that the template variables COMPANY ... PRODUCT_VERSION give.
struct template_build_values {
    std::u16string company;
    std::u16string product;
    std::u16string version;
    std::u16string file_version;
    std::u16string product_version;
};

// Empty when the template is fit to be compiled in, else the one-line reason. Refused:
//  - what the launcher's expander fails on: a name not in its table ({} included), a name of
//    more than template_name_max_units characters;
//  - what it would drop without a word: a reference left open at the end (abc{TEM), and a "{"
//    inside a reference, which throws away the name read so far ({abc{TEMP});
//  - what can never unpack: more than 4,095 characters from literal text, build values and the
//    shortest values of the machine (RANDOM has 11), or a character Windows does not allow in
//    a path (":" only as the drive of a leading "X:");
//  - what would not be a folder of the run's own, which teardown may remove whole: the last
//    path component must be non-empty, hold {PID}, {RANDOM}, {TIME_US} or {TIME}, and hold no
//    variable whose value is a path ({TEMP}, {HOME}, {CACHE_DIR}, {PROGRAM...}); no component
//    may be made of dots and blanks alone ("..");
//  - with `cached`, instead of the run's own folder: a last component without {PAYLOAD_HASH} or
//    with a value that changes from run to run; without it, {PAYLOAD_HASH} anywhere.
std::string unpack_template_problem(std::u16string_view text, const template_build_values& values,
                                    bool cached = false);

}  // namespace packer

#endif
