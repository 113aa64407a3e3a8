// The packer on this machine: the archive stream byte for byte, entry order, names, the frame
// it writes, determinism and the block reader of `inspect`.
#include "archive.h"
#include "block_writer.h"
#include "error.h"
#include "block_report.h"
#include "block_tools.h"
#include "pack.h"
#include "stub_image.h"
#include "names.h"
#include "host_kit.h"
#include "test_images.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <sys/resource.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace packer;

namespace {

std::string stream_of(const fs::path& folder, const std::string& main_name)
{
    std::string stream;
    write_archive_stream(collect_entries(folder, main_name),
                         [&](const char* data, size_t size) { stream.append(data, size); });
    return stream;
}

std::string from_hex(const std::string& hex)
{
    std::string bytes;
    std::istringstream in(hex);
    unsigned value;
    while (in >> std::hex >> value) {
        bytes += static_cast<char>(value);
    }
    return bytes;
}

std::vector<std::string> names_of(const fs::path& folder, const std::string& main_name)
{
    std::vector<std::string> names;
    for (const auto& entry : collect_entries(folder, main_name)) {
        names.push_back(utf16_to_utf8(entry.name));
    }
    return names;
}

std::string decompress(const std::string& frame)
{
    std::string out;
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
    ZSTD_inBuffer input = {frame.data(), frame.size(), 0};
    std::vector<char> buffer(1 << 16);
    size_t result = 1;
    while (result != 0) {
        ZSTD_outBuffer output = {buffer.data(), buffer.size(), 0};
        result = ZSTD_decompressStream(context.get(), &output, &input);
        if (ZSTD_isError(result)) {
            return "<error>";
        }
        out.append(buffer.data(), output.pos);
    }
    return out;
}

}  // namespace

TEST(ArchiveStream, TheWorkedExampleIsThose49Bytes)
{
    scratch_folder app;
    app.put("a.dll", "abc");
    app.put("d/b.txt", "");
    std::string expected = from_hex(
        "61 00 2E 00 64 00 6C 00 6C 00 00 00 03 00 00 00 00 00 00 00 61 62 63 "
        "64 00 5C 00 62 00 2E 00 74 00 78 00 74 00 00 00 00 00 00 00 00 00 00 00 00 00");
    ASSERT_EQ(expected.size(), 49u);
    EXPECT_EQ(stream_of(app.path(), "a.dll"), expected);
    EXPECT_EQ(archive_stream_size(collect_entries(app.path(), "a.dll")), 49u);
}

TEST(ArchiveStream, TheMainModuleComesFirstThenFilesBeforeSubfoldersInByteOrder)
{
    scratch_folder app;
    for (const char* name : {"main.dll", "b.dll", "a.dll", "B.txt", "sub/z.txt", "sub/b.txt", "sub/a/x.txt",
                             "a_dir/y.txt", "sub/a/c/deep.txt"}) {
        app.put(name, name);
    }
    const std::vector<std::string> expected = {"main.dll",   "B.txt",     "a.dll",       "b.dll",           "a_dir\\y.txt",
                                               "sub\\b.txt", "sub\\z.txt", "sub\\a\\x.txt", "sub\\a\\c\\deep.txt"};
    EXPECT_EQ(names_of(app.path(), "main.dll"), expected);
}

TEST(ArchiveStream, AMainModuleInASubfolderIsListedOnceAndFirst)
{
    scratch_folder app;
    app.put("bin/app.dll", "MZ");
    app.put("bin/other.dll", "MZ");
    const std::vector<std::string> expected = {"bin\\app.dll", "bin\\other.dll"};
    EXPECT_EQ(names_of(app.path(), "bin/app.dll"), expected);
    EXPECT_EQ(names_of(app.path(), "bin\\app.dll"), expected);
}

TEST(ArchiveStream, DataStreamsAcrossChunksUnchanged)
{
    scratch_folder app;
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 2654435761u >> 13);
    }
    app.put("main.dll", big);
    std::string stream = stream_of(app.path(), "main.dll");
    EXPECT_EQ(stream.size(), 2 * 9 + 8 + big.size() + 2);
    EXPECT_TRUE(stream.substr(26, big.size()) == big);
}

TEST(Names, Utf8BecomesUtf16WithSurrogatePairs)
{
    EXPECT_EQ(utf8_to_utf16("a\xC3\xA9"), std::u16string(u"a\u00E9"));
    EXPECT_EQ(utf8_to_utf16("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"), std::u16string(u"\u65E5\u672C\u8A9E"));
    EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x98\x80"), std::u16string({0xD83D, 0xDE00}));
    for (const char* bad : {"\xFF", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
        EXPECT_FALSE(utf8_to_utf16(bad)) << bad;
    }
    EXPECT_EQ(utf16_to_utf8(u"a\u00E9\U0001F600"), "a\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(Names, TheRulesOfANameAsATable)
{
    struct name_case {
        std::u16string name;
        std::string problem;
    };
    const std::string too_long = "is longer than 1,023 UTF-16 units (1024)";
    const std::string component = "has an empty, \".\" or \"..\" component";
    const name_case cases[] = {
        {u"main.dll", ""},
        {u"d\\e\\f.txt", ""},
        {std::u16string(1023, u'n'), ""},
        {std::u16string(1024, u'n'), too_long},
        {u"\\x.dll", "starts with a backslash"},
        {u"C:x.dll", "starts with a drive"},
        {u"C:\\x.dll", "starts with a drive"},
        {u"a\\\\b", component},
        {u"a\\", component},
        {u".\\a", component},
        {u"a\\..\\b", component},
        {u"..", component},
        {u"", component},
        {u"ab:c", "holds a character that Windows does not allow in file names"},
        {u"a?b", "holds a character that Windows does not allow in file names"},
        {u"a\tb", "holds a character that Windows does not allow in file names"},
        {u"file.txt:s", "holds a character that Windows does not allow in file names"},
        {u"a/b", "holds a character that Windows does not allow in file names"},
        {u"dot.", "has a component that ends in a dot or a blank, which Windows would drop"},
        {u"sub \\x", "has a component that ends in a dot or a blank, which Windows would drop"},
        {u"NUL", "has a component that Windows takes for a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9)"},
        {u"d\\nul.txt", "has a component that Windows takes for a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9)"},
        {u"Com1.log", "has a component that Windows takes for a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9)"},
        {u"lpt\u00b9", "has a component that Windows takes for a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9)"},
        {u"console.log", ""},
        {u"COM10", ""},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(name_problem(each.name), each.problem) << utf16_to_utf8(each.name);
    }
}

TEST(Refusals, EachBadInputIsRefusedWithItsLine)
{
    scratch_folder app;
    app.put("main.dll", "MZ");
    EXPECT_EQ(refusal([&] { collect_entries(app.path() / "nowhere", "main.dll"); }),
              "application folder '" + (app.path() / "nowhere").string() + "' does not exist or is not a folder");
    EXPECT_EQ(refusal([&] { collect_entries(app.path(), "other.dll"); }),
              "main module 'other.dll' not found in '" + app.path().string() + "'");
    EXPECT_EQ(refusal([&] { collect_entries(app.path(), "../main.dll"); }),
              "name '..\\main.dll' has an empty, \".\" or \"..\" component");
    EXPECT_EQ(refusal([&] { collect_entries(app.path(), "/main.dll"); }), "name '\\main.dll' starts with a backslash");
    EXPECT_EQ(refusal([&] { collect_entries(app.path(), "C:main.dll"); }), "name 'C:main.dll' starts with a drive");

    struct file_case {
        std::string file;
        std::string line;
    };
    std::string deep, deep_name;
    for (char letter : std::string("defgh")) {
        deep += std::string(250, letter) + "/";
        deep_name += std::string(250, letter) + "\\";
    }
    deep += "x.txt";
    deep_name += "x.txt";
    const file_case cases[] = {
        {"\\lead.txt", "name '\\lead.txt' starts with a backslash"},
        {"C:drive.txt", "name 'C:drive.txt' starts with a drive"},
        {"a\\\\b.txt", "name 'a\\\\b.txt' has an empty, \".\" or \"..\" component"},
        {"..\\up.txt", "name '..\\up.txt' has an empty, \".\" or \"..\" component"},
        {deep, "name '" + deep_name + "' is longer than 1,023 UTF-16 units (1260)"},
        {"bad\xFFname.txt", "name 'bad\xFFname.txt' is not valid UTF-8"},
    };
    for (const auto& each : cases) {
        scratch_folder one;
        one.put("main.dll", "MZ");
        one.put(each.file, "x");
        EXPECT_EQ(refusal([&] { collect_entries(one.path(), "main.dll"); }), each.line) << each.file;
    }
}

TEST(Refusals, NamesThatDifferOnlyByCaseAreRefusedNamingBoth)
{
    struct collision_case {
        std::vector<std::string> files;
        std::string line;
    };
    const std::string tail = "' differ only by case: Windows would unpack them as one";
    const collision_case cases[] = {
        {{"Readme.txt", "README.TXT"}, "names 'README.TXT' and 'Readme.txt" + tail},
        {{"d/a.txt", "D/b.txt"}, "names 'D' and 'd" + tail},
        {{"data", "DATA/x.txt"}, "names 'data' and 'DATA" + tail},
        // Beyond ASCII: the simple upper-case mapping folds é to É and ж to Ж.
        {{"caf\xC3\xA9.txt", "CAF\xC3\x89.txt"}, "names 'CAF\xC3\x89.txt' and 'caf\xC3\xA9.txt" + tail},
        {{"\xD0\xB6", "\xD0\x96"}, "names '\xD0\x96' and '\xD0\xB6" + tail},
    };
    for (const auto& each : cases) {
        scratch_folder app;
        app.put("main.dll", "MZ");
        for (const auto& file : each.files) {
            app.put(file, "x");
        }
        EXPECT_EQ(refusal([&] { collect_entries(app.path(), "main.dll"); }), each.line) << each.files[0];
    }
    scratch_folder distinct;
    distinct.put("main.dll", "MZ");
    distinct.put("a.txt", "1");
    distinct.put("b/a.txt", "2");
    EXPECT_EQ(collect_entries(distinct.path(), "main.dll").size(), 3u);
}

TEST(Links, ALinkInsideTheFolderIsPackedAsWhatItLeadsTo)
{
    scratch_folder app;
    app.put("main.dll", "MZ");
    app.put("real/data.bin", "payload");
    fs::create_symlink("real/data.bin", app.path() / "alias.bin");
    fs::create_symlink("real", app.path() / "linked");
    fs::create_symlink("../real/data.bin", app.path() / "real" / "again.bin");
    std::vector<archive_entry> entries = collect_entries(app.path(), "main.dll");
    std::vector<std::u16string> names;
    for (const auto& entry : entries) {
        names.push_back(entry.name);
    }
    const std::vector<std::u16string> expected = {u"main.dll", u"alias.bin", u"linked\\again.bin",
                                                  u"linked\\data.bin", u"real\\again.bin", u"real\\data.bin"};
    EXPECT_EQ(names, expected);
    std::string stream = stream_of(app.path(), "main.dll");
    EXPECT_NE(stream.find("payload"), std::string::npos);
    // The link's entry carries the size of the file it leads to: its name, the zero unit, then
    // the 8-byte size.
    const std::u16string alias = u"alias.bin";
    std::string name_bytes(reinterpret_cast<const char*>(alias.data()), alias.size() * 2);
    name_bytes += std::string(2, '\0');
    size_t at = stream.find(name_bytes);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(le_read(reinterpret_cast<const unsigned char*>(stream.data()) + at + name_bytes.size(), 8), 7u);
}

TEST(Links, ALinkThatLeavesTheFolderOrLeadsNowhereIsRefusedNamingIt)
{
    scratch_folder outside;
    outside.put("secret.txt", "not for the executable");
    struct link_case {
        std::string link;
        fs::path target;
        std::string why;
    };
    const link_case cases[] = {
        {"out.txt", outside.path() / "secret.txt", "a symbolic link that leads outside the application folder"},
        {"sub/up", "../..", "a symbolic link that leads outside the application folder"},
        {"folder", outside.path(), "a symbolic link that leads outside the application folder"},
        {"dangling", "nothing-here", "a symbolic link that leads nowhere (dangling or a loop)"},
        {"loop", "loop", "a symbolic link that leads nowhere (dangling or a loop)"},
        {"main.dll", outside.path() / "secret.txt", "a symbolic link that leads outside the application folder"},
    };
    for (const auto& each : cases) {
        scratch_folder app;
        if (each.link != "main.dll") {
            app.put("main.dll", "MZ");
        }
        fs::create_directories((app.path() / each.link).parent_path());
        fs::create_symlink(each.target, app.path() / each.link);
        EXPECT_EQ(refusal([&] { collect_entries(app.path(), "main.dll"); }),
                  "cannot pack '" + (app.path() / each.link).string() + "': " + each.why)
            << each.link;
    }
}

// The swap happens while the pack runs: the main module is large enough that the compressor
// reports progress before the later files are read, and the first report makes the swap. A
// file, a folder above it, or the file turned into a pipe: each is refused naming the path
// that was listed, and no block appears.
TEST(Links, AFileReplacedAfterTheListingIsRefusedAndNothingIsWritten)
{
    scratch_folder outside;
    outside.put("secret.txt", "SECRET");
    outside.put("dir/data.txt", "SECRET");
    struct swap_case {
        std::string what;
        std::string listed;  // the path named in the refusal
        std::function<void(const fs::path& app)> swap;
    };
    const swap_case cases[] = {
        {"a link in place of the file", "sub/data.txt",
         [&](const fs::path& app) {
             fs::remove(app / "sub/data.txt");
             fs::create_symlink(outside.path() / "secret.txt", app / "sub/data.txt");
         }},
        {"a link in place of its folder", "sub/data.txt",
         [&](const fs::path& app) {
             fs::rename(app / "sub", app / "old-sub");
             fs::create_symlink(outside.path() / "dir", app / "sub");
         }},
        {"another file renamed over it", "sub/data.txt",
         [&](const fs::path& app) {
             std::ofstream(app / "other.txt", std::ios::binary) << "OTHER!";
             fs::rename(app / "other.txt", app / "sub/data.txt");
         }},
        {"a pipe in place of the file", "sub/data.txt",
         [&](const fs::path& app) {
             fs::remove(app / "sub/data.txt");
             ASSERT_EQ(::mkfifo((app / "sub/data.txt").c_str(), 0600), 0);
         }},
    };
    for (const auto& each : cases) {
        scratch_folder app;
        scratch_folder out;
        app.put("main.dll", "MZ" + std::string(3 << 20, 'm'));
        app.put("sub/data.txt", "public");
        block_options options;
        bool swapped = false;
        options.progress = [&](uint64_t, uint64_t) {
            if (!swapped) {
                swapped = true;
                each.swap(app.path());
            }
        };
        const std::string line = refusal([&] { write_block_file(app.path(), options, out.path() / "block"); });
        EXPECT_TRUE(swapped) << each.what;
        EXPECT_EQ(line, "cannot pack '" + (app.path() / each.listed).string() +
                            "': it was replaced after it was listed (another file or a link stands at its path)")
            << each.what;
        EXPECT_TRUE(fs::is_empty(out.path())) << each.what;
    }
}

TEST(Refusals, AMainModuleForAnotherMachineIsRefusedAnythingElseIsPacked)
{
    using namespace test_images;
    std::string lying_offset = x64_image(dll_flags);
    put_u32(lying_offset, 0x3C, 0x7FFFFFF0);
    struct module_case {
        std::string main_name;
        std::string bytes;
        architecture arch;
        std::string line;  // empty: packed
    };
    const module_case cases[] = {
        {"main.dll", x64_image(dll_flags), architecture::x86,
         "main module 'main.dll' is a 64-bit (x64) DLL; this pack is for x86"},
        {"main.dll", x86_image(dll_flags), architecture::x64,
         "main module 'main.dll' is a 32-bit (x86) DLL; this pack is for x64"},
        {"bin\\app.exe", x64_image(exe_flags), architecture::x86,
         "main module 'bin\\app.exe' is a 64-bit (x64) executable; this pack is for x86"},
        {"main.dll", image(arm64, pe32_plus, pe32_plus_optional_size, dll_flags), architecture::x64,
         "main module 'main.dll' is a DLL for machine 0xaa64; this pack is for x64"},
        {"main.dll", x86_image(dll_flags), architecture::x86, ""},
        {"main.dll", x64_image(dll_flags), architecture::x64, ""},
        // Not PE images at all: the launcher's load error is what the end-to-end tests want.
        {"main.dll", "MZ\n", architecture::x64, ""},
        {"main.dll", "a text file posing as a DLL\n", architecture::x86, ""},
        {"main.dll", lying_offset, architecture::x86, ""},
        {"main.dll", "", architecture::x64, ""},
    };
    for (const auto& each : cases) {
        scratch_folder app;
        scratch_folder out;
        std::string relative = each.main_name;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        app.put(relative, each.bytes);
        block_options options;
        options.main_name = each.main_name;
        options.arch = each.arch;
        options.level = 1;
        const std::string line = refusal([&] { write_block_file(app.path(), options, out.path() / "block"); });
        EXPECT_EQ(each.line.empty() ? "<no refusal>" : each.line, line) << each.main_name;
        EXPECT_EQ(each.line.empty(), fs::exists(out.path() / "block")) << line;
    }
}

TEST(Refusals, AFileThatCannotBeReadIsRefused)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads every file; the command-line test covers this as another user";
    }
    scratch_folder app;
    app.put("main.dll", "MZ");
    app.put("secret.txt", "x");
    fs::permissions(app.path() / "secret.txt", fs::perms::none);
    EXPECT_EQ(refusal([&] { collect_entries(app.path(), "main.dll"); }),
              "cannot read '" + (app.path() / "secret.txt").string() + "': Permission denied");
}

TEST(Window, TheSmallestPowerOfTwoThatHoldsTheStreamFrom2To10To2To27)
{
    const std::pair<uint64_t, int> cases[] = {{0, 10},       {49, 10},           {1024, 10},
                                              {1025, 11},    {1u << 26, 26},     {(1u << 26) + 1, 27},
                                              {1u << 27, 27}, {uint64_t{1} << 40, 27}};
    for (const auto& each : cases) {
        EXPECT_EQ(window_log_for(each.first), each.second) << each.first;
    }
}

namespace {

struct written_block {
    std::string bytes;
    frame_header_info header;
    std::string frame;
};

written_block pack_block(const fs::path& app, const block_options& options)
{
    scratch_folder out;
    write_block_file(app, options, out.path() / "block");
    written_block block;
    block.bytes = file_bytes(out.path() / "block");
    block.header = parse_frame_header(reinterpret_cast<const unsigned char*>(block.bytes.data()) + 3, block.bytes.size() - 3);
    uint64_t trailer = 0;
    for (int i = 7; i >= 0; --i) {
        trailer = (trailer << 8) | static_cast<unsigned char>(block.bytes[block.bytes.size() - 8 + i]);
    }
    EXPECT_EQ(trailer, block.bytes.size() - 8);
    EXPECT_EQ(block.bytes.size() % 8, 0u);
    size_t frame_size = ZSTD_findFrameCompressedSize(block.bytes.data() + 3, block.bytes.size() - 3);
    EXPECT_FALSE(ZSTD_isError(frame_size));
    block.frame = block.bytes.substr(3, frame_size);
    EXPECT_LT(block.bytes.size() - 8 - 3 - frame_size, 8u);
    EXPECT_EQ(block.bytes.substr(3 + frame_size, block.bytes.size() - 8 - 3 - frame_size).find_first_not_of('\0'),
              std::string::npos);
    return block;
}

}  // namespace

TEST(Block, MagicOneFrameWithoutContentSizePaddingAndTrailer)
{
    scratch_folder app;
    app.put("a.dll", "abc");
    app.put("d/b.txt", "");
    block_options options;
    options.main_name = "a.dll";
    written_block block = pack_block(app.path(), options);
    EXPECT_EQ(block.bytes.substr(0, 3), "XJQ");
    EXPECT_TRUE(block.header.checksum);
    EXPECT_FALSE(block.header.content_size);
    EXPECT_EQ(block.header.window_descriptor, 0x00u);
    EXPECT_EQ(block.header.window_size, 1024u);
    EXPECT_EQ(decompress(block.frame), stream_of(app.path(), "a.dll"));
}

TEST(Block, OptionsSetTheWindowAndTheChecksum)
{
    scratch_folder app;
    app.put("main.dll", std::string(5000, 'x'));
    block_options options;
    options.checksum = false;
    options.window_log = 27;
    written_block block = pack_block(app.path(), options);
    EXPECT_FALSE(block.header.checksum);
    EXPECT_EQ(block.header.window_descriptor, 0x88u);
    EXPECT_EQ(block.bytes[3 + 4], '\0');  // frame header descriptor: nothing but the window
    EXPECT_EQ(decompress(block.frame), stream_of(app.path(), "main.dll"));
    options = block_options{};
    EXPECT_EQ(pack_block(app.path(), options).header.window_descriptor, (13u - 10u) << 3);
}

TEST(Block, TheSameFolderGivesTheSameBytesWhateverTheNumberOfWorkers)
{
    // Several jobs at once either way: zstd's own jobs of 4 MiB from a window of 2^20, and the
    // packer's jobs of 32 MiB in a stream past the one-job limit, with the window chosen for it.
    const std::pair<size_t, int> cases[] = {{10'000'000, 20}, {single_job_limit + 8'000'000, 0}};
    for (const auto& [size, window_log] : cases) {
        scratch_folder app;
        std::string text;
        for (int i = 0; text.size() < size; ++i) {
            text += "line " + std::to_string(i * 7919 % 100003) + " of a compressible text file\n";
        }
        app.put("main.dll", text);
        app.put("data/more.txt", text.substr(0, 1'000'000));
        text.clear();
        block_options options;
        options.level = 3;
        options.window_log = window_log;
        options.workers = 1;
        written_block one = pack_block(app.path(), options);
        EXPECT_EQ(decompress(one.frame), stream_of(app.path(), "main.dll")) << size;
        options.workers = 3;
        EXPECT_TRUE(pack_block(app.path(), options).bytes == one.bytes) << size;
        EXPECT_TRUE(pack_block(app.path(), options).bytes == one.bytes) << size;
    }
}

TEST(Jobs, OneJobUpTo64MiBThenJobsOf32MiB)
{
    const std::pair<uint64_t, int> cases[] = {{0, 0},
                                              {52'490'186, 0},
                                              {uint64_t{64} << 20, 0},
                                              {(uint64_t{64} << 20) + 1, 32 << 20},
                                              {uint64_t{1} << 40, 32 << 20}};
    for (const auto& each : cases) {
        EXPECT_EQ(job_size_for(each.first), each.second) << each.first;
    }
}

TEST(Block, NothingIsLeftBehindWhenTheInputIsRefused)
{
    scratch_folder app;
    scratch_folder out;
    app.put("other.dll", "MZ");
    EXPECT_NE(refusal([&] { write_block_file(app.path(), block_options{}, out.path() / "block"); }), "<no refusal>");
    EXPECT_TRUE(fs::is_empty(out.path()));
}

namespace {

// A launcher made of the test stub (test_images.h) around `block`, as a pack makes it.
void pack_test_launcher(const fs::path& block, const fs::path& exe, architecture arch = architecture::x64,
                        const std::map<std::string, std::string>& options = {})
{
    launcher_stub stub;
    stub.arch = arch;
    stub.bytes = arch == architecture::x64 ? test_images::made_stub(test_images::amd64, test_images::pe32_plus)
                                           : test_images::made_stub(test_images::i386, test_images::pe32);
    pack_executable(block, exe, identity_from_options(options), stub);
}

// Where the launcher finds the block in a pack of the test stub: the place, moved to the file's
// first page boundary after the headers, then the place's constants.
constexpr uint64_t packed_block_offset = test_images::packed_place_raw + place_block;

}  // namespace

TEST(Inspect, ListsEntriesAndFrameFieldsOfABlockAndOfALauncherThatCarriesOne)
{
    scratch_folder app;
    app.put("a.dll", "abc");
    app.put("d/b.txt", "");
    scratch_folder out;
    block_options options;
    options.main_name = "a.dll";
    write_block_file(app.path(), options, out.path() / "block");
    pack_test_launcher(out.path() / "block", out.path() / "launcher.exe");
    for (const char* file : {"block", "launcher.exe"}) {
        std::ostringstream report;
        inspect_file(out.path() / file, report);
        std::string text = report.str();
        EXPECT_NE(text.find("window: 1024 bytes (descriptor 0x00)"), std::string::npos) << text;
        EXPECT_NE(text.find("checksum: yes"), std::string::npos) << text;
        EXPECT_NE(text.find("content size: not stored"), std::string::npos) << text;
        EXPECT_NE(text.find("             3  a.dll\n             0  d\\b.txt\n"), std::string::npos) << text;
        EXPECT_NE(text.find("2 entries, 3 bytes of data, archive stream 49 bytes"), std::string::npos) << text;
        EXPECT_NE(text.find("(matches)"), std::string::npos) << text;
    }
}

TEST(Inspect, ALauncherNamesItsArchitectureRightAfterWhereItsBlockIs)
{
    scratch_folder app;
    app.put("main.dll", "MZ");
    scratch_folder out;
    write_block_file(app.path(), block_options{}, out.path() / "block");
    const std::pair<architecture, std::string> cases[] = {
        {architecture::x86, "architecture: x86 (PE32, machine 0x014c)\n"},
        {architecture::x64, "architecture: x64 (PE32+, machine 0x8664)\n"},
    };
    for (const auto& [arch, line] : cases) {
        const fs::path exe = out.path() / (std::string(traits_of(arch).name) + ".exe");
        pack_test_launcher(out.path() / "block", exe, arch);
        std::ostringstream report;
        inspect_file(exe, report);
        const std::string text = report.str();
        const std::string first = "block at offset " + std::to_string(packed_block_offset) + " of '" + exe.string() + "'\n";
        EXPECT_EQ(first + line, text.substr(0, first.size() + line.size())) << text;
        EXPECT_NE(text.find("\nframe: "), std::string::npos) << text;
    }
}

// A file that is no block and no launcher, or a launcher whose place is damaged, is one line:
// the block is looked for only where the launcher reads it.
TEST(Inspect, AFileWithoutAPlaceOrWithADamagedOneIsRefusedWithOneLine)
{
    scratch_folder app;
    app.put("main.dll", "MZ");
    scratch_folder out;
    write_block_file(app.path(), block_options{}, out.path() / "block");
    const std::string block = file_bytes(out.path() / "block");
    pack_test_launcher(out.path() / "block", out.path() / "good.exe");
    const std::string good = file_bytes(out.path() / "good.exe");
    const uint64_t place = test_images::packed_place_raw;
    struct damage_case {
        std::string what;
        std::function<std::string()> bytes;
        std::string line;
    };
    const damage_case cases[] = {
        {"a block after other bytes", [&] { return "MZ some code " + block; },
         "is neither a block (no \"XJQ\" at its start) nor a launcher executable (no PE header)"},
        {"an image without .veldra", [&] { return test_images::x64_image(0x0022, 64) + block; },
         "the executable has no .veldra section: no launcher made by the packer"},
        {"a place without its magic",
         [&] {
             std::string bytes = good;
             bytes[place] = 'X';
             return bytes;
         },
         "the .veldra section does not start with the place's magic and its texts"},
        {"a block length past the section",
         [&] {
             std::string bytes = good;
             test_images::put_u32(bytes, place + place_size_field, 0xFFFFFFF0u);
             return bytes;
         },
         "the place gives the block 4294967280 bytes, more than the .veldra section holds"},
        {"a file cut inside the section", [&] { return good.substr(0, place + 100); },
         "the .veldra section runs past the end of the file"},
    };
    for (const auto& each : cases) {
        std::ofstream(out.path() / "damaged.exe", std::ios::binary | std::ios::trunc) << each.bytes();
        std::ostringstream report;
        std::string line = "<no refusal>";
        try {
            inspect_file(out.path() / "damaged.exe", report);
        } catch (const damaged_file& error) {
            line = error.what();
        }
        EXPECT_NE(line.find(each.line), std::string::npos) << each.what << ": " << line;
        EXPECT_EQ(line.find('\n'), std::string::npos) << each.what;
    }
}

namespace {

// "XJQ", one frame of raw blocks with the given window descriptor, padding and trailer: the
// shape of a block made by hand, with no encoder involved.
std::string crafted_block(const std::string& stream, unsigned char window_descriptor = 0x38)
{
    std::string frame = std::string("\x28\xB5\x2F\xFD", 4) + '\0' + static_cast<char>(window_descriptor);
    size_t at = 0;
    do {
        size_t size = std::min<size_t>(stream.size() - at, 65536);
        uint32_t header = (at + size == stream.size() ? 1u : 0u) | static_cast<uint32_t>(size << 3);
        frame += std::string{static_cast<char>(header & 0xFF), static_cast<char>((header >> 8) & 0xFF),
                             static_cast<char>(header >> 16)};
        frame += stream.substr(at, size);
        at += size;
    } while (at < stream.size());
    std::string block = "XJQ" + frame;
    block.append((8 - block.size() % 8) % 8, '\0');
    uint64_t length = block.size();
    for (int i = 0; i < 8; ++i) {
        block += static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    return block;
}

std::string stream_entry(const std::u16string& name, const std::string& data)
{
    std::string bytes;
    for (char16_t unit : name) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    bytes.append(2, '\0');
    for (int i = 0; i < 8; ++i) {
        bytes += static_cast<char>((static_cast<uint64_t>(data.size()) >> (8 * i)) & 0xFF);
    }
    return bytes + data;
}

// The report of a crafted block, and the refusal it ended with ("" when none).
std::pair<std::string, std::string> inspect_crafted(const std::string& block)
{
    scratch_folder out;
    std::ofstream(out.path() / "crafted.block", std::ios::binary) << block;
    std::ostringstream report;
    std::string refused;
    try {
        inspect_file(out.path() / "crafted.block", report);
    } catch (const packer_error& error) {
        refused = error.what();
    }
    return {report.str(), refused};
}

}  // namespace

TEST(Inspect, ControlCharactersInANameAreShownEscapedOnOneLine)
{
    const std::string stream = stream_entry(u"main.dll", "MZ") +
                               stream_entry(u"evil\x1b[2J\nfake  line\x7f\x85\xD800.txt", "x") + std::string(2, '\0');
    auto [report, refused] = inspect_crafted(crafted_block(stream));
    EXPECT_EQ(refused, "");
    EXPECT_NE(report.find("             1  evil\\x1B[2J\\x0Afake  line\\x7F\\x85\\uD800.txt\n"), std::string::npos)
        << report;
    EXPECT_EQ(report.find('\x1b'), std::string::npos);
    // In JSON the same name is one string: quotes and backslashes too are escaped there.
    scratch_folder out;
    std::ofstream(out.path() / "crafted.block", std::ios::binary) << crafted_block(stream);
    std::ostringstream json;
    inspect_file_json(out.path() / "crafted.block", json);
    // U+0085 is plain text in JSON, which has no C1 escapes to fear.
    EXPECT_NE(json.str().find(R"({"name": "evil\u001b[2J\u000afake  line\u007f)" "\xC2\x85" R"(\ud800.txt", "size": 1})"),
              std::string::npos)
        << json.str();
}

TEST(Inspect, ANameOfMoreThan1023UnitsIsRefusedWithOneLine)
{
    for (size_t units : {size_t{1023}, size_t{1024}, size_t{200000}}) {
        const std::string stream =
            stream_entry(u"main.dll", "MZ") + stream_entry(std::u16string(units, u'n'), "") + std::string(2, '\0');
        auto [report, refused] = inspect_crafted(crafted_block(stream));
        if (units == 1023) {
            EXPECT_EQ(refused, "") << units;
            EXPECT_NE(report.find("2 entries"), std::string::npos) << report;
        } else {
            EXPECT_EQ(refused, "entry 2 has a name longer than 1,023 UTF-16 units, which the launcher cannot take")
                << units;
        }
    }
}

TEST(Inspect, AWindowLargerThan2To27IsRefusedBeforeAnythingIsDecoded)
{
    const std::string stream = stream_entry(u"main.dll", "MZ") + std::string(2, '\0');
    // Descriptor 0x88: 2^27 exactly, the largest the launcher takes; 0x89 is 2^27 + 2^24.
    EXPECT_EQ(inspect_crafted(crafted_block(stream, 0x88)).second, "");
    const std::pair<unsigned char, std::string> refused[] = {
        {0x89, "150994944 bytes"},
        {0xF8, "2199023255552 bytes"},
    };
    for (const auto& [descriptor, size] : refused) {
        auto [report, line] = inspect_crafted(crafted_block(stream, descriptor));
        EXPECT_EQ(line, "the frame asks for a window of " + size +
                            ", more than the 134217728 bytes (2^27) the launcher decodes");
        EXPECT_EQ(report.find("entries:"), std::string::npos) << report;
    }
}

// A block-like run of bytes before .veldra, as someone could put into the padding of a
// launcher: inspect lists what the launcher runs, from the place, never the fake.
TEST(Inspect, AFakeBlockBeforeTheVeldraSectionIsNotTaken)
{
    scratch_folder app;
    app.put("main.dll", "MZ");
    app.put("real.txt", "real");
    scratch_folder out;
    write_block_file(app.path(), block_options{}, out.path() / "block");
    pack_test_launcher(out.path() / "block", out.path() / "launcher.exe");
    std::string bytes = file_bytes(out.path() / "launcher.exe");
    const std::string fake = crafted_block(stream_entry(u"evil.dll", "MZ") + std::string(2, '\0'));
    ASSERT_LE(test_images::place_raw + fake.size(), test_images::packed_place_raw);
    ASSERT_EQ(bytes.find_first_not_of('\0', test_images::place_raw), test_images::packed_place_raw);
    bytes.replace(test_images::place_raw, fake.size(), fake);
    std::ofstream(out.path() / "launcher.exe", std::ios::binary | std::ios::trunc) << bytes;
    std::ostringstream report;
    inspect_file(out.path() / "launcher.exe", report);
    const std::string text = report.str();
    EXPECT_EQ(text.find("evil.dll"), std::string::npos) << text;
    EXPECT_NE(text.find("  main.dll\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  real.txt\n"), std::string::npos) << text;
}

// The shown case: a cached pack's table length edited to 0xFFFFFFF0. The length is bounded by
// the section before anything of it is read, so the refusal costs no memory to speak of.
TEST(Inspect, AnEditedFileTableLengthIsOneLineWithoutAllocatingIt)
{
    scratch_folder app;
    app.put("main.dll", "MZ");
    scratch_folder out;
    write_block_file(app.path(), block_options{}, out.path() / "block");
    pack_test_launcher(out.path() / "block", out.path() / "cached.exe", architecture::x64,
                       {{"--unpack-mode", "cached"}, {"--execution-level", "asInvoker"}});
    std::string bytes = file_bytes(out.path() / "cached.exe");
    const uint64_t table = packed_block_offset + file_table_offset(fs::file_size(out.path() / "block"));
    ASSERT_EQ(bytes.compare(table, file_table_magic_size, reinterpret_cast<const char*>(file_table_magic),
                            file_table_magic_size), 0);
    test_images::put_u32(bytes, table + 20, 0xFFFFFFF0u);
    std::ofstream(out.path() / "cached.exe", std::ios::binary | std::ios::trunc) << bytes;
    struct rusage before {};
    ::getrusage(RUSAGE_SELF, &before);
    std::ostringstream report;
    std::string line = "<no refusal>";
    try {
        inspect_file(out.path() / "cached.exe", report);
    } catch (const damaged_file& error) {
        line = error.what();
    }
    struct rusage after {};
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(line, "the file table's length or count runs past what it may hold");
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB more at the peak";
    EXPECT_NE(report.str().find("1 entries"), std::string::npos) << report.str();
}

// Names Windows takes for one are one file there: extract writes a later spelling into the
// earlier one's file and folder, as the launcher's unpack does, and a repeated name writes the
// file again.
TEST(Extract, NamesThatDifferOnlyByCaseLandWhereWindowsPutsThem)
{
    const std::string stream = stream_entry(u"main.dll", "MZ") + stream_entry(u"Data\\a.txt", "first") +
                               stream_entry(u"data\\b.txt", "second") + stream_entry(u"DATA\\A.TXT", "third") +
                               stream_entry(u"main.dll", "MZ again") + std::string(2, '\0');
    scratch_folder out;
    std::ofstream(out.path() / "crafted.block", std::ios::binary) << crafted_block(stream);
    extract_block(out.path() / "crafted.block", out.path() / "unpacked");
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(out.path() / "unpacked")) {
        files.push_back(fs::relative(entry.path(), out.path() / "unpacked").string());
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"Data", "Data/a.txt", "Data/b.txt", "main.dll"}));
    EXPECT_EQ(file_bytes(out.path() / "unpacked/Data/a.txt"), "third");
    EXPECT_EQ(file_bytes(out.path() / "unpacked/main.dll"), "MZ again");
}
