/* The platform's limit for one run: decode the attached frame with ZSTD_decompressStream into
 * memory and write every file of the archive with one CreateFileW/WriteFile each; no launcher
 * logic. With --no-write it only decodes, through one 128 KiB buffer as the launcher does, so
 * that neither a growing buffer nor first touches of the whole output count as decoding. Built
 * with the launcher's toolchain and decoder. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <zstd.h>

extern const unsigned char limit_block[];
extern const unsigned char limit_block_end[];

static unsigned char* decode_all(size_t* length)
{
    ZSTD_DCtx* context = ZSTD_createDCtx();
    size_t capacity = 1u << 24, used = 0;
    unsigned char* output = malloc(capacity);
    ZSTD_inBuffer in = {limit_block + 3, (size_t)(limit_block_end - limit_block) - 3, 0};
    for (;;) {
        if (capacity - used < (1u << 17)) {
            capacity *= 2;
            output = realloc(output, capacity);
        }
        ZSTD_outBuffer out = {output + used, capacity - used, 0};
        size_t result = ZSTD_decompressStream(context, &out, &in);
        if (ZSTD_isError(result)) {
            fprintf(stderr, "decode failed: %s\n", ZSTD_getErrorName(result));
            exit(2);
        }
        used += out.pos;
        if (result == 0) {
            break;
        }
    }
    *length = used;
    return output;
}

static void make_parents(wchar_t* path)
{
    for (wchar_t* p = path + 3; *p; ++p) {
        if (*p == L'\\') {
            *p = 0;
            CreateDirectoryW(path, NULL);
            *p = L'\\';
        }
    }
}

static void write_files(const unsigned char* archive, const wchar_t* root)
{
    static wchar_t path[4096];
    const unsigned char* p = archive;
    for (;;) {
        const wchar_t* name = (const wchar_t*)p;
        size_t units = wcslen(name);
        if (units == 0) {
            return;
        }
        p += (units + 1) * 2;
        uint64_t size;
        memcpy(&size, p, 8);
        p += 8;
        swprintf(path, 4096, L"%ls\\%ls", root, name);
        make_parents(path);
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD written;
        WriteFile(file, p, (DWORD)size, &written, NULL);
        CloseHandle(file);
        p += size;
    }
}

static void decode_only(void)
{
    static unsigned char buffer[1u << 17];
    ZSTD_DCtx* context = ZSTD_createDCtx();
    ZSTD_inBuffer in = {limit_block + 3, (size_t)(limit_block_end - limit_block) - 3, 0};
    for (;;) {
        ZSTD_outBuffer out = {buffer, sizeof buffer, 0};
        size_t result = ZSTD_decompressStream(context, &out, &in);
        if (ZSTD_isError(result)) {
            fprintf(stderr, "decode failed: %s\n", ZSTD_getErrorName(result));
            exit(2);
        }
        if (result == 0) {
            break;
        }
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc > 1 && wcscmp(argv[1], L"--no-write") == 0) {
        decode_only();
        return 0;
    }
    size_t length;
    unsigned char* archive = decode_all(&length);
    if (argc > 1) {
        CreateDirectoryW(argv[1], NULL);
        write_files(archive, argv[1]);
    }
    return 0;
}
