// The pack step before any tool runs: where each target's tools and libraries come from, and
// the largest block each target carries.
#include "error.h"
#include "pack.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace packer;

namespace {

class scratch_folder {
public:
    scratch_folder()
    {
        std::string pattern = (fs::temp_directory_path() / "veldra-pack-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~scratch_folder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string refusal(const std::function<void()>& action)
{
    try {
        action();
    } catch (const packer_error& error) {
        return error.what();
    }
    return "<no refusal>";
}

}  // namespace

TEST(Toolchain, EachTargetHasItsOwnFolderOfLibrariesAndItsOwnTools)
{
    const toolchain x86 = toolchain_for(architecture::x86, "/b", "/z", "/src");
    const toolchain x64 = toolchain_for(architecture::x64, "/b", "/z", "/src");
    EXPECT_EQ(fs::path("/b/x86"), x86.launcher_dir);
    EXPECT_EQ(fs::path("/b/x64"), x64.launcher_dir);
    EXPECT_EQ(fs::path("/z/x86/lib/libzstd.a"), x86.zstd_library);
    EXPECT_EQ(fs::path("/z/x64/lib/libzstd.a"), x64.zstd_library);
    EXPECT_EQ(fs::path("/src"), x64.source_dir);
    EXPECT_EQ(architecture::x64, x64.arch);
    EXPECT_EQ("i686-w64-mingw32-g++-posix", x86.cxx);
    EXPECT_EQ("x86_64-w64-mingw32-windres", x64.windres);
}

// Sparse blocks: the size is all that is looked at. With the libraries in place and a compiler
// that does not exist, a block within the limit gets as far as the first tool; one beyond it
// is refused before.
TEST(Pack, ABlockBeyondWhatTheTargetCarriesIsRefusedBeforeAnyToolRuns)
{
    struct limit_case {
        architecture arch;
        uint64_t size;
        std::string line;
    };
    const std::string no_tool = "cannot run /nonexistent/veldra-cxx: No such file or directory";
    const limit_case cases[] = {
        {architecture::x86, 0x7FFFFFF8, no_tool},
        {architecture::x86, 0x7FFFFFF9, "is larger than a 32-bit executable can carry (2147483640 bytes at most)"},
        {architecture::x64, 0x7EFFFFF8, no_tool},
        {architecture::x64, 0x7EFFFFF9, "is larger than a 64-bit executable can carry (2130706424 bytes at most)"},
        {architecture::x64, 0x7FFFFFF8, "is larger than a 64-bit executable can carry (2130706424 bytes at most)"},
    };
    for (const auto& each : cases) {
        scratch_folder root;
        toolchain tools = toolchain_for(each.arch, root.path() / "out", root.path() / "zstd", root.path());
        tools.cxx = "/nonexistent/veldra-cxx";
        fs::create_directories(tools.launcher_dir);
        fs::create_directories(tools.zstd_library.parent_path());
        for (const fs::path& library : {tools.launcher_dir / "libveldra_main.a",
                                        tools.launcher_dir / "libveldra_launcher.a", tools.zstd_library}) {
            std::ofstream(library) << "!<arch>\n";
        }
        const fs::path block = root.path() / "sparse.block";
        std::ofstream(block).close();
        fs::resize_file(block, each.size);
        const fs::path output = root.path() / "out.exe";
        const std::string line = refusal([&] { pack_executable(block, output, identity_from_options({}), tools); });
        const std::string expected = each.line == no_tool ? no_tool : "block '" + block.string() + "' " + each.line;
        EXPECT_EQ(expected, line) << each.size;
        EXPECT_FALSE(fs::exists(output));
        for (const auto& entry : fs::directory_iterator(root.path())) {
            EXPECT_TRUE(entry.path() == block || entry.is_directory()) << "left behind: " << entry.path();
        }
    }
}
