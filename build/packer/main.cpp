// The packer's command line: block, pack, and inspect, extract and verify. Every failure is one line on standard
// error and a non-zero status (2 for a command line the table refuses), and leaves no output
// file behind.
#include "block_writer.h"
#include "command_options.h"
#include "cleanup.h"
#include "error.h"
#include "block_commands.h"
#include "output_file.h"
#include "pack.h"
#include "progress.h"
#include "stub_image.h"
#include "carried_stubs.h"
#include "version.h"

#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#endif

#ifndef VELDRA_LAUNCHER_ROOT
#define VELDRA_LAUNCHER_ROOT "."
#endif

namespace fs = std::filesystem;
using packer::packer_error;

namespace {

using packer::command_line;
using packer::usage_error;

// When the pack began, for the summary line's time.
const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

// A path given on the command line, which holds UTF-8 on every system.
fs::path path_of(const std::string& text)
{
    return fs::u8path(text);
}

int number(const command_line& line, const std::string& option, int low, int high, int fallback)
{
    auto found = line.values.find(option);
    if (found == line.values.end()) {
        return fallback;
    }
    try {
        size_t used = 0;
        int value = std::stoi(found->second, &used);
        if (used == found->second.size() && value >= low && value <= high) {
            return value;
        }
    } catch (const std::exception&) {
    }
    throw packer_error(option + " takes a whole number from " + std::to_string(low) + " to " + std::to_string(high));
}

std::string value(const command_line& line, const std::string& option, const std::string& fallback = "")
{
    auto found = line.values.find(option);
    return found == line.values.end() ? fallback : found->second;
}

packer::architecture arch_of(const command_line& line)
{
    auto found = line.values.find("--arch");
    return found == line.values.end() ? packer::default_architecture : packer::parse_architecture(found->second);
}

packer::block_options block_options_of(const command_line& line)
{
    packer::block_options options;
    options.arch = arch_of(line);
    options.main_name = value(line, "--main", options.main_name);
    options.level = number(line, "--level", ZSTD_minCLevel(), ZSTD_maxCLevel(), options.level);
    options.window_log = number(line, "--window-log", packer::min_window_log, packer::max_window_log, 0);
    options.workers = number(line, "--workers", 1, 256, 0);
    options.checksum = !line.has("--no-checksum");
    return options;
}

fs::path output_of(const command_line& line)
{
    std::string output = value(line, "-o");
    if (output.empty()) {
        throw usage_error("no output given (-o FILE)");
    }
    return path_of(output);
}

fs::path one_folder(const command_line& line)
{
    if (line.positional.size() != 1) {
        throw usage_error("give exactly one application folder");
    }
    return path_of(line.positional[0]);
}

// The block of the folder, with progress while it is compressed and the summary line after.
packer::block_summary write_reported_block(const fs::path& app_dir, packer::block_options options,
                                           const fs::path& output, const command_line& line)
{
    packer::progress_report progress(stderr, !line.has("--quiet") && packer::is_terminal(stderr));
    options.progress = [&progress](uint64_t done, uint64_t total) { progress.update(done, total); };
    packer::block_summary summary = packer::write_block_file(app_dir, options, output);
    progress.finish();
    return summary;
}

void print_summary(const packer::block_summary& summary, const packer::block_options& options,
                   const command_line& line)
{
    if (!line.has("--quiet")) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::cerr << packer::summary_line(summary, options.level, seconds) << "\n";
    }
}

int run_block(const command_line& line)
{
    packer::block_options options = block_options_of(line);
    print_summary(write_reported_block(one_folder(line), options, output_of(line), line), options, line);
    return 0;
}

// The folder of the running packer, where stubs may lie beside it.
fs::path packer_folder()
{
#ifdef _WIN32
    wchar_t self[32768];
    const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
    return length == 0 || length >= 32768 ? fs::path() : fs::path(self).parent_path();
#else
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : self.parent_path();
#endif
}

// --stub FILE; else the stub this packer carries (a distribution's build); else the stub
// beside the packer; else the build's.
packer::launcher_stub stub_of(const command_line& line)
{
    packer::launcher_stub stub;
    stub.arch = arch_of(line);
    const std::string given = value(line, "--stub");
    const std::string_view carried = packer::carried_stub(stub.arch);
    if (given.empty() && !carried.empty()) {
        stub.bytes = std::string(carried);
        return stub;
    }
    stub.file = packer::find_stub(stub.arch, path_of(given), packer_folder(), VELDRA_LAUNCHER_ROOT);
    return stub;
}

// The output's folder must exist: the temporary file goes beside the target.
void require_output_folder(const fs::path& output)
{
    const fs::path folder = fs::absolute(output).parent_path();
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        throw packer_error("the folder of the output '" + output.u8string() + "' does not exist");
    }
}

// Everything a pack takes from the command line, checked before anything is compressed.
packer::pack_extras extras_of(const command_line& line)
{
    packer::pack_extras extras;
    const std::string icon = value(line, "--icon");
    if (line.values.count("--icon") != 0) {
        extras.icon = packer::read_icon(path_of(icon));
    }
    extras.signing = packer::signing_from_options(line.values);
    return extras;
}

// A temporary block in a private folder beside the output, removed when the pack ends.
int run_pack(const command_line& line)
{
    fs::path output = output_of(line);
    const packer::build_identity identity = packer::identity_from_options(line.values);
    const packer::pack_extras extras = extras_of(line);
    const packer::launcher_stub stub = stub_of(line);
    require_output_folder(output);
    std::string given_block = value(line, "--block");
    if (!given_block.empty()) {
        if (!line.positional.empty()) {
            throw usage_error("give either an application folder or --block, not both");
        }
        packer::pack_executable(path_of(given_block), output, identity, stub, extras);
        return 0;
    }
    packer::block_options options = block_options_of(line);
    fs::path app_dir = one_folder(line);
    // The stub is checked before anything is compressed: a wrong one fails at once.
    packer::load_stub(stub);
    fs::path output_folder = fs::absolute(output).parent_path();
    packer::temporary_folder block_folder(output_folder, ".veldra-block");
    fs::path block = block_folder.path() / "block.bin";
    packer::block_summary summary = write_reported_block(app_dir, options, block, line);
    packer::pack_executable(block, output, identity, stub, extras);
    print_summary(summary, options, line);
    return 0;
}

// The packer's version, then each stub's as a pack without --stub would find it.
int run_version()
{
    std::cout << "veldra-packer " << packer::packer_version << "\n";
    for (const packer::architecture_traits& target : packer::architectures()) {
        command_line line;
        line.values["--arch"] = target.name;
        std::cout << "launcher stub " << target.name << ": ";
        try {
            const packer::launcher_stub stub = stub_of(line);
            const std::string version = packer::stub_version(packer::load_stub(stub).bytes);
            std::cout << (version.empty() ? "no version mark" : version) << ", "
                      << (stub.file.empty() ? "carried in the packer" : stub.file.u8string()) << "\n";
        } catch (const packer_error& error) {
            std::cout << "none (" << error.what() << ")\n";
        }
    }
    return 0;
}

int run(const std::vector<std::string>& arguments)
{
    const command_line line = packer::parse_command_line(arguments);
    if (line.help) {
        std::cout << packer::usage_text("veldra-packer", line.command);
        return 0;
    }
    if (line.version) {
        return run_version();
    }
    if (line.command == "block") {
        return run_block(line);
    }
    if (line.command == "pack") {
        return run_pack(line);
    }
    if (packer::is_block_command(line.command)) {
        return packer::run_block_command(line.command, line.positional, line.has("--json"));
    }
    throw usage_error("the command '" + line.command + "' is not built into this packer");
}

// The arguments as UTF-8. Windows gives them as UTF-16 (wmain), whatever its code page, so
// that any name reaches the packer; an unpaired surrogate cannot be a name the archive holds.
#ifdef _WIN32
std::vector<std::string> arguments_of(int argc, wchar_t** argv)
{
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argv[i], -1, nullptr, 0, nullptr, nullptr);
        if (size <= 0) {
            throw usage_error("argument " + std::to_string(i) + " is not valid UTF-16");
        }
        std::string text(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argv[i], -1, text.data(), size, nullptr, nullptr);
        text.pop_back();
        arguments.push_back(std::move(text));
    }
    return arguments;
}
#else
std::vector<std::string> arguments_of(int argc, char** argv)
{
    return std::vector<std::string>(argv + 1, argv + argc);
}
#endif

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv)
#else
int main(int argc, char** argv)
#endif
{
    try {
        packer::install_cleanup_handlers();
        return run(arguments_of(argc, argv));
    } catch (const usage_error& error) {
        std::cout.flush();
        std::cerr << "veldra: " << error.what() << " (--help shows the usage)\n";
        return 2;
    } catch (const packer_error& error) {
        std::cout.flush();
        std::cerr << "veldra: " << error.what() << "\n";
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "veldra: " << error.what() << "\n";
        return 1;
    }
}
