// The packer's side of the cached unpack mode: the option and its refusals, the template rules
// of a folder that outlives the run, and the file table made from the block.
#include "block_writer.h"
#include "error.h"
#include "file_table_writer.h"
#include "identity.h"
#include "payload/block_format.h"
#include "scratch_folder.h"
#include "template_check.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#define XXH_INLINE_ALL
#include "xxhash.h"

using namespace packer;

namespace {

const template_build_values this_build = {u"Quendle Forge", u"Brellum", u"3.198.0", u"3.198.0", u"3.198.0"};

std::string refusal_of(const std::map<std::string, std::string>& given)
{
    try {
        identity_from_options(given);
    } catch (const packer_error& error) {
        return error.what();
    }
    return "(accepted)";
}

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

uint64_t number_at(const std::string& bytes, size_t offset, size_t count)
{
    return le_read(reinterpret_cast<const unsigned char*>(bytes.data()) + offset, count);
}

struct listed_file {
    std::u16string name;
    uint64_t size;
    uint64_t hash;
};

// The entries of a table the packer made, read by its layout.
std::vector<listed_file> entries_of(const std::string& table)
{
    std::vector<listed_file> files;
    size_t at = file_table_header_size;
    for (uint64_t i = 0; i < number_at(table, 16, 4); ++i) {
        listed_file file{u"", number_at(table, at, 8), number_at(table, at + 8, 8)};
        const size_t units = number_at(table, at + 16, 2);
        for (size_t u = 0; u < units; ++u) {
            file.name += static_cast<char16_t>(number_at(table, at + file_table_entry_fixed_size + 2 * u, 2));
        }
        files.push_back(file);
        at += file_table_entry_fixed_size + 2 * units;
    }
    EXPECT_EQ(at, table.size());
    return files;
}

}  // namespace

TEST(CachedMode, TemplatesOfACachedFolderNeedThePayloadHashInTheirLastComponent)
{
    const std::u16string accepted[] = {
        cached_unpack_template,
        u"{TEMP}\\cache\\{PAYLOAD_HASH}",
        u"{HOME}\\.app\\{VERSION}-{payload_hash}",
    };
    for (const auto& text : accepted) {
        EXPECT_EQ("", unpack_template_problem(text, this_build, true)) << std::string(text.begin(), text.end());
    }
    struct refusal {
        std::u16string text;
        bool cached;
        std::string reason;
    };
    const refusal refusals[] = {
        {u"{CACHE_DIR}\\{PAYLOAD_HASH}\\app", true,
         "template '{CACHE_DIR}\\{PAYLOAD_HASH}\\app' does not name a folder of this payload: with --unpack-mode "
         "cached its last path component must hold {PAYLOAD_HASH}"},
        {u"{TEMP}\\{PRODUCT}", true, "does not name a folder of this payload"},
        {u"{TEMP}\\{PAYLOAD_HASH}_{PID}", true,
         "has {PID} in its last path component: a cached folder must have the same name at every start"},
        {u"{TEMP}\\{RANDOM}{PAYLOAD_HASH}", true, "has {RANDOM} in its last path component"},
        {u"{TEMP}\\{PAYLOAD_HASH}{HOME}", true, "has {HOME} in its last path component"},
        {u"{TEMP}\\{PAYLOAD_HASH}\\..", true, "has the path component '..'"},
        // a folder others may write to, or none of the user's at all
        {u"{PROGRAM_DIR}\\cache\\{PAYLOAD_HASH}", true,
         "template '{PROGRAM_DIR}\\cache\\{PAYLOAD_HASH}' does not begin with a folder of the user's own: with "
         "--unpack-mode cached it must begin with {CACHE_DIR}, {HOME} or {TEMP}"},
        {u"C:\\Users\\Public\\{PAYLOAD_HASH}", true, "does not begin with a folder of the user's own"},
        {u"\\\\server\\share\\{PAYLOAD_HASH}", true, "does not begin with a folder of the user's own"},
        {u"{PAYLOAD_HASH}", true, "does not begin with a folder of the user's own"},
        {u"x{CACHE_DIR}\\{PAYLOAD_HASH}", true, "does not begin with a folder of the user's own"},
        // the siblings it is unpacked into and moved aside to add 18 characters
        {u"{TEMP}\\" + std::u16string(4060, u'a') + u"\\{PAYLOAD_HASH}", true,
         "expands to more than 4,095 characters"},
        // a per-run pack carries no hash
        {u"{TEMP}\\{PAYLOAD_HASH}\\run_{PID}", false,
         "template '{TEMP}\\{PAYLOAD_HASH}\\run_{PID}' holds {PAYLOAD_HASH}, which only --unpack-mode cached gives"},
        {u"{TEMP}\\run_{PID}_{PAYLOAD_HASH}", false, "holds {PAYLOAD_HASH}, which only --unpack-mode cached gives"},
    };
    for (const auto& r : refusals) {
        const std::string problem = unpack_template_problem(r.text, this_build, r.cached);
        EXPECT_NE(std::string::npos, problem.find(r.reason)) << "got: " << problem << "\nwanted: " << r.reason;
    }
    EXPECT_EQ("", unpack_template_problem(u"{TEMP}\\" + std::u16string(4059, u'a') + u"\\{PAYLOAD_HASH}", this_build,
                                          true));
}

TEST(CachedMode, TheOptionGoesWithAnExecutionLevelThatAsksForNoElevation)
{
    const std::string elevation =
        "--unpack-mode cached goes with --execution-level asInvoker: an elevated process must not load from a "
        "folder that its user can change";
    EXPECT_EQ(elevation, refusal_of({{"--unpack-mode", "cached"}}));  // requireAdministrator by default
    EXPECT_EQ(elevation, refusal_of({{"--unpack-mode", "cached"}, {"--execution-level", "highestAvailable"}}));
    EXPECT_EQ(elevation, refusal_of({{"--unpack-mode", "cached"}, {"--execution-level", "requireAdministrator"}}));
    EXPECT_EQ("--unpack-mode takes per-run or cached", refusal_of({{"--unpack-mode", "Cached"}}));
    EXPECT_EQ(0u, refusal_of({{"--unpack-mode", "cached"}, {"--execution-level", "asInvoker"},
                              {"--template", "{TEMP}\\x_{PID}"}})
                      .find("template '{TEMP}\\x_{PID}' does not name a folder of this payload"));

    const build_identity cached = identity_from_options({{"--unpack-mode", "cached"}, {"--execution-level", "asInvoker"}});
    EXPECT_TRUE(cached.cached);
    EXPECT_EQ(std::u16string(cached_unpack_template), cached.unpack_template);
    const build_identity per_run = identity_from_options({{"--unpack-mode", "per-run"}});
    EXPECT_FALSE(per_run.cached);
    EXPECT_EQ(build_identity().unpack_template, per_run.unpack_template);
}

TEST(CachedMode, TheTableListsEveryFileWithItsSizeAndHashAfterTheBlocksHash)
{
    scratch_folder app;
    const std::string big(300000, 'z');
    app.put("main.dll", "not really a module");
    app.put("data/empty.txt", "");
    app.put("data/big.bin", big);
    const std::filesystem::path block = app.path() / "block.bin";
    block_options options;
    options.workers = 1;
    {
        scratch_folder out;
        write_block_file(app.path(), options, out.path() / "block.bin");
        std::filesystem::copy_file(out.path() / "block.bin", block);
    }
    const std::string table = file_table_of_block(block);
    ASSERT_GE(table.size(), size_t{file_table_header_size});
    EXPECT_EQ(0, table.compare(0, file_table_magic_size, reinterpret_cast<const char*>(file_table_magic),
                               file_table_magic_size));
    const std::string block_bytes = read_file(block);
    EXPECT_EQ(XXH64(block_bytes.data(), block_bytes.size(), 0), number_at(table, 8, 8));
    EXPECT_EQ(table.size(), number_at(table, 20, 4));
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(number_at(table, 8, 8)));
    EXPECT_EQ(digits, payload_hash_of_table(table));

    const std::vector<listed_file> files = entries_of(table);
    ASSERT_EQ(3u, files.size());
    EXPECT_EQ(u"main.dll", files[0].name);
    EXPECT_EQ(19u, files[0].size);
    EXPECT_EQ(XXH64("not really a module", 19, 0), files[0].hash);
    EXPECT_EQ(u"data\\big.bin", files[1].name);
    EXPECT_EQ(big.size(), files[1].size);
    EXPECT_EQ(XXH64(big.data(), big.size(), 0), files[1].hash);
    EXPECT_EQ(u"data\\empty.txt", files[2].name);
    EXPECT_EQ(0u, files[2].size);
    EXPECT_EQ(0xEF46DB3751D8E999u, files[2].hash);
}

TEST(CachedMode, ABlockThatDoesNotDecodeWholeGivesNoTable)
{
    scratch_folder app;
    app.put("main.dll", std::string(5000, 'm'));
    scratch_folder out;
    write_block_file(app.path(), block_options(), out.path() / "block.bin");
    const std::string good = read_file(out.path() / "block.bin");
    struct damage {
        const char* what;
        std::string bytes;
        const char* reason;
    };
    std::string flipped = good;
    flipped[0] = 'Y';
    const damage damaged[] = {
        {"magic", flipped, "does not start with the block magic"},
        {"cut", good.substr(0, good.size() / 2), "ends inside its frame"},
        {"empty", "", "does not start with the block magic"},
        {"garbage", std::string("XJQ") + std::string(64, '\x55'), "does not decode"},
    };
    for (const auto& d : damaged) {
        out.put(d.what, d.bytes);
        try {
            file_table_of_block(out.path() / d.what);
            ADD_FAILURE() << d.what << " was taken";
        } catch (const packer_error& error) {
            const std::string line = error.what();
            EXPECT_EQ(0u, line.find("cannot make the file table of block '")) << line;
            EXPECT_NE(std::string::npos, line.find(d.reason)) << line;
        }
    }
}
