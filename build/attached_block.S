/* The attached block as one constant array in read-only data. The pack step names the file
   with VELDRA_BLOCK_FILE and gives attached_block_size as a compiled constant of its own. */
#define VELDRA_CONCAT_(a, b) a##b
#define VELDRA_CONCAT(a, b) VELDRA_CONCAT_(a, b)
#define VELDRA_SYMBOL(name) VELDRA_CONCAT(__USER_LABEL_PREFIX__, name)

    .section .rdata,"dr"
    .globl VELDRA_SYMBOL(attached_block)
    .p2align 3
VELDRA_SYMBOL(attached_block):
    .incbin VELDRA_BLOCK_FILE
