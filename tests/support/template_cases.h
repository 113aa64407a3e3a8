// Templates that both sides of the template language are checked against: the launcher's
// expander (tests/paths/template_test.cpp) and the packer's check (tests/build/host/
// template_check_test.cpp). Where the two differ on purpose, the case says so: the launcher
// drops what the packer refuses to let through.
#ifndef VELDRA_TESTS_SUPPORT_TEMPLATE_CASES_H
#define VELDRA_TESTS_SUPPORT_TEMPLATE_CASES_H

struct shared_template_case {
    const char16_t* text;
    bool expands;   // expand_template returns true
    bool accepted;  // the packer compiles it in
};

constexpr shared_template_case shared_template_cases[] = {
    {u"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}", true, true},
    {u"{temp}\\onefile_{pid}", true, true},  // names fold ASCII case
    {u"{TEMP}\\{COMPANY}_{PRODUCT}_{VERSION}_{FILE_VERSION}_{PRODUCT_VERSION}_{PID}", true, true},
    {u"{HOME}\\x_{TIME}", true, true},
    {u"{TEMP}\\a}b_{PID}", true, true},  // a "}" outside a reference is literal text
    {u"{TEMP}\\{NOPE}_{PID}", false, false},
    {u"{TEMP}\\{}_{PID}", false, false},
    {u"{TEMP}\\{PID }", false, false},
    // Dropped by the launcher without a word, so refused before they ever reach it.
    {u"{TEMP}\\onefile_{PID}_{TIM", true, false},
    {u"{abc{TEMP}\\{PID}", true, false},
    // Expands, but into a folder that is not the run's own.
    {u"{TEMP}", true, false},
    // Only a cached pack carries the hash: a per-run one is refused it and expands nothing.
    {u"{TEMP}\\{PAYLOAD_HASH}\\run_{PID}", false, false},
};

#endif
