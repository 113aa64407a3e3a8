// Progress at most five times a second, on one line rewritten in place.
#include "progress.h"

#include "block_writer.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace packer {

namespace {

constexpr std::chrono::milliseconds quiet_start{1000};
constexpr std::chrono::milliseconds interval{200};

double mebibytes(uint64_t bytes)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

}  // namespace

bool is_terminal(std::FILE* stream)
{
#ifdef _WIN32
    return ::_isatty(::_fileno(stream)) != 0;
#else
    return ::isatty(::fileno(stream)) != 0;
#endif
}

progress_report::progress_report(std::FILE* stream, bool show)
    : stream_(stream), show_(show), start_(std::chrono::steady_clock::now()), last_(start_)
{
}

void progress_report::update(uint64_t done, uint64_t total)
{
    if (!show_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < quiet_start || now - last_ < interval) {
        return;
    }
    last_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stream_, "\rveldra: compressed %.1f of %.1f MiB (%.0f%%), %.1f MiB/s   ", mebibytes(done),
                 mebibytes(total), total ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0,
                 mebibytes(done) / elapsed);
    std::fflush(stream_);
    shown_ = true;
}

void progress_report::finish()
{
    if (shown_) {
        std::fprintf(stream_, "\r%*s\r", 79, "");
        std::fflush(stream_);
        shown_ = false;
    }
}

std::string grouped(uint64_t value)
{
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), ",");
    }
    return digits;
}

std::string summary_line(const block_summary& summary, int level, double seconds)
{
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.1f%%",
                  summary.stream_size ? 100.0 * static_cast<double>(summary.block_size) /
                                            static_cast<double>(summary.stream_size)
                                      : 0.0);
    char time[32];
    std::snprintf(time, sizeof time, "%.2f s", seconds);
    return "veldra: " + grouped(summary.entries) + (summary.entries == 1 ? " file, " : " files, ") +
           grouped(summary.input_bytes) + " bytes -> block of " + grouped(summary.block_size) + " bytes (" + ratio +
           " of the archive), level " + std::to_string(level) + ", window 2^" + std::to_string(summary.window_log) +
           ", " + time;
}

}  // namespace packer
