# The bulk of the fixture's main module, included from a file the generator assembles.
    .section .rdata,"dr"
    .globl _fixture_bulk
_fixture_bulk:
    .incbin FIXTURE_BULK_FILE
