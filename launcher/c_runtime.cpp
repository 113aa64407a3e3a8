// The C library functions the launcher and zstd's decoder call, for the launcher image alone,
// which links no C runtime: the compiler emits calls to the memory ones itself.
// Built without builtins, so that none of these loops is turned back into a call to itself.
#include <windows.h>
#if defined(_MSC_VER)
#include <intrin.h>
#endif

#include <cstddef>

extern "C" {

// zstd's decoder copies every literal run, every long match and every flushed block through
// memcpy and memmove with sizes known only at run time, so these carry most of its bytes. Short
// copies go a word at a time; long ones through the string instructions, which the processor
// moves a cache line at a time. Only forward string copies are fast on every processor, so a
// backward move stays a word loop.
#if defined(__GNUC__)
typedef unsigned long long __attribute__((may_alias, aligned(1))) unaligned_word;
#endif

enum : size_t { word_size = 8, string_copy_threshold = 256 };

static void copy_forward(unsigned char* to, const unsigned char* from, size_t size)
{
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    if (size >= string_copy_threshold) {
        __asm__ volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(size) : : "memory");
        return;
    }
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    if (size >= string_copy_threshold) {
        __movsb(to, from, size);
        return;
    }
#endif
#if defined(__GNUC__)
    // Each word is read whole before it is written, so a destination below an overlapping
    // source (memmove's forward case) never overwrites bytes still to be read.
    for (; size >= word_size; size -= word_size, to += word_size, from += word_size) {
        *reinterpret_cast<unaligned_word*>(to) = *reinterpret_cast<const unaligned_word*>(from);
    }
#endif
    for (size_t i = 0; i < size; ++i) {
        to[i] = from[i];
    }
}

static void copy_backward(unsigned char* to, const unsigned char* from, size_t size)
{
#if defined(__GNUC__)
    for (; size >= word_size; size -= word_size) {
        *reinterpret_cast<unaligned_word*>(to + size - word_size) =
            *reinterpret_cast<const unaligned_word*>(from + size - word_size);
    }
#endif
    for (; size > 0; --size) {
        to[size - 1] = from[size - 1];
    }
}

void* memcpy(void* destination, const void* source, size_t size)
{
    copy_forward(static_cast<unsigned char*>(destination), static_cast<const unsigned char*>(source), size);
    return destination;
}

void* memmove(void* destination, const void* source, size_t size)
{
    unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    // A destination above an overlapping source must be written from the end.
    if (to <= from || to >= from + size) {
        copy_forward(to, from, size);
    } else {
        copy_backward(to, from, size);
    }
    return destination;
}

void* memset(void* destination, int value, size_t size)
{
    unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char byte = static_cast<unsigned char>(value);
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    if (size >= string_copy_threshold) {
        __asm__ volatile("rep stosb" : "+D"(to), "+c"(size) : "a"(byte) : "memory");
        return destination;
    }
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    if (size >= string_copy_threshold) {
        __stosb(to, byte, size);
        return destination;
    }
#endif
    for (size_t i = 0; i < size; ++i) {
        to[i] = byte;
    }
    return destination;
}

int memcmp(const void* left, const void* right, size_t size)
{
    const unsigned char* a = static_cast<const unsigned char*>(left);
    const unsigned char* b = static_cast<const unsigned char*>(right);
    for (size_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

size_t wcslen(const wchar_t* text)
{
    size_t length = 0;
    while (text[length] != L'\0') {
        ++length;
    }
    return length;
}

int wcsncmp(const wchar_t* left, const wchar_t* right, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (left[i] != right[i]) {
            return left[i] < right[i] ? -1 : 1;
        }
        if (left[i] == L'\0') {
            break;
        }
    }
    return 0;
}

int wcscmp(const wchar_t* left, const wchar_t* right)
{
    return wcsncmp(left, right, static_cast<size_t>(-1));
}

wchar_t* wcsrchr(const wchar_t* text, wchar_t unit)
{
    const wchar_t* last = nullptr;
    for (;; ++text) {
        if (*text == unit) {
            last = text;
        }
        if (*text == L'\0') {
            return const_cast<wchar_t*>(last);
        }
    }
}

wchar_t* wcspbrk(const wchar_t* text, const wchar_t* set)
{
    for (; *text != L'\0'; ++text) {
        for (const wchar_t* s = set; *s != L'\0'; ++s) {
            if (*s == *text) {
                return const_cast<wchar_t*>(text);
            }
        }
    }
    return nullptr;
}

// The "C" locale: each byte widens to the same value.
size_t mbstowcs(wchar_t* destination, const char* source, size_t count)
{
    size_t i = 0;
    for (; i < count && source[i] != '\0'; ++i) {
        destination[i] = static_cast<unsigned char>(source[i]);
    }
    if (i < count) {
        destination[i] = L'\0';
    }
    return i;
}

void* malloc(size_t size)
{
    return HeapAlloc(GetProcessHeap(), 0, size == 0 ? 1 : size);
}

void* calloc(size_t count, size_t size)
{
    if (size != 0 && count > static_cast<size_t>(-1) / size) {
        return nullptr;
    }
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, count * size == 0 ? 1 : count * size);
}

void free(void* block)
{
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

// Nothing is buffered: every line went out whole with WriteFile.
[[noreturn]] void exit(int status)
{
    ExitProcess(static_cast<UINT>(status));
}
}
