// Default entries of the system-call table: the real kernel, shell and runtime functions.
#define ZSTD_STATIC_LINKING_ONLY
#include "os/win_calls.h"

#include "os/runtime.h"

#include <zstd.h>

#include <cstring>

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

enum : NTSTATUS { status_procedure_not_found = static_cast<NTSTATUS>(0xC000007A) };

static NTSTATUS NTAPI nt_create_file_from_ntdll(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                                PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG attributes,
                                                ULONG share, ULONG disposition, ULONG options, PVOID ea,
                                                ULONG ea_length)
{
    static os_nt_create_file_call* found;
    if (found == nullptr) {
        HMODULE ntdll = os.GetModuleHandleA("ntdll.dll");
        FARPROC address = ntdll != nullptr ? os.GetProcAddress(ntdll, "NtCreateFile") : nullptr;
        found = reinterpret_cast<os_nt_create_file_call*>(reinterpret_cast<void (*)()>(address));
    }
    if (found == nullptr) {
        return status_procedure_not_found;
    }
    return found(handle, access, object, io, size, attributes, share, disposition, options, ea, ea_length);
}

static DWORD WINAPI final_path_from_kernel32(HANDLE handle, LPWSTR path, DWORD capacity, DWORD flags)
{
    static os_final_path_call* found;
    if (found == nullptr) {
        HMODULE kernel = os.GetModuleHandleA("Kernel32.dll");
        FARPROC address = kernel != nullptr ? os.GetProcAddress(kernel, "GetFinalPathNameByHandleW") : nullptr;
        found = reinterpret_cast<os_final_path_call*>(reinterpret_cast<void (*)()>(address));
    }
    if (found == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return 0;
    }
    return found(handle, path, capacity, flags);
}

// The defaults of the entries that are no system calls, by the names the list gives them.
#define default_ZSTD_createDCtx create_decoder_on_heap
#define default_malloc ::malloc
#define default_free ::free
#define default_standard_write standard_write_real
#define default_exit runtime_exit
#define default_fail_fast os_fail_fast_real
#define default_NtCreateFile nt_create_file_from_ntdll
#define default_GetFinalPathNameByHandleW final_path_from_kernel32

static os_call_table real_calls()
{
    os_call_table calls{};
#define VELDRA_REAL_CALL(name) calls.name = ::name;
    VELDRA_SYSTEM_CALLS(VELDRA_REAL_CALL)
#undef VELDRA_REAL_CALL
#define VELDRA_OWN_DEFAULT(name, type) calls.name = default_##name;
    VELDRA_OWN_CALLS(VELDRA_OWN_DEFAULT)
#undef VELDRA_OWN_DEFAULT
    return calls;
}

static const os_call_table default_calls = real_calls();

os_call_table os = default_calls;

const os_call_name os_call_names[] = {
#define VELDRA_NAME_CALL(name) {#name, offsetof(os_call_table, name)},
    VELDRA_SYSTEM_CALLS(VELDRA_NAME_CALL)
#undef VELDRA_NAME_CALL
#define VELDRA_NAME_OWN_CALL(name, type) {#name, offsetof(os_call_table, name)},
    VELDRA_OWN_CALLS(VELDRA_NAME_OWN_CALL)
#undef VELDRA_NAME_OWN_CALL
};

const int os_call_count = static_cast<int>(sizeof os_call_names / sizeof os_call_names[0]);

// Every entry is a function pointer of the same size; the bytes are compared, not called.
static const size_t entry_size = sizeof(void (*)());

static bool entry_replaced(int index)
{
    size_t offset = os_call_names[index].offset;
    const unsigned char* current = reinterpret_cast<const unsigned char*>(&os) + offset;
    const unsigned char* original = reinterpret_cast<const unsigned char*>(&default_calls) + offset;
    return memcmp(current, original, entry_size) != 0;
}

static void restore_entry(int index)
{
    size_t offset = os_call_names[index].offset;
    memcpy(reinterpret_cast<unsigned char*>(&os) + offset,
           reinterpret_cast<const unsigned char*>(&default_calls) + offset, entry_size);
}

// The launcher image has no strcmp.
static bool same_name(const char* left, const char* right)
{
    while (*left != '\0' && *left == *right) {
        ++left;
        ++right;
    }
    return *left == *right;
}

bool os_restore_call(const char* name)
{
    for (int index = 0; index < os_call_count; ++index) {
        if (same_name(os_call_names[index].name, name)) {
            restore_entry(index);
            return true;
        }
    }
    return false;
}

int os_next_replaced_call(int from)
{
    for (int index = from < 0 ? 0 : from; index < os_call_count; ++index) {
        if (entry_replaced(index)) {
            return index;
        }
    }
    return -1;
}

int os_restore_defaults()
{
    int replaced = 0;
    for (int index = 0; index < os_call_count; ++index) {
        if (entry_replaced(index)) {
            ++replaced;
        }
    }
    os = default_calls;
    return replaced;
}
