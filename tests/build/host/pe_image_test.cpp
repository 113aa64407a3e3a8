// The image checksum and the header fields the packer writes after the link.
#include "error.h"
#include "pe_image.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace packer;

namespace {

void put_u32(std::string& bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<char>(value >> (8 * i));
    }
}

void put_u16(std::string& bytes, size_t offset, uint16_t value)
{
    bytes[offset] = static_cast<char>(value & 0xFF);
    bytes[offset + 1] = static_cast<char>(value >> 8);
}

// The headers of a PE32 image for i386 with its PE header at 0x80, and `extra` bytes after them.
std::string minimal_image(size_t extra)
{
    std::string image(0x200 + extra, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    put_u32(image, 0x3C, 0x80);
    image.replace(0x80, 4, std::string("PE\0\0", 4));
    put_u16(image, 0x84, 0x014C);
    put_u16(image, 0x80 + 22, 0x030E);
    put_u16(image, 0x80 + 24, 0x010B);
    for (size_t i = 0x200; i < image.size(); ++i) {
        image[i] = static_cast<char>(i * 7 + 3);
    }
    return image;
}

uint32_t checksum_of(const std::string& bytes, uint64_t field)
{
    pe_checksum sum(field);
    sum.add(bytes);
    return sum.finish();
}

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
    const std::string image = minimal_image(100001);
    const uint32_t whole = checksum_of(image, 0x80 + 24 + 64);
    for (size_t chunk : {1u, 3u, 4096u, 65537u}) {
        pe_checksum sum(0x80 + 24 + 64);
        for (size_t at = 0; at < image.size(); at += chunk) {
            sum.add(std::string_view(image).substr(at, chunk));
        }
        EXPECT_EQ(whole, sum.finish()) << "chunks of " << chunk;
    }
}

TEST(PeImage, CharacteristicsAreSetAndTheChecksumIsThatOfTheResult)
{
    const fs::path file = fs::path(testing::TempDir()) / "veldra-pe-image-test.exe";
    std::ofstream(file, std::ios::binary) << minimal_image(777);
    set_characteristics(file, launcher_characteristics);

    std::ifstream in(file, std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), {});
    pe_fields fields = locate_pe_fields(image);
    EXPECT_EQ(0x80u + 22, fields.characteristics_offset);
    EXPECT_EQ(0x80u + 24 + 64, fields.checksum_offset);
    EXPECT_EQ(0x02, image[fields.characteristics_offset]);
    EXPECT_EQ(0x01, image[fields.characteristics_offset + 1]);
    uint32_t stored = 0;
    for (int i = 3; i >= 0; --i) {
        stored = stored << 8 | static_cast<unsigned char>(image[fields.checksum_offset + i]);
    }
    EXPECT_EQ(checksum_of(image, fields.checksum_offset), stored);
    EXPECT_EQ(stored, file_checksum(file));
    fs::remove(file);
}

TEST(PeImage, AnythingButAPe32ImageForI386IsRefused)
{
    std::string not_mz = minimal_image(0);
    not_mz[0] = 'X';
    std::string pe32_plus = minimal_image(0);
    put_u16(pe32_plus, 0x80 + 24, 0x020B);
    std::string other_machine = minimal_image(0);
    put_u16(other_machine, 0x84, 0x8664);
    std::string far_header = minimal_image(0);
    put_u32(far_header, 0x3C, 0x7FFFFFF0);
    for (const std::string& image : {not_mz, pe32_plus, other_machine, far_header, std::string("MZ")}) {
        EXPECT_THROW(locate_pe_fields(image), packer_error);
    }
}
