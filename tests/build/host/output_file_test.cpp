// The output file against someone who can write the output's folder: whatever they rename or
// plant at the temporary names, the packer writes, changes and renames only its own file.
#include "output_file.h"

#include "host_kit.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace packer;

namespace {

fs::perms mode_of(const fs::path& path)
{
    return fs::symlink_status(path).permissions();
}

// The one temporary folder output_file made beside `target`.
fs::path temporary_beside(const fs::path& target)
{
    fs::path found;
    for (const auto& entry : fs::directory_iterator(target.parent_path())) {
        if (entry.path().filename().string().rfind(target.filename().string() + ".tmp-", 0) == 0) {
            EXPECT_TRUE(found.empty()) << "two temporary folders";
            found = entry.path();
        }
    }
    return found;
}

}  // namespace

// The shown case: a world-writable output folder without the sticky bit, where another user
// renames the temporary away and puts a link to a file of theirs (here: the victim) at its
// name. Every step after that still reaches the packer's own file; the victim keeps its bytes
// and its mode, and the output is a regular file with what the packer wrote.
TEST(OutputFile, ALinkPlantedAtTheTemporaryNameIsNeverWrittenChangedOrRenamed)
{
    scratch_folder root;
    fs::permissions(root.path(), fs::perms::all);
    const fs::path victim = root.path() / "victim.txt";
    std::ofstream(victim, std::ios::binary) << "the victim's bytes";
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    root.put("signed.bin", "MZ signed bytes");
    const fs::path target = root.path() / "out.exe";
    {
        output_file out(target, true);
        const fs::path temporary = temporary_beside(target);
        ASSERT_FALSE(temporary.empty());
        fs::rename(temporary, root.path() / "moved-away");
        fs::create_directory(temporary);
        fs::create_symlink(victim, temporary / "out.exe");
        out.write("MZ unsigned", 11);
        out.write_at(3, "UN");
        out.copy_to(root.path() / "copy.bin");
        out.replace_with(root.path() / "signed.bin");
        out.commit();
    }
    EXPECT_EQ(file_bytes(root.path() / "copy.bin"), "MZ UNsigned");
    EXPECT_EQ(file_bytes(victim), "the victim's bytes");
    EXPECT_EQ(mode_of(victim), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
    EXPECT_EQ(file_bytes(target), "MZ signed bytes");
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(static_cast<mode_t>(mode_of(target)), 0777 & ~mask);
}

// Without interference the temporary folder is gone after a commit, and after a failure too.
TEST(OutputFile, NothingTemporaryIsLeftCommittedOrNot)
{
    scratch_folder root;
    const fs::path target = root.path() / "block";
    {
        output_file out(target);
        out.write("XJQ", 3);
        out.commit();
    }
    {
        output_file abandoned(root.path() / "other");
        abandoned.write("XJQ", 3);
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(root.path())) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"block"});
    EXPECT_EQ(file_bytes(target), "XJQ");
}
