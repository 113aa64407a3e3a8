// Streaming the archive through zstd's compressor into the block file.
#include "block_writer.h"

#include "payload/block_format.h"

#include "archive.h"
#include "error.h"
#include "output_file.h"
#include "pe_image.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameProgression, for the progress line
#include <zstd.h>

#include <memory>
#include <thread>
#include <vector>

namespace packer {

int window_log_for(uint64_t stream_size)
{
    int log = min_window_log;
    while (log < max_window_log && (uint64_t{1} << log) < stream_size) {
        ++log;
    }
    return log;
}

int job_size_for(uint64_t stream_size)
{
    return stream_size > single_job_limit ? large_job_size : 0;
}

namespace {

struct cctx_deleter {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

void check(size_t result, const char* what)
{
    if (ZSTD_isError(result)) {
        throw packer_error(std::string("compression failed (") + what + "): " + ZSTD_getErrorName(result));
    }
}

int worker_count(int requested)
{
    // Always at least one worker: zstd's output then does not depend on the number of cores.
    if (requested > 0) {
        return requested;
    }
    unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? static_cast<int>(cores) : 1;
}

// One frame, no content size, the window fixed before the first byte.
class frame_compressor {
public:
    frame_compressor(const block_options& options, int window_log, int job_size, output_file& out)
        : context_(ZSTD_createCCtx()), out_(out), output_(ZSTD_CStreamOutSize())
    {
        if (!context_) {
            throw packer_error("compression failed: no memory for the compressor");
        }
        set(ZSTD_c_compressionLevel, options.level, "level");
        set(ZSTD_c_windowLog, window_log, "window log");
        set(ZSTD_c_checksumFlag, options.checksum ? 1 : 0, "checksum");
        set(ZSTD_c_contentSizeFlag, 0, "content size");
        set(ZSTD_c_nbWorkers, worker_count(options.workers), "workers");
        // Applications carry long repeats (copies of one library, resources twice over) that the
        // regular match finder reaches slowly or not at all; finding them first is faster at
        // every level and smaller at the fast ones.
        set(ZSTD_c_enableLongDistanceMatching, 1, "long distance matching");
        // The overlap stays zstd's: at the default level each job sees the whole job before it.
        set(ZSTD_c_jobSize, job_size, "job size");
    }

    void write(const char* data, size_t size) { run(data, size, ZSTD_e_continue); }
    void report_to(const std::function<void(uint64_t, uint64_t)>& progress, uint64_t total)
    {
        progress_ = progress;
        total_ = total;
    }
    void finish() { run(nullptr, 0, ZSTD_e_end); }

private:
    void set(ZSTD_cParameter parameter, int value, const char* what)
    {
        check(ZSTD_CCtx_setParameter(context_.get(), parameter, value), what);
    }

    void run(const char* data, size_t size, ZSTD_EndDirective mode)
    {
        ZSTD_inBuffer input = {data, size, 0};
        for (;;) {
            ZSTD_outBuffer output = {output_.data(), output_.size(), 0};
            size_t left = ZSTD_compressStream2(context_.get(), &output, &input, mode);
            check(left, "stream");
            out_.write(output_.data(), output.pos);
            // What the workers have compressed, not what they were handed: with one job for the
            // whole archive nearly all of the time goes by in the frame's end.
            if (progress_) {
                progress_(ZSTD_getFrameProgression(context_.get()).consumed, total_);
            }
            bool done = mode == ZSTD_e_end ? left == 0 : input.pos == input.size;
            if (done) {
                return;
            }
        }
    }

    std::unique_ptr<ZSTD_CCtx, cctx_deleter> context_;
    output_file& out_;
    std::vector<char> output_;
    std::function<void(uint64_t, uint64_t)> progress_;
    uint64_t total_ = 0;
};

// Collects small pieces (names, sizes) so that the compressor sees large inputs.
class batching_sink {
public:
    explicit batching_sink(frame_compressor& compressor) : compressor_(compressor) { buffer_.reserve(capacity); }

    void add(const char* data, size_t size)
    {
        if (buffer_.size() + size > capacity) {
            flush();
        }
        if (size >= capacity) {
            compressor_.write(data, size);
        } else {
            buffer_.insert(buffer_.end(), data, data + size);
        }
    }

    void flush()
    {
        compressor_.write(buffer_.data(), buffer_.size());
        buffer_.clear();
    }

private:
    static constexpr size_t capacity = 1 << 20;
    frame_compressor& compressor_;
    std::vector<char> buffer_;
};

// The launcher of one target cannot load the DLL of another; better said now than on a
// user's machine. Read from the file as it lies on disk, before any of it is compressed.
void check_main_module(const archive_entry& main, const block_options& options)
{
    const std::optional<pe_header> header = pe_header_of_file(main.source);
    if (header && header->machine != traits_of(options.arch).machine) {
        throw packer_error("main module '" + options.main_name + "' is " + describe_module(*header) +
                           "; this pack is for " + traits_of(options.arch).name);
    }
}

void write_padding_and_trailer(output_file& out)
{
    uint64_t before_trailer = out.size();
    size_t padding = static_cast<size_t>(block_padding(before_trailer));
    const char zeros[block_alignment] = {};
    out.write(zeros, padding);
    before_trailer += padding;
    unsigned char trailer[block_trailer_size];
    le_write(trailer, before_trailer, block_trailer_size);
    out.write(reinterpret_cast<const char*>(trailer), sizeof trailer);
}

}  // namespace

block_summary write_block_file(const std::filesystem::path& app_dir, const block_options& options,
                               const std::filesystem::path& output)
{
    std::vector<archive_entry> entries = collect_entries(app_dir, options.main_name);
    check_main_module(entries.front(), options);
    block_summary summary;
    summary.entries = entries.size();
    summary.stream_size = archive_stream_size(entries);
    summary.window_log = options.window_log ? options.window_log : window_log_for(summary.stream_size);

    output_file out(output);
    out.write(reinterpret_cast<const char*>(block_magic), block_magic_size);
    for (const auto& entry : entries) {
        summary.input_bytes += entry.size;
    }
    frame_compressor compressor(options, summary.window_log, job_size_for(summary.stream_size), out);
    compressor.report_to(options.progress, summary.stream_size);
    batching_sink sink(compressor);
    write_archive_stream(entries, [&](const char* data, size_t size) { sink.add(data, size); });
    sink.flush();
    compressor.finish();
    write_padding_and_trailer(out);
    summary.block_size = out.size();
    out.commit();
    return summary;
}

}  // namespace packer
