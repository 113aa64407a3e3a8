/* The image's load configuration: where the stack cookie lives, so that the loader gives it a
   random value, and (32-bit) the table of safe exception handlers, empty as none is registered. */
#include <windows.h>
#include <stdint.h>

extern uintptr_t __stack_chk_guard;

#if defined(_M_IX86) || defined(__i386__)
/* The launcher registers no structured exception handler: an empty table, count 0. */
static const DWORD safe_handler_table[1] = {0};
#define SAFE_HANDLERS ((ULONG_PTR)safe_handler_table)
#endif

/* The linker looks the directory up by this name (decorated with one more underscore on x86). */
const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = {
    .Size = sizeof(IMAGE_LOAD_CONFIG_DIRECTORY),
    .SecurityCookie = (ULONG_PTR)&__stack_chk_guard,
#if defined(SAFE_HANDLERS)
    .SEHandlerTable = SAFE_HANDLERS,
    .SEHandlerCount = 0,
#endif
};
