// The registry of temporary paths and the signal handler that removes them. The handler uses
// only calls that are safe in a signal handler: kill, waitpid, open, getdents64, unlinkat,
// access, nanosleep, close, signal and raise, over fixed buffers.
#include "cleanup.h"

#include "error.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace packer {

namespace {

constexpr int slot_count = 16;
constexpr size_t slot_path_size = 4096;

struct temporary_slot {
    char path[slot_path_size];
    bool folder;
    std::atomic<bool> in_use;
};

temporary_slot slots[slot_count];
std::atomic<pid_t> running_tool{0};
std::atomic<bool> installed{false};

struct linux_dirent64 {
    uint64_t inode;
    int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

// Empties the folder open as `folder`, one level of subfolders deep per call.
void empty_folder(int folder, int depth)
{
    alignas(8) char buffer[4096];
    for (;;) {
        long got = ::syscall(SYS_getdents64, folder, buffer, sizeof buffer);
        if (got <= 0) {
            return;
        }
        bool removed_any = false;
        for (long at = 0; at < got;) {
            auto* entry = reinterpret_cast<linux_dirent64*>(buffer + at);
            at += entry->length;
            const char* name = entry->name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
                continue;
            }
            if (::unlinkat(folder, name, 0) == 0) {
                removed_any = true;
                continue;
            }
            if (depth < 4) {
                int sub = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0) {
                    empty_folder(sub, depth + 1);
                    ::close(sub);
                }
            }
            removed_any = ::unlinkat(folder, name, AT_REMOVEDIR) == 0 || removed_any;
        }
        // What was removed shifts the listing: read it again from the start.
        if (removed_any) {
            ::lseek(folder, 0, SEEK_SET);
        }
    }
}

void remove_slot(const temporary_slot& slot)
{
    if (slot.folder) {
        int folder = ::open(slot.path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folder >= 0) {
            empty_folder(folder, 0);
            ::close(folder);
        }
        ::rmdir(slot.path);
    } else {
        ::unlink(slot.path);
    }
}

extern "C" void remove_temporaries_and_reraise(int signal_number)
{
    int saved_errno = errno;
    pid_t tool = running_tool.exchange(0);
    if (tool > 0) {
        ::kill(-tool, SIGKILL);
        ::waitpid(tool, nullptr, 0);
    }
    // What the tool started may take a moment to die: a folder it still wrote into is tried
    // again.
    for (int attempt = 0; attempt < 50; ++attempt) {
        bool left = false;
        for (auto& slot : slots) {
            if (slot.in_use.load()) {
                remove_slot(slot);
                if (::access(slot.path, F_OK) == 0) {
                    left = true;
                } else {
                    slot.in_use.store(false);
                }
            }
        }
        if (!left) {
            break;
        }
        struct timespec pause = {0, 10 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    errno = saved_errno;
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

}  // namespace

void install_cleanup_handlers()
{
    if (installed.exchange(true)) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = remove_temporaries_and_reraise;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

int remember_temporary(const fs::path& path, bool folder)
{
    const std::string& text = path.native();
    if (text.size() >= slot_path_size) {
        return -1;
    }
    for (int i = 0; i < slot_count; ++i) {
        if (!slots[i].in_use.load()) {
            std::memcpy(slots[i].path, text.c_str(), text.size() + 1);
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

void set_running_tool(pid_t tool)
{
    running_tool.store(tool);
}

temporary_folder::temporary_folder(const fs::path& parent, const char* stem)
{
    std::string pattern = (parent / (std::string(stem) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw packer_error("cannot make a temporary folder in '" + parent.string() + "': " + std::strerror(errno));
    }
    name_ = fs::absolute(pattern);
    slot_ = remember_temporary(name_, true);
    descriptor_ = ::open(name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (descriptor_ < 0 || ::fstat(descriptor_, &status) != 0 || status.st_uid != ::geteuid() ||
        (status.st_mode & 077) != 0) {
        // What stands at the name now is someone else's: it is left alone.
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        forget_temporary(slot_);
        throw packer_error("cannot make a temporary folder in '" + parent.string() +
                           "': another folder or a link took its place");
    }
    const fs::path held = "/proc/self/fd/" + std::to_string(descriptor_);
    std::error_code error;
    path_ = fs::is_directory(held, error) ? held : name_;
}

bool temporary_folder::still_named() const
{
    struct stat named {};
    struct stat held {};
    return ::lstat(name_.c_str(), &named) == 0 && ::fstat(descriptor_, &held) == 0 && named.st_dev == held.st_dev &&
           named.st_ino == held.st_ino;
}

void temporary_folder::keep_as(const fs::path& target)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    // By name, the one step that must be: only while the name is still this folder's, and
    // never over anything already at the target.
    if (!still_named()) {
        throw packer_error("cannot make '" + target.string() + "': its temporary folder '" + name_.string() +
                           "' was replaced");
    }
    if (::fchmod(descriptor_, 0777 & ~mask) != 0 ||
        ::renameat2(AT_FDCWD, name_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        throw packer_error("cannot make '" + target.string() + "': " +
                           (errno == EEXIST ? std::string("it exists") : std::string(std::strerror(errno))));
    }
    kept_ = true;
}

temporary_folder::~temporary_folder()
{
    if (kept_) {
        ::close(descriptor_);
        forget_temporary(slot_);
        return;
    }
    std::error_code ignored;
    std::vector<fs::path> inside;
    for (fs::directory_iterator it(path_, ignored), end; !ignored && it != end; it.increment(ignored)) {
        inside.push_back(it->path());
    }
    for (const auto& each : inside) {
        fs::remove_all(each, ignored);
    }
    if (still_named()) {
        ::rmdir(name_.c_str());
    }
    ::close(descriptor_);
    forget_temporary(slot_);
}

}  // namespace packer
