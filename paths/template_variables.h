// The template variables, listed once for the launcher's expander and the packer's check of a
// template, so that the two can never disagree on a name or on what a value may be.
#ifndef VELDRA_PATHS_TEMPLATE_VARIABLES_H
#define VELDRA_PATHS_TEMPLATE_VARIABLES_H

// The longest variable name; a longer one names no variable.
enum { template_name_max_units = 1023 };

// X(id, name, path, strips, unique, build, least), in the order in which a name is compared:
//  path    the value is a folder or file path: it may hold backslashes, and one that comes out
//          empty fails the expansion rather than leave the text after it at a drive's root;
//  strips  the whole output loses every backslash at its end after the value, so that a literal
//          "\" after it never doubles one;
//  unique  the value differs from run to run, so it can name a folder of the run's own;
//  build   the value is a text the packer wrote into the image, known at pack time;
//  least   the fewest characters the value has on any machine.
// PAYLOAD_HASH is known at pack time but only after the block is made, so the packer's check
// takes it for a value of the machine, 16 characters long; only a cached pack carries it.
#define VELDRA_TEMPLATE_VARIABLES(X) \
    X(temp, "TEMP", true, true, false, false, 0) \
    X(program, "PROGRAM", true, false, false, false, 0) \
    X(program_base, "PROGRAM_BASE", true, false, false, false, 0) \
    X(program_dir, "PROGRAM_DIR", true, false, false, false, 0) \
    X(pid, "PID", false, false, true, false, 1) \
    X(home, "HOME", true, true, false, false, 0) \
    X(cache_dir, "CACHE_DIR", true, true, false, false, 0) \
    X(company, "COMPANY", false, false, false, true, 0) \
    X(product, "PRODUCT", false, false, false, true, 0) \
    X(version, "VERSION", false, false, false, true, 0) \
    X(file_version, "FILE_VERSION", false, false, false, true, 0) \
    X(product_version, "PRODUCT_VERSION", false, false, false, true, 0) \
    X(random, "RANDOM", false, false, true, false, 11) \
    X(time_us, "TIME_US", false, false, true, false, 6) \
    X(time, "TIME", false, false, true, false, 1) \
    X(payload_hash, "PAYLOAD_HASH", false, false, false, false, 16)

enum template_variable_id {
#define VELDRA_TEMPLATE_VARIABLE_ID(id, name, path, strips, unique, build, least) template_variable_##id,
    VELDRA_TEMPLATE_VARIABLES(VELDRA_TEMPLATE_VARIABLE_ID)
#undef VELDRA_TEMPLATE_VARIABLE_ID
    template_variable_count
};

#endif
