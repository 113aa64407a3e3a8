// What a pack tells the user while it runs and when it ends: progress on standard error when
// that is a terminal and the pack takes longer than about a second, then one summary line.
#ifndef VELDRA_PACKER_PROGRESS_H
#define VELDRA_PACKER_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace packer {

struct block_summary;

class progress_report {
public:
    // `show` false (--quiet, or standard error no terminal) keeps every progress line back.
    progress_report(std::FILE* stream, bool show);
    // Bytes of the archive stream compressed so far, of `total`.
    void update(uint64_t done, uint64_t total);
    // Clears the progress line, if one was shown.
    void finish();

private:
    std::FILE* stream_;
    bool show_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};

// Whether `stream` is a terminal.
bool is_terminal(std::FILE* stream);

// "12,345,678": digits in groups of three, for lines people read.
std::string grouped(uint64_t value);

// "veldra: 57 files, 52,428,800 bytes -> block of 8,850,112 bytes (16.9%), level 12, window 2^26, 1.02 s"
std::string summary_line(const block_summary& summary, int level, double seconds);

}  // namespace packer

#endif
