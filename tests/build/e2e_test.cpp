// Launchers packed from fixture folders, run under Wine as a user would run them: the line on
// each stream, the exit status, and what is left in the temp folder. Also the packer's own
// blocks read in-process by the launcher's walk.
#include "launcher/remove_tree.h"
#include "launcher/run_state.h"
#include "paths/private_folder.h"
#include "payload/extract.h"
#include "payload/stream.h"
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

std::string file_bytes(const std::wstring& path)
{
    std::string bytes = "<missing>";
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file != nullptr) {
        bytes.clear();
        char chunk[65536];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
            bytes.append(chunk, got);
        }
        fclose(file);
    }
    return bytes;
}

void remove_tree(const std::wstring& path)
{
    // The hold a walk took on its folder would keep the folder from going.
    release_unpack_dir_hold();
    remove_tree_once(path.c_str());
}

bool is_empty_folder(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool empty = true;
    do {
        std::wstring name = found.cFileName;
        empty = empty && (name == L"." || name == L".." || name == L".mounted");
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return empty;
}

// A temp folder of the test's own, handed to the launcher through TMP and TEMP.
class own_temp_folder {
public:
    explicit own_temp_folder(const std::wstring& parent = L"")
    {
        static int serial;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        std::wstring base = parent.empty() ? std::wstring(temp) : parent + L"\\";
        path = base + L"veldra_e2e_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++serial);
        CreateDirectoryW(path.c_str(), nullptr);
    }
    ~own_temp_folder() { remove_tree(path); }
    environment_changes environment() const { return {{L"TMP", path}, {L"TEMP", path}}; }
    std::wstring path;
};

process_result run_fixture(const std::wstring& exe, const own_temp_folder& temp)
{
    std::wstring path = fixtures + L"\\" + exe;
    return run_process(path, quote_argument(path), temp.environment());
}

}  // namespace

TEST(PackedLauncher, APackedApplicationRunsAndPrintsNothing)
{
    own_temp_folder temp;
    process_result result = run_fixture(L"good.exe", temp);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

TEST(PackedLauncher, AWrongMagicEndsWithTheHeaderMessageAndCreatesNothing)
{
    for (const wchar_t* exe : {L"header-first.exe", L"header-second.exe", L"header-third.exe", L"header-lower.exe"}) {
        own_temp_folder temp;
        process_result result = run_fixture(exe, temp);
        EXPECT_EQ(result.exit_code, 2u) << narrow(exe);
        EXPECT_EQ(result.out, header_message) << narrow(exe);
        EXPECT_EQ(result.err, "") << narrow(exe);
        EXPECT_TRUE(is_empty_folder(temp.path)) << narrow(exe);
    }
}

// The place in the image says where the block is and how long: a place without its magic, or a
// length beyond the section that holds the block, is refused before anything is read.
TEST(PackedLauncher, APlaceThatDoesNotHoldItsBlockEndsWithTheHeaderMessageAndCreatesNothing)
{
    for (const wchar_t* exe : {L"place-magic.exe", L"place-past-section.exe", L"place-past-image.exe"}) {
        own_temp_folder temp;
        process_result result = run_fixture(exe, temp);
        EXPECT_EQ(result.exit_code, 2u) << narrow(exe);
        EXPECT_EQ(result.out, header_message) << narrow(exe);
        EXPECT_EQ(result.err, "") << narrow(exe);
        EXPECT_TRUE(is_empty_folder(temp.path)) << narrow(exe);
    }
}

// Packed with nothing but the packer on the PATH (make_fixtures.sh), the same bytes as good.exe.
TEST(PackedLauncher, APackMadeWithoutAnyCompilerRunsAsTheOthers)
{
    own_temp_folder temp;
    process_result result = run_fixture(L"no-tools.exe", temp);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(is_empty_folder(temp.path));
}

TEST(PackedLauncher, AFrameThatCannotBeDecodedEndsWithTheDecodeMessage)
{
    for (const wchar_t* exe : {L"truncated.exe", L"window-90.exe", L"window-89.exe", L"no-frame.exe"}) {
        own_temp_folder temp;
        process_result result = run_fixture(exe, temp);
        EXPECT_EQ(result.exit_code, 2u) << narrow(exe);
        EXPECT_EQ(result.out, decode_message) << narrow(exe);
        EXPECT_EQ(result.err, "") << narrow(exe);
    }
}

TEST(PackedLauncher, AChecksumThatDoesNotMatchStopsTheParentBeforeAnyChild)
{
    own_temp_folder temp;
    process_result result = run_fixture(L"bad-checksum.exe", temp);
    EXPECT_EQ(result.exit_code, 2u);
    // A child would have printed its own line or run the application; the parent alone spoke.
    EXPECT_EQ(result.out, decode_message);
    EXPECT_EQ(result.err, "");
}

TEST(PackedLauncher, AFullDiskEndsWithTheUnpackLineAndTheSystemText)
{
    if (GetFileAttributesW((tiny_fs + L"\\.mounted").c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no tiny tmpfs could be mounted at " << narrow(tiny_fs) << " (mounting needs root)";
    }
    own_temp_folder temp(tiny_fs);
    process_result result = run_fixture(L"big.exe", temp);
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    const std::string start = "Error, couldn't unpack file to target path. ([Error 112] ";
    EXPECT_EQ(result.err.substr(0, start.size()), start) << result.err;
    EXPECT_EQ(result.err.substr(result.err.size() - 3), ")\r\n");
}

namespace {

std::string held_block;

class PackerBlock : public testing::Test {
protected:
    seam_scope seam;
    own_temp_folder temp;

    void walk_block(const std::wstring& block_name)
    {
        held_block = file_bytes(fixtures + L"\\" + block_name);
        wcscpy(unpack_dir, (temp.path + L"\\unpacked").c_str());
        main_module_path[0] = L'\0';
        directory_cache[0] = L"C:\\users\\test-home";
        directory_cache_count = 1;
        payload_open_block(reinterpret_cast<const unsigned char*>(held_block.data()),
                           static_cast<uint32_t>(held_block.size()));
        const volatile bool no_stop = false;
        walk_archive(walk_as_parent, &no_stop);
    }
};

}  // namespace

TEST_F(PackerBlock, TheWorkedExampleUnpacksToItsTwoFiles)
{
    walk_block(L"worked.block");
    EXPECT_EQ(file_bytes(temp.path + L"\\unpacked\\a.dll"), "abc");
    EXPECT_EQ(file_bytes(temp.path + L"\\unpacked\\d\\b.txt"), "");
    EXPECT_EQ(std::wstring(main_module_path), temp.path + L"\\unpacked\\a.dll");
}

TEST_F(PackerBlock, TheApplicationUnpacksWithAndWithoutChecksum)
{
    for (const wchar_t* block : {L"app.block", L"app-no-checksum.block"}) {
        walk_block(block);
        EXPECT_EQ(file_bytes(temp.path + L"\\unpacked\\data\\deep\\note.txt"), "deeper\n") << narrow(block);
        EXPECT_EQ(file_bytes(temp.path + L"\\unpacked\\main.dll"), file_bytes(fixtures + L"\\app\\main.dll"));
        remove_tree(temp.path + L"\\unpacked");
    }
}
