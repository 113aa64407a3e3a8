// The decompressing reader over the attached block: exact byte requests, strictly forward,
// every failure fatal.
#ifndef VELDRA_PAYLOAD_STREAM_H
#define VELDRA_PAYLOAD_STREAM_H

#include <zstd.h>

#include <cstdint>

// One zstd block decodes to at most this much, so one decoding call never needs more room.
enum { payload_buffer_size = 131072 };

// output: dst is the heap buffer, size what the last decoding call produced, pos what has been
// handed out of it. input: the block after its magic; pos only grows.
struct payload_stream_state {
    ZSTD_DCtx* decoder;
    ZSTD_outBuffer output;
    ZSTD_inBuffer input;
};

extern payload_stream_state payload_stream;

// Checks the block's magic, allocates the output buffer and the decoder.
void payload_open();
// The same, over a block given by the caller (payload_open passes the attached block).
void payload_open_block(const unsigned char* block, uint32_t block_size);
// Copies exactly n further bytes of the decompressed stream into dst; there is no end-of-stream
// result: a request that cannot be served in full ends the run.
void payload_read(void* dst, uint32_t n);
// Frees the decoder, then the output buffer.
void payload_close();

#endif
