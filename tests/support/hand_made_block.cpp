// A host tool for fixtures: writes a block by hand, names and all, for the names the packer
// itself refuses. The frame and its framing come from payload/block_format.h like the packer's.
// usage: hand_made_block OUT [--no-checksum] [NAME...]; each NAME (UTF-8) gets the data
// "data of NAME"; no names gives an archive that ends before its first entry.
#include "payload/block_format.h"

#include <zstd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void append_unit(std::string* out, uint32_t unit)
{
    unsigned char bytes[2];
    le_write(bytes, unit, 2);
    out->append(reinterpret_cast<const char*>(bytes), 2);
}

// UTF-8 to UTF-16 little-endian; the fixtures' names are valid UTF-8.
void append_utf16(std::string* out, const std::string& utf8)
{
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < utf8.size(); ++k) {
            code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        i += static_cast<size_t>(extra) + 1;
        if (code >= 0x10000) {
            append_unit(out, 0xD800 + ((code - 0x10000) >> 10));
            append_unit(out, 0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            append_unit(out, code);
        }
    }
}

std::string archive_stream(const std::vector<std::string>& names)
{
    std::string stream;
    for (const auto& name : names) {
        const std::string data = "data of " + name;
        append_utf16(&stream, name);
        append_unit(&stream, 0);
        unsigned char size[8];
        le_write(size, data.size(), sizeof size);
        stream.append(reinterpret_cast<const char*>(size), sizeof size);
        stream += data;
    }
    append_unit(&stream, 0);
    return stream;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: hand_made_block OUT [--no-checksum] [NAME...]\n");
        return 2;
    }
    int first_name = 2;
    bool checksum = true;
    if (argc > 2 && std::strcmp(argv[2], "--no-checksum") == 0) {
        checksum = false;
        first_name = 3;
    }
    const std::string stream = archive_stream(std::vector<std::string>(argv + first_name, argv + argc));

    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    std::string block(reinterpret_cast<const char*>(block_magic), block_magic_size);
    std::vector<char> frame(ZSTD_compressBound(stream.size()));
    const size_t frame_size = ZSTD_compress2(context, frame.data(), frame.size(), stream.data(), stream.size());
    ZSTD_freeCCtx(context);
    if (ZSTD_isError(frame_size)) {
        std::fprintf(stderr, "hand_made_block: %s\n", ZSTD_getErrorName(frame_size));
        return 1;
    }
    block.append(frame.data(), frame_size);
    block.append(static_cast<size_t>(block_padding(block.size())), '\0');
    unsigned char trailer[block_trailer_size];
    le_write(trailer, block.size(), block_trailer_size);
    block.append(reinterpret_cast<const char*>(trailer), block_trailer_size);

    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(block.data(), 1, block.size(), out) != block.size() || std::fclose(out) != 0) {
        std::fprintf(stderr, "hand_made_block: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
