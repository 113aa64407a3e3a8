// The attached block: "XJQ", one zstd frame of the archive stream, zero padding to a multiple
// of 8, and the 8-byte trailer holding the length before it.
#ifndef VELDRA_PACKER_BLOCK_WRITER_H
#define VELDRA_PACKER_BLOCK_WRITER_H

#include "architecture.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace packer {

struct block_options {
    std::string main_name = "main.dll";
    int level = 12;
    int window_log = 0;  // 0: the smallest power of two that holds the stream, 2^10 to 2^27
    bool checksum = true;
    int workers = 0;  // 0: one per core
    // A main module that is a PE image for another machine is refused; one that is no PE at
    // all is packed, and the launcher reports that it cannot load it.
    architecture arch = default_architecture;
    // Told the bytes of the archive stream compressed so far and the stream's length; may be empty.
    std::function<void(uint64_t done, uint64_t total)> progress;
};

constexpr int min_window_log = 10;
constexpr int max_window_log = 27;

int window_log_for(uint64_t stream_size);

// Up to single_job_limit the stream is one zstd job: it is then held whole in memory, and an
// ordinary application compresses best that way (cut in two jobs, a 50 MB one grows by 2% at
// the default level). Above it, jobs of large_job_size keep the packer's memory the same
// whatever the stream's size. Chosen from the stream's size alone, never from the number of
// cores, so that the output stays the same bytes everywhere.
constexpr uint64_t single_job_limit = uint64_t{64} << 20;
constexpr int large_job_size = 32 << 20;

// 0, zstd's own job size of four windows, which with the window of window_log_for holds the
// whole stream; or large_job_size above the limit.
int job_size_for(uint64_t stream_size);

struct block_summary {
    uint64_t stream_size = 0;
    uint64_t input_bytes = 0;  // the files' contents alone
    uint64_t block_size = 0;
    int window_log = 0;
    size_t entries = 0;
};

// Writes the block of the application folder to `output`, through a temporary file in the same
// folder that is renamed at the end: on any failure no output file exists.
block_summary write_block_file(const std::filesystem::path& app_dir, const block_options& options,
                               const std::filesystem::path& output);

}  // namespace packer

#endif
