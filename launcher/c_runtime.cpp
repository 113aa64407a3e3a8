// The C library functions the launcher and zstd's decoder call, for the launcher image alone,
// which links no C runtime: the compiler emits calls to the memory ones itself.
// Built without builtins, so that none of these loops is turned back into a call to itself.
#include <windows.h>

#include <cstddef>

extern "C" {

void* memcpy(void* destination, const void* source, size_t size)
{
    unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < size; ++i) {
        to[i] = from[i];
    }
    return destination;
}

void* memmove(void* destination, const void* source, size_t size)
{
    unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    if (to < from) {
        for (size_t i = 0; i < size; ++i) {
            to[i] = from[i];
        }
    } else {
        for (size_t i = size; i > 0; --i) {
            to[i - 1] = from[i - 1];
        }
    }
    return destination;
}

void* memset(void* destination, int value, size_t size)
{
    unsigned char* to = static_cast<unsigned char*>(destination);
    for (size_t i = 0; i < size; ++i) {
        to[i] = static_cast<unsigned char>(value);
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
