// The registry of temporary paths in the Windows build: a console control handler (Ctrl+C,
// Ctrl+Break, a closing console) removes them, then lets the packer end as it would have.
#include "cleanup.h"

#include "error.h"

#include <windows.h>

#include <atomic>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace packer {

namespace {

constexpr int slot_count = 16;

struct temporary_slot {
    fs::path path;
    bool folder = false;
    std::atomic<bool> in_use{false};
};

temporary_slot slots[slot_count];
std::atomic<bool> installed{false};

// Runs on a thread of its own, so ordinary calls are allowed; FALSE hands the event on to the
// default handler, which ends the process.
BOOL WINAPI remove_temporaries(DWORD)
{
    for (auto& slot : slots) {
        if (slot.in_use.exchange(false)) {
            std::error_code ignored;
            if (slot.folder) {
                fs::remove_all(slot.path, ignored);
            } else {
                fs::remove(slot.path, ignored);
            }
        }
    }
    return FALSE;
}

}  // namespace

void install_cleanup_handlers()
{
    if (!installed.exchange(true)) {
        SetConsoleCtrlHandler(remove_temporaries, TRUE);
    }
}

int remember_temporary(const fs::path& path, bool folder)
{
    for (int i = 0; i < slot_count; ++i) {
        if (!slots[i].in_use.load()) {
            slots[i].path = path;
            slots[i].folder = folder;
            slots[i].in_use.store(true);
            return i;
        }
    }
    return -1;
}

void forget_temporary(int slot)
{
    if (slot >= 0 && slot < slot_count) {
        slots[slot].in_use.store(false);
    }
}

void set_running_tool(pid_t)
{
}

std::string random_suffix()
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::random_device source;
    std::string suffix;
    for (int i = 0; i < 6; ++i) {
        suffix += letters[source() % (sizeof letters - 1)];
    }
    return suffix;
}

// CreateDirectory fails on anything already there, so a planted folder or link is never used.
temporary_folder::temporary_folder(const fs::path& parent, const char* stem)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = parent / (std::string(stem) + "-" + random_suffix());
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = fs::absolute(candidate);
            name_ = path_;
            slot_ = remember_temporary(path_, true);
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    throw packer_error("cannot make a temporary folder in '" + parent.u8string() + "'");
}

// This build holds no handle on the folder: its name is all there is to go by.
bool temporary_folder::still_named() const
{
    return true;
}

void temporary_folder::keep_as(const fs::path& target)
{
    // Without MOVEFILE_REPLACE_EXISTING nothing already at the target is replaced.
    if (!MoveFileExW(path_.c_str(), target.c_str(), 0)) {
        throw packer_error("cannot make '" + target.u8string() + "'");
    }
    kept_ = true;
}

temporary_folder::~temporary_folder()
{
    if (kept_) {
        forget_temporary(slot_);
        return;
    }
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    forget_temporary(slot_);
}

}  // namespace packer
