// Launchers packed from fixture folders, run under Wine as a user would run them: the line on
// each stream, the exit status, and what is left in the temp folder. Also the packer's own
// blocks read in-process by the launcher's walk.
#include "launcher/run_state.h"
#include "paths/private_folder.h"
#include "payload/extract.h"
#include "payload/stream.h"
#include "tests/support/kit.h"
#include "tests/support/probe.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

const std::wstring fixtures = VELDRA_FIXTURES;
const std::wstring tiny_fs = VELDRA_TINY_FS;

const char header_message[] = "Error, couldn't find attached data header.\r\n";
const char decode_message[] = "Error, couldn't decode attached data.\r\n";

process_result run_fixture(const std::wstring& exe, const scoped_temp_folder& temp)
{
    std::wstring path = fixtures + L"\\" + exe;
    return run_process(path, quote_argument(path), temp.environment());
}

}  // namespace

// good.exe is packed through the entry script; no-tools.exe, the same bytes, with nothing but
// the packer on the PATH (make_fixtures.sh).
TEST(PackedLauncher, APackedApplicationRunsPrintsNothingAndLeavesNothing)
{
    for (const wchar_t* exe : {L"good.exe", L"no-tools.exe"}) {
        SCOPED_TRACE(narrow(exe));
        scoped_temp_folder temp;
        process_result result = run_fixture(exe, temp);
        EXPECT_EQ(result.exit_code, 0u);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        expect_folder_empty(temp.path);
    }
}

namespace {

// The header line on standard output, status 2, and nothing made in the temp folder.
void expect_header_refusal(const wchar_t* exe)
{
    SCOPED_TRACE(narrow(exe));
    scoped_temp_folder temp;
    process_result result = run_fixture(exe, temp);
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, header_message);
    EXPECT_EQ(result.err, "");
    expect_folder_empty(temp.path);
}

}  // namespace

TEST(PackedLauncher, AWrongMagicEndsWithTheHeaderMessageAndCreatesNothing)
{
    for (const wchar_t* exe : {L"header-first.exe", L"header-second.exe", L"header-third.exe", L"header-lower.exe"}) {
        expect_header_refusal(exe);
    }
}

// The place in the image says where the block is and how long: a place without its magic, or a
// length beyond the section that holds the block, is refused before anything is read.
TEST(PackedLauncher, APlaceThatDoesNotHoldItsBlockEndsWithTheHeaderMessageAndCreatesNothing)
{
    for (const wchar_t* exe : {L"place-magic.exe", L"place-past-section.exe", L"place-past-image.exe"}) {
        expect_header_refusal(exe);
    }
}

TEST(PackedLauncher, AFrameThatCannotBeDecodedEndsWithTheDecodeMessage)
{
    for (const wchar_t* exe : {L"truncated.exe", L"window-90.exe", L"window-89.exe", L"no-frame.exe"}) {
        scoped_temp_folder temp;
        process_result result = run_fixture(exe, temp);
        EXPECT_EQ(result.exit_code, 2u) << narrow(exe);
        EXPECT_EQ(result.out, decode_message) << narrow(exe);
        EXPECT_EQ(result.err, "") << narrow(exe);
        expect_folder_empty(temp.path);
    }
}

TEST(PackedLauncher, AChecksumThatDoesNotMatchStopsTheParentBeforeAnyChild)
{
    scoped_temp_folder temp;
    process_result result = run_fixture(L"bad-checksum.exe", temp);
    EXPECT_EQ(result.exit_code, 2u);
    // A child would have printed its own line or run the application; the parent alone spoke.
    EXPECT_EQ(result.out, decode_message);
    EXPECT_EQ(result.err, "");
    // Every file was written before the check at the frame's end: all of it is gone again.
    expect_folder_empty(temp.path);
}

TEST(PackedLauncher, AFullDiskEndsWithTheUnpackLineAndTheSystemText)
{
    if (GetFileAttributesW((tiny_fs + L"\\.mounted").c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no tiny tmpfs could be mounted at " << narrow(tiny_fs) << " (mounting needs root)";
    }
    scoped_temp_folder temp(tiny_fs);
    process_result result = run_fixture(L"big.exe", temp);
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    const std::string start = "Error, couldn't unpack file to target path. ([Error 112] ";
    EXPECT_EQ(result.err.substr(0, start.size()), start) << result.err;
    EXPECT_EQ(result.err.substr(result.err.size() - 3), ")\r\n");
    expect_folder_empty(temp.path);
}

namespace {

std::string held_block;

class PackerBlock : public testing::Test {
protected:
    seam_scope seam;
    scoped_temp_folder temp;

    void walk_block(const std::wstring& block_name)
    {
        held_block = read_file_bytes(fixtures + L"\\" + block_name);
        wcscpy(unpack_dir, (temp.path + L"\\unpacked").c_str());
        main_module_path[0] = L'\0';
        directory_cache[0] = L"C:\\users\\test-home";
        directory_cache_count = 1;
        payload_open_block(reinterpret_cast<const unsigned char*>(held_block.data()),
                           static_cast<uint32_t>(held_block.size()));
        const volatile bool no_stop = false;
        walk_archive(walk_as_parent, &no_stop);
    }
    // The hold the walk took on its folder would keep the folder from going.
    void TearDown() override { release_unpack_dir_hold(); }
};

}  // namespace

TEST_F(PackerBlock, TheWorkedExampleUnpacksToItsTwoFiles)
{
    walk_block(L"worked.block");
    EXPECT_EQ(read_file_bytes(temp.path + L"\\unpacked\\a.dll"), "abc");
    EXPECT_EQ(read_file_bytes(temp.path + L"\\unpacked\\d\\b.txt"), "");
    EXPECT_EQ(std::wstring(main_module_path), temp.path + L"\\unpacked\\a.dll");
}

TEST_F(PackerBlock, TheApplicationUnpacksWithAndWithoutChecksum)
{
    for (const wchar_t* block : {L"app.block", L"app-no-checksum.block"}) {
        walk_block(block);
        EXPECT_EQ(read_file_bytes(temp.path + L"\\unpacked\\data\\deep\\note.txt"), "deeper\n") << narrow(block);
        EXPECT_EQ(read_file_bytes(temp.path + L"\\unpacked\\main.dll"), read_file_bytes(fixtures + L"\\app\\main.dll"));
        release_unpack_dir_hold();
        remove_tree(temp.path + L"\\unpacked");
    }
}
