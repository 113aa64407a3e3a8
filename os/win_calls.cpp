// Default entries of the system-call table: the real kernel, shell and runtime functions.
#include "os/win_calls.h"

#include "os/runtime.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

void os_fail_fast_real()
{
#if defined(_MSC_VER)
    __fastfail(7);
#else
    // The fail-fast interrupt: the system ends the process with STATUS_STACK_BUFFER_OVERRUN
    // (0xC0000409) without running any handler of ours or flushing any stream.
    __asm__ volatile("int $0x29" : : "c"(7) : "memory");
#endif
    for (;;) {
    }
}

[[noreturn]] static void runtime_exit(int status)
{
    ::exit(status);
}

static void* zstd_heap_alloc(void*, size_t size)
{
    return heap_alloc(size);
}

static void zstd_heap_free(void*, void* block)
{
    heap_free(block);
}

// The decoder takes its memory from the process heap, as the launcher image has no runtime heap.
static ZSTD_DCtx* create_decoder_on_heap()
{
    const ZSTD_customMem heap = {zstd_heap_alloc, zstd_heap_free, nullptr};
    return ZSTD_createDCtx_advanced(heap);
}

static os_call_table real_calls()
{
    os_call_table calls{};
#define VELDRA_REAL_CALL(name) calls.name = ::name;
    VELDRA_SYSTEM_CALLS(VELDRA_REAL_CALL)
#undef VELDRA_REAL_CALL
    calls.malloc = ::malloc;
    calls.free = ::free;
    calls.standard_write = standard_write_real;
    calls.ZSTD_createDCtx = create_decoder_on_heap;
    calls.exit = runtime_exit;
    calls.fail_fast = os_fail_fast_real;
    return calls;
}

static const os_call_table default_calls = real_calls();

os_call_table os = default_calls;

void os_restore_defaults()
{
    os = default_calls;
}
