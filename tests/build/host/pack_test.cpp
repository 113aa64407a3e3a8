// The pack step without any tool: where the stub comes from, which stubs are refused, the
// largest block each target carries, and the image made of a stub built here byte by byte.
#include "error.h"
#include "pack.h"
#include "pe_image.h"
#include "stub_image.h"
#include "host_kit.h"
#include "test_images.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace packer;
using namespace test_images;

namespace {

void write_file(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

uint32_t section_table(const std::string& bytes)
{
    return optional_at + get_u16(bytes, signature_at + 20);
}

}  // namespace

TEST(Stub, TheGivenFileFirstThenTheOneBesideThePackerThenTheBuilds)
{
    scratch_folder root;
    const fs::path beside = root.path() / "dist";
    fs::create_directories(beside);
    write_file(beside / "veldra-stub-x64.exe", "stub");
    EXPECT_EQ("veldra-stub-x86.exe", stub_file_name(architecture::x86));
    EXPECT_EQ(fs::path("/my/stub.exe"), find_stub(architecture::x64, "/my/stub.exe", beside, "/out"));
    EXPECT_EQ(beside / "veldra-stub-x64.exe", find_stub(architecture::x64, "", beside, "/out"));
    // Only a file of the target's own name beside the packer counts.
    EXPECT_EQ(fs::path("/out/x86/veldra-stub-x86.exe"), find_stub(architecture::x86, "", beside, "/out"));
    EXPECT_EQ(fs::path("/out/x64/veldra-stub-x64.exe"), find_stub(architecture::x64, "", "", "/out"));
}

TEST(Stub, WhatIsNoStubOfTheTargetIsRefusedWithOneLineNamingIt)
{
    const std::string name = "launcher stub 's.exe'";
    const std::string no_place =
        name + " has no place for the block: its last section is not .veldra with its magic, ending the file";
    const uint32_t table = section_table(made_stub());
    struct stub_case {
        const char* what;
        std::function<void(std::string&)> change;
        architecture arch;
        std::string line;
    };
    const stub_case cases[] = {
        {"as built", [](std::string&) {}, architecture::x64, "<no refusal>"},
        {"no PE image", [](std::string& s) { s = "MZ but nothing else"; }, architecture::x64,
         name + " is not a PE image"},
        {"the other target", [](std::string& s) { s = made_stub(i386, pe32); }, architecture::x64,
         name + " is a 32-bit (x86) executable, not the x64 stub"},
        {"x64 asked of x86", [](std::string&) {}, architecture::x86,
         name + " is a 64-bit (x64) executable, not the x86 stub"},
        {"a DLL", [](std::string& s) { put_u16(s, signature_at + 22, dll_flags); }, architecture::x64,
         name + " is a 64-bit (x64) DLL, not the x64 stub"},
        {"another last section", [=](std::string& s) { s[table + 41] = 'r'; }, architecture::x64, no_place},
        {"no magic", [](std::string& s) { s[place_raw + 7] = 2; }, architecture::x64, no_place},
        {"data after the place", [](std::string& s) { s += "overlay"; }, architecture::x64, no_place},
        {"a place too small", [=](std::string& s) { put_u32(s, table + 48, place_length - 2); }, architecture::x64,
         no_place},
        {"a section table past the end", [](std::string& s) { put_u16(s, signature_at + 6, 900); }, architecture::x64,
         name + " has a damaged section table"},
        {"no room for a header", [](std::string& s) { put_u32(s, optional_at + 60, section_table(s) + 80 + 39); },
         architecture::x64, name + " has no room in its headers for one more section"},
        {"something in that room", [=](std::string& s) { s[table + 80 + 39] = 1; }, architecture::x64,
         name + " has no room in its headers for one more section"},
        {"resources already", [](std::string& s) { put_u32(s, directories_at(pe32_plus) + 16, 0x3000); },
         architecture::x64, name + " already carries resources or a signature"},
        {"a signature already", [](std::string& s) { put_u32(s, directories_at(pe32_plus) + 36, 8); },
         architecture::x64, name + " already carries resources or a signature"},
    };
    for (const auto& each : cases) {
        std::string bytes = made_stub();
        each.change(bytes);
        EXPECT_EQ(each.line, refusal([&] { stub_of_bytes(bytes, "s.exe", each.arch); })) << each.what;
    }
}

TEST(Stub, AMissingStubFileIsRefusedNamingWhereItWasLookedFor)
{
    scratch_folder root;
    const fs::path missing = root.path() / "x64" / "veldra-stub-x64.exe";
    EXPECT_EQ("launcher stub '" + missing.string() + "' not found; run ./veldra build first, or give --stub FILE",
              refusal([&] { read_stub(missing, architecture::x64); }));
}

// Sparse blocks: the size is all that is looked at. A block within the limit gets as far as
// the stub, which is missing here; one beyond it is refused before.
TEST(Pack, ABlockBeyondWhatTheTargetCarriesIsRefusedBeforeTheStubIsRead)
{
    struct limit_case {
        architecture arch;
        uint64_t size;
        std::string line;
    };
    const std::string no_stub = "<no stub>";
    const limit_case cases[] = {
        {architecture::x86, 0x7FFFFFF8, no_stub},
        {architecture::x86, 0x7FFFFFF9, "is larger than a 32-bit executable can carry (2147483640 bytes at most)"},
        {architecture::x64, 0x7EFFFFF8, no_stub},
        {architecture::x64, 0x7EFFFFF9, "is larger than a 64-bit executable can carry (2130706424 bytes at most)"},
        {architecture::x64, 0x7FFFFFF8, "is larger than a 64-bit executable can carry (2130706424 bytes at most)"},
    };
    for (const auto& each : cases) {
        scratch_folder root;
        launcher_stub stub;
        stub.arch = each.arch;
        stub.file = root.path() / "no-stub.exe";
        const fs::path block = root.path() / "sparse.block";
        std::ofstream(block).close();
        fs::resize_file(block, each.size);
        const fs::path output = root.path() / "out.exe";
        const std::string line = refusal([&] { pack_executable(block, output, identity_from_options({}), stub); });
        const std::string expected =
            each.line == no_stub
                ? "launcher stub '" + stub.file.string() + "' not found; run ./veldra build first, or give --stub FILE"
                : "block '" + block.string() + "' " + each.line;
        EXPECT_EQ(expected, line) << each.size;
        EXPECT_FALSE(fs::exists(output));
        for (const auto& entry : fs::directory_iterator(root.path())) {
            EXPECT_TRUE(entry.path() == block) << "left behind: " << entry.path();
        }
    }
}

// The stub's place moves to a page of the file and grows to hold the block, the resources
// follow on the next section boundary, and every header field that says so is set; the stub's
// other bytes stay as they were.
TEST(Pack, TheBlockFillsThePlaceAndTheResourcesBecomeANewLastSection)
{
    for (const auto& [machine, magic, arch, characteristics] :
         {std::tuple{amd64, pe32_plus, architecture::x64, uint16_t{0x0022}},
          std::tuple{i386, pe32, architecture::x86, uint16_t{0x0102}}}) {
        scratch_folder root;
        const std::string stub_bytes = made_stub(machine, magic);
        launcher_stub stub;
        stub.arch = arch;
        stub.bytes = stub_bytes;
        std::string block = "XJQ";
        for (int i = 0; i < 5000; ++i) {
            block += static_cast<char>(i * 13);
        }
        write_file(root.path() / "block", block);
        build_identity identity = identity_from_options({{"--company", "Acme\\"}});
        const fs::path output = root.path() / "out.exe";
        pack_executable(root.path() / "block", output, identity, stub);
        const std::string out = file_bytes(output);
        const uint32_t table = section_table(out);
        const uint32_t place_size = place_length + static_cast<uint32_t>(block.size());
        const uint32_t resources_rva = place_rva + 0x6000;  // 0x2000 + 23451 bytes, on the next 0x1000

        EXPECT_EQ(3, get_u16(out, signature_at + 6));
        EXPECT_EQ(characteristics, get_u16(out, signature_at + 22));
        EXPECT_EQ(place_size, get_u32(out, table + 48));
        EXPECT_EQ(place_rva, get_u32(out, table + 52));
        EXPECT_EQ(0x5C00u, get_u32(out, table + 56));
        EXPECT_EQ(packed_place_raw, get_u32(out, table + 60));
        EXPECT_EQ(std::string(".rsrc\0\0\0", 8), out.substr(table + 80, 8));
        const uint32_t resources_size = get_u32(out, table + 88);
        EXPECT_EQ(resources_rva, get_u32(out, table + 92));
        EXPECT_EQ((resources_size + 0x1FF) / 0x200 * 0x200, get_u32(out, table + 96));
        EXPECT_EQ(packed_place_raw + 0x5C00, get_u32(out, table + 100));
        EXPECT_EQ(0x40000040u, get_u32(out, table + 116));
        EXPECT_EQ(packed_place_raw + 0x5C00 + get_u32(out, table + 96), out.size());
        EXPECT_EQ((resources_rva + resources_size + 0xFFF) / 0x1000 * 0x1000, get_u32(out, optional_at + 56));
        EXPECT_EQ(0x200 + 0x5C00 + get_u32(out, table + 96), get_u32(out, optional_at + 8));
        EXPECT_EQ(resources_rva, get_u32(out, directories_at(magic) + 16));
        EXPECT_EQ(resources_size, get_u32(out, directories_at(magic) + 20));

        // The place: magic, the block's length, the texts with their zeros, then the block.
        EXPECT_EQ(std::string("VELDRA\x1a\x01", 8), out.substr(packed_place_raw, 8));
        EXPECT_EQ(block.size(), get_u32(out, packed_place_raw + 8));
        EXPECT_EQ(std::string("A\0c\0m\0e\0\\\0\0\0", 12), out.substr(packed_place_raw + 16, 12));
        EXPECT_EQ(std::string(2048 - 10, '\0'), out.substr(packed_place_raw + 16 + 10, 2048 - 10));
        EXPECT_EQ(std::string("B\0r\0e\0", 6), out.substr(packed_place_raw + 16 + 2048, 6));
        EXPECT_EQ(std::string("{\0T\0E\0M\0P\0}\0", 12), out.substr(packed_place_raw + 16 + 5 * 2048, 12));
        EXPECT_EQ(block, out.substr(packed_place_raw + place_length, block.size()));
        EXPECT_EQ(std::string(0x5C00 - place_size, '\0'), out.substr(packed_place_raw + place_size, 0x5C00 - place_size));
        // What the pack does not own stays the stub's; zeros lead up to the place's page.
        EXPECT_EQ(stub_bytes.substr(0x400, 0x200), out.substr(0x400, 0x200));
        EXPECT_EQ(std::string(packed_place_raw - place_raw, '\0'), out.substr(place_raw, packed_place_raw - place_raw));
        EXPECT_EQ(get_u32(out, checksum_at), file_checksum(output));
        EXPECT_NE(0u, get_u32(out, checksum_at));
    }
}

TEST(Pack, SweepOffSetsItsBitInThePlaceAndOnLeavesTheFieldZero)
{
    scratch_folder root;
    launcher_stub stub;
    stub.arch = architecture::x64;
    stub.bytes = made_stub(amd64, pe32_plus);
    write_file(root.path() / "block", "XJQ");
    const struct {
        std::map<std::string, std::string> options;
        uint32_t field;
    } cases[] = {{{}, 0}, {{{"--sweep", "on"}}, 0}, {{{"--sweep", "off"}}, 1}};
    for (const auto& c : cases) {
        const fs::path output = root.path() / "out.exe";
        pack_executable(root.path() / "block", output, identity_from_options(c.options), stub);
        EXPECT_EQ(c.field, get_u32(file_bytes(output), packed_place_raw + 12));
    }
    EXPECT_THROW(identity_from_options({{"--sweep", "maybe"}}), packer_error);
}

TEST(Pack, TheSameInputsGiveTheSameBytes)
{
    scratch_folder root;
    launcher_stub stub;
    stub.arch = architecture::x64;
    stub.bytes = made_stub();
    write_file(root.path() / "block", "XJQ and some bytes");
    pack_executable(root.path() / "block", root.path() / "one.exe", identity_from_options({}), stub);
    pack_executable(root.path() / "block", root.path() / "two.exe", identity_from_options({}), stub);
    EXPECT_EQ(file_bytes(root.path() / "one.exe"), file_bytes(root.path() / "two.exe"));
}
