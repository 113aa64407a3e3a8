// Tools run through posix_spawn with their output in a file of the work folder.
#include "tool_run.h"

#include "cleanup.h"
#include "error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>

namespace fs = std::filesystem;

#ifdef _WIN32

namespace packer {

// The Windows build runs no tool: it packs, and signing is left to the Linux build.
void run_tool(const std::vector<std::string>& command, const fs::path&, const std::string& purpose)
{
    throw packer_error(purpose + ": the Windows build of the packer runs no " + command[0]);
}

}  // namespace packer

#else

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace packer {

namespace {

// The first line a tool wrote on its error stream usually names the cause; what follows is
// detail. A tool that said nothing there gets its last line of output instead.
std::string line_of(const fs::path& file, bool first)
{
    std::ifstream in(file);
    std::string line;
    std::string chosen;
    while (std::getline(in, line)) {
        if (line.find_first_not_of(" \t\r") != std::string::npos) {
            chosen = line.substr(0, line.find_last_not_of(" \t\r") + 1);
            if (first) {
                break;
            }
        }
    }
    return chosen;
}

int spawn_and_wait(const std::vector<std::string>& command, const fs::path& directory, const fs::path& output,
                   const fs::path& errors)
{
    std::vector<char*> argv;
    for (const auto& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // The tool's own temporary files go into the work folder too, so that what removes the
    // folder removes them; and it runs in a process group of its own, so that a signal's
    // handler can end it with everything it started.
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "TMPDIR=", 7) != 0) {
            variables.emplace_back(*variable);
        }
    }
    variables.push_back("TMPDIR=" + fs::absolute(directory).string());
    std::vector<char*> envp;
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = 0;
    int failed = posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        throw packer_error("cannot run " + command[0] + ": " + std::strerror(failed));
    }
    set_running_tool(child);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    set_running_tool(0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

void run_tool(const std::vector<std::string>& command, const fs::path& directory, const std::string& purpose)
{
    const fs::path output = fs::absolute(directory) / "tool-output.txt";
    const fs::path errors = fs::absolute(directory) / "tool-errors.txt";
    if (spawn_and_wait(command, directory, output, errors) != 0) {
        std::string cause = line_of(errors, true);
        cause = cause.empty() ? line_of(output, false) : cause;
        throw packer_error(purpose + ": " + (cause.empty() ? command[0] + " failed without a word" : cause));
    }
}

}  // namespace packer

#endif
