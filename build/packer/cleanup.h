// What the packer leaves behind when SIGINT or SIGTERM ends it: nothing. Temporary files and
// folders are registered while they exist; a signal handler ends the running tool, removes
// them and re-raises the signal.
#ifndef VELDRA_PACKER_CLEANUP_H
#define VELDRA_PACKER_CLEANUP_H

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace packer {

// Installs the handler for SIGINT and SIGTERM (once; later calls do nothing).
void install_cleanup_handlers();

// A slot for `path` (a file, or a folder removed with what it holds), or -1 when all slots are
// taken; give the slot back with forget_temporary once the path is gone or kept.
int remember_temporary(const std::filesystem::path& path, bool folder);
void forget_temporary(int slot);

// The tool that runs now, ended by the handler before it removes anything, so that it
// writes nothing into a removed folder; 0 when none runs.
void set_running_tool(pid_t tool);

#ifdef _WIN32
// Six random letters and digits, for names nobody can foresee.
std::string random_suffix();
#endif

// A folder of the packer's own (mkdtemp, mode 0700) in `parent`, removed with what it holds
// when the object goes, or by the handler. On Linux it is held open from the moment it is made
// and checked to be this user's private folder, and path() reaches it through that descriptor
// (/proc/self/fd/N): whoever can write `parent` may rename the folder and put another in its
// place, but nothing read or written through path() then goes anywhere else.
class temporary_folder {
public:
    temporary_folder(const std::filesystem::path& parent, const char* stem);
    ~temporary_folder();
    temporary_folder(const temporary_folder&) = delete;
    temporary_folder& operator=(const temporary_folder&) = delete;
    // For this process's own reads and writes.
    const std::filesystem::path& path() const { return path_; }
    // The folder's name, for other programs and for messages.
    const std::filesystem::path& name() const { return name_; }
    // True while name() still names this folder.
    bool still_named() const;
    // Gives the folder the mode an ordinary new folder gets and renames it to `target`, which
    // must not exist; the folder is then kept, not removed. Throws packer_error otherwise.
    void keep_as(const std::filesystem::path& target);

private:
    std::filesystem::path name_;
    std::filesystem::path path_;
    int slot_ = -1;
    int descriptor_ = -1;
    bool kept_ = false;
};

}  // namespace packer

#endif
