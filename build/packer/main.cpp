// The packer's command line: block, pack and inspect. Every failure is one line on standard
// error and a non-zero status, and leaves no output file behind.
#include "block_writer.h"
#include "cleanup.h"
#include "error.h"
#include "block_commands.h"
#include "output_file.h"
#include "pack.h"
#include "progress.h"
#include "stub_image.h"
#include "carried_stubs.h"

#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
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

const char usage[] =
    "usage: veldra block APP_DIR -o BLOCK [--arch x86|x64] [--main NAME] [--level N] [--window-log N]\n"
    "           [--no-checksum]\n"
    "       veldra pack APP_DIR -o OUT.exe [the same options]\n"
    "       veldra pack --block BLOCK -o OUT.exe [--arch x86|x64]\n"
    "       veldra inspect FILE\n"
    "block and pack print one summary line on stderr, and progress there when it is a terminal;\n"
    "       --quiet keeps both back\n"
    "--arch chooses the target (default x86); the main module must be for it\n"
    "pack also takes [--icon FILE.ico] [--stub FILE] [--company TEXT] [--product TEXT] [--version X.Y.Z]\n"
    "       [--description TEXT] [--original-filename TEXT] [--internal-name TEXT] [--template TEXT]\n"
    "       [--execution-level asInvoker|highestAvailable|requireAdministrator] [--sweep on|off]\n"
    "       [--unpack-mode per-run|cached]\n"
    "       [--sign-pkcs12 FILE [--sign-password-file FILE] [--timestamp URL]]\n"
    "       (or the password in VELDRA_SIGN_PASSWORD)\n"
    "--sweep off: a start leaves alone the unpack folders that killed runs left behind (default on:\n"
    "       it removes those no live run holds, before it unpacks)\n"
    "--unpack-mode cached: one folder per payload that later starts check and reuse (default\n"
    "       {CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{PAYLOAD_HASH}); needs --execution-level asInvoker\n";

struct command_line {
    std::string command;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    bool no_checksum = false;
    bool quiet = false;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

const std::vector<std::string> valued_options = {"-o", "--arch", "--main", "--level", "--window-log", "--workers",
                                                 "--block", "--stub", "--icon",
                                                 // what the executable carries besides the application
                                                 "--company", "--product", "--version", "--description",
                                                 "--original-filename", "--internal-name", "--template",
                                                 "--execution-level", "--sweep", "--unpack-mode", "--sign-pkcs12",
                                                 "--sign-password-file", "--timestamp"};

command_line parse(int argc, char** argv)
{
    command_line line;
    if (argc < 2) {
        throw packer_error("no command given; try block, pack or inspect");
    }
    line.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string argument = argv[i];
        bool valued = std::find(valued_options.begin(), valued_options.end(), argument) != valued_options.end();
        if (argument == "--sign-password") {
            throw packer_error(packer::sign_password_refusal);
        }
        if (argument == "--no-checksum") {
            line.no_checksum = true;
        } else if (argument == "--quiet") {
            line.quiet = true;
        } else if (valued) {
            if (i + 1 >= argc) {
                throw packer_error("option " + argument + " needs a value");
            }
            line.values[argument] = argv[++i];
        } else if (argument.size() > 1 && argument[0] == '-') {
            throw packer_error("unknown option " + argument);
        } else {
            line.positional.push_back(argument);
        }
    }
    return line;
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
    options.checksum = !line.no_checksum;
    return options;
}

fs::path output_of(const command_line& line)
{
    std::string output = value(line, "-o");
    if (output.empty()) {
        throw packer_error("no output given (-o FILE)");
    }
    return output;
}

fs::path one_folder(const command_line& line)
{
    if (line.positional.size() != 1) {
        throw packer_error("give exactly one application folder");
    }
    return line.positional[0];
}

// The block of the folder, with progress while it is compressed and the summary line after.
packer::block_summary write_reported_block(const fs::path& app_dir, packer::block_options options,
                                           const fs::path& output, const command_line& line)
{
    packer::progress_report progress(stderr, !line.quiet && packer::is_terminal(stderr));
    options.progress = [&progress](uint64_t done, uint64_t total) { progress.update(done, total); };
    packer::block_summary summary = packer::write_block_file(app_dir, options, output);
    progress.finish();
    return summary;
}

void print_summary(const packer::block_summary& summary, const packer::block_options& options,
                   const command_line& line)
{
    if (!line.quiet) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - line.started).count();
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
    stub.file = packer::find_stub(stub.arch, given, packer_folder(), VELDRA_LAUNCHER_ROOT);
    return stub;
}

// The output's folder must exist: the temporary file goes beside the target.
void require_output_folder(const fs::path& output)
{
    const fs::path folder = fs::absolute(output).parent_path();
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        throw packer_error("the folder of the output '" + output.string() + "' does not exist");
    }
}

// Everything a pack takes from the command line, checked before anything is compressed.
packer::pack_extras extras_of(const command_line& line)
{
    packer::pack_extras extras;
    const std::string icon = value(line, "--icon");
    if (line.values.count("--icon") != 0) {
        extras.icon = packer::read_icon(icon);
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
            throw packer_error("give either an application folder or --block, not both");
        }
        packer::pack_executable(given_block, output, identity, stub, extras);
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

}  // namespace

int main(int argc, char** argv)
{
    try {
        packer::install_cleanup_handlers();
        // inspect, extract and verify: their own arguments and statuses.
        if (const std::optional<int> status = packer::run_block_command_line(argc, argv)) {
            return *status;
        }
        command_line line = parse(argc, argv);
        if (line.command == "block") {
            return run_block(line);
        }
        if (line.command == "pack") {
            return run_pack(line);
        }
        std::cerr << "veldra: unknown command '" << line.command << "'\n" << usage;
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
