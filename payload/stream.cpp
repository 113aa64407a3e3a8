// Serves byte requests from one fixed output buffer, refilled by zstd's streaming decoder
// whenever it runs dry.
#include "payload/stream.h"

#include "build/constants.h"
#include "launcher/fatal.h"
#include "os/win_calls.h"
#include "payload/block.h"
#include "payload/writer.h"

#include <cstring>

payload_stream_state payload_stream;

void payload_open()
{
    // The length comes from the image's own place of the block, checked against the image.
    check_attached_place(attached_block, attached_block_size);
    payload_open_block(attached_block, attached_block_size);
}

void payload_open_block(const unsigned char* block, uint32_t block_size)
{
    check_block_header(block, block_size);
    void* buffer = os.malloc(payload_buffer_size);
    if (buffer == nullptr) {
        fatal_error(error_no_memory);
    }
    payload_stream.output = {buffer, 0, 0};
    payload_stream.decoder = os.ZSTD_createDCtx();
    if (payload_stream.decoder == nullptr) {
        fatal_error(error_no_memory);
    }
    payload_stream.input = {block + block_magic_size, block_size - block_magic_size, 0};
}

// One decoding call into the whole buffer. Returns whether it filled the buffer: then the
// decoder may hold more output even when all input has been consumed.
static bool decode_into_buffer()
{
    ZSTD_outBuffer& output = payload_stream.output;
    output.pos = 0;
    output.size = payload_buffer_size;
    size_t result = os.ZSTD_decompressStream(payload_stream.decoder, &output, &payload_stream.input);
    bool filled = output.pos == payload_buffer_size;
    if (ZSTD_isError(result)) {
        // A write that failed before this point is what the run ends with.
        writer_settle();
        fatal_error(error_decode_failed);
    }
    output.size = output.pos;
    output.pos = 0;
    return filled;
}

static uint32_t take_buffered(unsigned char* dst, uint32_t n)
{
    ZSTD_outBuffer& output = payload_stream.output;
    size_t available = output.size - output.pos;
    uint32_t k = n < available ? n : static_cast<uint32_t>(available);
    memcpy(dst, static_cast<const unsigned char*>(output.dst) + output.pos, k);
    output.pos += k;
    return k;
}

void payload_read(void* dst, uint32_t n)
{
    if (n == 0) {
        return;
    }
    unsigned char* next = static_cast<unsigned char*>(dst);
    // Lives for this request only.
    bool filled = false;
    while (n > 0) {
        if (payload_stream.output.pos < payload_stream.output.size) {
            uint32_t k = take_buffered(next, n);
            next += k;
            n -= k;
        } else if (payload_stream.input.pos < payload_stream.input.size || filled) {
            filled = decode_into_buffer();
        } else {
            writer_settle();
            fatal_error(error_decode_failed);
        }
    }
}

void payload_close()
{
    os.ZSTD_freeDCtx(payload_stream.decoder);
    os.free(payload_stream.output.dst);
    payload_stream.decoder = nullptr;
    payload_stream.output = {nullptr, 0, 0};
}
