// Hand-made blocks: zstd frames of raw blocks need no encoder, only the frame format.
#include "tests/payload/frames.h"

#include "payload/block_format.h"

#include <algorithm>

std::string le64(uint64_t value)
{
    unsigned char bytes[8];
    le_write(bytes, value, sizeof bytes);
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::string archive_stream(const std::vector<archive_entry>& entries)
{
    std::string stream;
    for (const auto& entry : entries) {
        for (wchar_t unit : entry.name) {
            stream += static_cast<char>(unit & 0xFF);
            stream += static_cast<char>((unit >> 8) & 0xFF);
        }
        stream += std::string(2, '\0');
        stream += le64(entry.data.size());
        stream += entry.data;
    }
    return stream + std::string(2, '\0');
}

static std::string raw_block_header(size_t size, bool last)
{
    uint32_t header = static_cast<uint32_t>(size << 3) | (last ? 1u : 0u);  // block type 0: raw
    return std::string{static_cast<char>(header & 0xFF), static_cast<char>((header >> 8) & 0xFF),
                       static_cast<char>((header >> 16) & 0xFF)};
}

static std::string frame_header(size_t content_size, const frame_options& options)
{
    std::string header = "\x28\xB5\x2F\xFD";
    if (options.single_segment) {
        header += '\xE0';  // 8-byte content size, single segment
        return header + le64(content_size);
    }
    header += options.content_size ? '\xC0' : '\x00';
    header += static_cast<char>(options.window_descriptor);
    return options.content_size ? header + le64(content_size) : header;
}

std::string raw_frame(const std::string& content, const frame_options& options)
{
    std::string frame = frame_header(content.size(), options);
    size_t offset = 0;
    do {
        size_t size = std::min(options.block_size, content.size() - offset);
        bool last = offset + size == content.size();
        frame += raw_block_header(size, last) + content.substr(offset, size);
        offset += size;
    } while (offset < content.size());
    return frame;
}

std::string block_around(const std::string& frame)
{
    std::string block = std::string(reinterpret_cast<const char*>(block_magic), block_magic_size) + frame;
    block += std::string(static_cast<size_t>(block_padding(block.size())), '\0');
    return block + le64(block.size());
}

std::string noise(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed ? seed : 1;
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}
