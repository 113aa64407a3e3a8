// The PE headers the packer reads and writes: the machine of a file, the fields set after the
// link for each target, the image checksum, and what no header may make it do.
#include "architecture.h"
#include "error.h"
#include "pe_image.h"
#include "host_kit.h"
#include "test_images.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace packer;
using namespace test_images;

namespace {

uint32_t checksum_of(const std::string& bytes, uint64_t field)
{
    pe_checksum sum(field);
    sum.add(bytes);
    return sum.finish();
}

// A file of the test's own, removed at the end.
struct scratch_file {
    explicit scratch_file(const std::string& bytes)
        : path(fs::path(testing::TempDir()) / ("veldra-pe-image-" + std::to_string(::getpid()) + ".exe"))
    {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    ~scratch_file() { fs::remove(path); }
    fs::path path;
};

}  // namespace

TEST(Checksum, WordsAddedWithEndAroundCarryThenTheLength)
{
    // 0xFFFF + 0x0002 carries into 0x0002; a last odd byte 0x05 is the word 0x0005.
    EXPECT_EQ(0x0007u + 5u, checksum_of(std::string("\xFF\xFF\x02\x00\x05", 5), 1000));
    // The four bytes of the field count as zero wherever they lie, also across word halves.
    EXPECT_EQ(0x0102u + 8u, checksum_of(std::string("\x02\x01\xAA\xBB\xCC\xDD\x00\x00", 8), 2));
    EXPECT_EQ(0xDD00u + 6u, checksum_of(std::string("\x00\x01\xAA\xBB\xCC\xDD", 6), 1));
    EXPECT_EQ(0u, checksum_of("", 0));
}

TEST(Checksum, TheSameSumInAnyChunksIncludingOddOnes)
{
    const std::string image = x86_image(exe_flags, 100001);
    const uint32_t whole = checksum_of(image, checksum_at);
    for (size_t chunk : {1u, 3u, 4096u, 65537u}) {
        pe_checksum sum(checksum_at);
        for (size_t at = 0; at < image.size(); at += chunk) {
            sum.add(std::string_view(image).substr(at, chunk));
        }
        EXPECT_EQ(whole, sum.finish()) << "chunks of " << chunk;
    }
}

TEST(PeImage, EachTargetGetsItsCharacteristicsAndTheChecksumOfTheResult)
{
    struct target_case {
        architecture arch;
        std::string linked;  // with the stripped flags the linker sets
        uint16_t characteristics;
    };
    const target_case cases[] = {
        {architecture::x86, x86_image(0x030F, 777), 0x0102},
        {architecture::x64, x64_image(0x022F, 778), 0x0022},
    };
    for (const auto& each : cases) {
        scratch_file file(each.linked);
        set_image_fields(file.path, each.arch);
        const std::string image = file_bytes(file.path);
        const pe_fields fields = locate_pe_fields(image);
        EXPECT_EQ(each.arch, fields.arch);
        EXPECT_EQ(signature_at + 22, fields.characteristics_offset);
        // The CheckSum lies at the same place in PE32 and PE32+.
        EXPECT_EQ(checksum_at, fields.checksum_offset);
        EXPECT_EQ(each.characteristics, pe_header_of_bytes(image)->characteristics);
        uint32_t stored = 0;
        for (int i = 3; i >= 0; --i) {
            stored = stored << 8 | static_cast<unsigned char>(image[checksum_at + i]);
        }
        EXPECT_EQ(checksum_of(image, checksum_at), stored);
        EXPECT_EQ(stored, file_checksum(file.path));
        // Nothing but those two fields changed.
        std::string expected = each.linked;
        expected.replace(signature_at + 22, 2, image, signature_at + 22, 2);
        expected.replace(checksum_at, 4, image, checksum_at, 4);
        EXPECT_TRUE(expected == image) << traits_of(each.arch).name;
    }
}

TEST(PeImage, AnImageForTheOtherTargetIsRefusedAndLeftAsItWas)
{
    const std::pair<std::string, architecture> cases[] = {
        {x64_image(exe_flags, 64), architecture::x86},
        {x86_image(exe_flags, 64), architecture::x64},
    };
    const std::string lines[] = {"the linked file is a 64-bit (x64) executable, not x86",
                                 "the linked file is a 32-bit (x86) executable, not x64"};
    for (size_t i = 0; i < 2; ++i) {
        scratch_file file(cases[i].first);
        EXPECT_EQ(lines[i], refusal([&] { set_image_fields(file.path, cases[i].second); }));
        EXPECT_TRUE(file_bytes(file.path) == cases[i].first);
    }
}

TEST(PeImage, WhatIsNoImageOfATargetInItsFormatIsRefused)
{
    std::string not_mz = x86_image();
    not_mz[0] = 'X';
    std::string no_signature = x86_image();
    no_signature[signature_at + 1] = 'X';
    std::string far_header = x86_image();
    put_u32(far_header, 0x3C, 0x7FFFFFF0);
    std::string wrapping_header = x86_image();
    put_u32(wrapping_header, 0x3C, 0xFFFFFFFF);
    std::string cut_coff = x86_image().substr(0, signature_at + 20);
    // Stated shorter than the fixed part, with the bytes there: a lying header.
    std::string short_pe32 = x86_image();
    put_u16(short_pe32, signature_at + 20, 95);
    std::string short_pe32_plus = x64_image();
    put_u16(short_pe32_plus, signature_at + 20, 111);
    const std::string cut_optional = x64_image().substr(0, signature_at + 24 + 100);
    const std::string cases[] = {
        not_mz,
        "MZ",
        no_signature,
        far_header,
        wrapping_header,
        cut_coff,
        short_pe32,
        short_pe32_plus,
        cut_optional,
        image(i386, pe32_plus, pe32_plus_optional_size, exe_flags),
        image(amd64, pe32, pe32_optional_size, exe_flags),
        image(arm64, pe32_plus, pe32_plus_optional_size, exe_flags),
        image(i386, pe32, 0, exe_flags),
    };
    for (const std::string& bytes : cases) {
        EXPECT_EQ("the linked file is not a PE32 image for x86 or a PE32+ image for x64",
                  refusal([&] { locate_pe_fields(bytes); }))
            << bytes.size() << " bytes";
    }
}

TEST(PeHeader, TheMachineOfAPeImageAndNothingForAnythingElse)
{
    std::string lying_offset = x64_image();
    put_u32(lying_offset, 0x3C, 0xFFFFFFF0);
    std::string no_signature = x64_image();
    no_signature[signature_at] = 'N';
    const std::pair<std::string, int> cases[] = {
        {"this is no DLL at all\n", -1},
        {"MZ\n", -1},
        {"MZ" + std::string(0x3A, '\0'), -1},  // e_lfanew cut off
        {lying_offset, -1},
        {no_signature, -1},
        {x64_image().substr(0, signature_at + 23), -1},
        {x86_image(dll_flags), i386},
        {x64_image(dll_flags), amd64},
        {image(arm64, pe32_plus, pe32_plus_optional_size, dll_flags), arm64},
        // Detection needs the COFF header only.
        {x64_image().substr(0, signature_at + 24), amd64},
    };
    for (const auto& [bytes, machine] : cases) {
        const auto header = pe_header_of_bytes(bytes);
        EXPECT_EQ(machine, header ? header->machine : -1) << bytes.size() << " bytes";
    }
}

TEST(PeHeader, AFileIsReadAtItsOwnHeaderOffsetNotJustItsStart)
{
    // Signature at 1 MiB: beyond any first block of headers a reader might take.
    std::string far = x64_image(dll_flags);
    const std::string at_signature = far.substr(signature_at);
    far.resize(1 << 20, '\0');
    far += at_signature;
    put_u32(far, 0x3C, 1 << 20);
    scratch_file file(far);
    const auto header = pe_header_of_file(file.path);
    ASSERT_TRUE(header);
    EXPECT_EQ(amd64, header->machine);
    EXPECT_FALSE(pe_header_of_file(file.path.string() + ".none"));
}

TEST(PeHeader, ArchitectureAndModuleAreNamedForTheUser)
{
    struct named_case {
        std::string bytes;
        std::string architecture;
        std::string module;
    };
    const named_case cases[] = {
        {x86_image(exe_flags), "x86 (PE32, machine 0x014c)", "a 32-bit (x86) executable"},
        {x64_image(dll_flags), "x64 (PE32+, machine 0x8664)", "a 64-bit (x64) DLL"},
        {image(arm64, pe32_plus, pe32_plus_optional_size, dll_flags), "unknown (PE32+, machine 0xaa64)",
         "a DLL for machine 0xaa64"},
        {image(0x01C4, 0x0107, 96, exe_flags), "unknown (optional header magic 0x0107, machine 0x01c4)",
         "an executable for machine 0x01c4"},
        {image(i386, pe32, 0, dll_flags), "x86 (no optional header, machine 0x014c)", "a 32-bit (x86) DLL"},
    };
    for (const auto& each : cases) {
        const auto header = pe_header_of_bytes(each.bytes);
        ASSERT_TRUE(header) << each.architecture;
        EXPECT_EQ(each.architecture, describe_architecture(*header));
        EXPECT_EQ(each.module, describe_module(*header));
    }
}

TEST(Architecture, TheOptionTakesExactlyTheNames)
{
    EXPECT_EQ(architecture::x86, parse_architecture("x86"));
    EXPECT_EQ(architecture::x64, parse_architecture("x64"));
    for (const char* name : {"", "X64", "amd64", "x86_64", "i386", "win32", "x64 ", "arm64"}) {
        EXPECT_EQ("--arch takes x86 or x64 (got '" + std::string(name) + "')",
                  refusal([&] { parse_architecture(name); }));
    }
}
