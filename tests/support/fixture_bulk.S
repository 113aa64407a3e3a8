/* The bulk of the fixture's main module, included from a file the generator assembles. */
#define FIXTURE_CONCAT_(a, b) a##b
#define FIXTURE_CONCAT(a, b) FIXTURE_CONCAT_(a, b)
#define FIXTURE_SYMBOL(name) FIXTURE_CONCAT(__USER_LABEL_PREFIX__, name)

    .section .rdata,"dr"
    .globl FIXTURE_SYMBOL(fixture_bulk)
FIXTURE_SYMBOL(fixture_bulk):
    .incbin FIXTURE_BULK_FILE
