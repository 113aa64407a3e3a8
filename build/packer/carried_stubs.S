/* Both launcher stubs as read-only data of a distribution's packer, for ELF and for PE alike.
   VELDRA_STUB_X86 and VELDRA_STUB_X64 name the files. */
#define VELDRA_CONCAT_(a, b) a##b
#define VELDRA_CONCAT(a, b) VELDRA_CONCAT_(a, b)
#define VELDRA_SYMBOL(name) VELDRA_CONCAT(__USER_LABEL_PREFIX__, name)

#ifdef _WIN32
    .section .rdata,"dr"
#else
    .section .rodata
#endif
    .globl VELDRA_SYMBOL(veldra_stub_x86)
    .globl VELDRA_SYMBOL(veldra_stub_x86_end)
    .globl VELDRA_SYMBOL(veldra_stub_x64)
    .globl VELDRA_SYMBOL(veldra_stub_x64_end)
    .p2align 4
VELDRA_SYMBOL(veldra_stub_x86):
    .incbin VELDRA_STUB_X86
VELDRA_SYMBOL(veldra_stub_x86_end):
    .p2align 4
VELDRA_SYMBOL(veldra_stub_x64):
    .incbin VELDRA_STUB_X64
VELDRA_SYMBOL(veldra_stub_x64_end):

#ifndef _WIN32
    .section .note.GNU-stack,"",@progbits
#endif
