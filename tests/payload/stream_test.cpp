// The reader over hand-made blocks: header check, allocation and decoding failures, and the
// exact serving of byte requests.
#include "payload/stream.h"
#include "tests/payload/frames.h"
#include "tests/support/probe.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace {

const char header_message[] = "Error, couldn't find attached data header.\r\n";
const char decode_message[] = "Error, couldn't decode attached data.\r\n";
const char memory_message[] = "Error, couldn't allocate memory.\r\n";

// Blocks live as long as the stream reads them.
std::string held_block;

void open_block(const std::string& block)
{
    held_block = block;
    payload_open_block(reinterpret_cast<const unsigned char*>(held_block.data()),
                       static_cast<uint32_t>(held_block.size()));
}

std::string read_bytes(uint32_t n)
{
    std::string bytes(n, '\0');
    payload_read(&bytes[0], n);
    return bytes;
}

// A block whose frame ends right after its content, with nothing after the frame.
std::string truncated(const std::string& frame, size_t keep)
{
    return "XJQ" + frame.substr(0, keep);
}

std::string with_magic(const char* magic, const std::string& rest)
{
    return std::string(magic, 3) + rest;
}

const std::string small_content = archive_stream({{L"a.dll", "abc"}, {L"d\\b.txt", ""}});

// Named blocks that a probe opens and reads to the end of `small_content` and one byte more
// when asked.
std::map<std::wstring, std::string> named_blocks()
{
    std::string frame = raw_frame(small_content);
    std::string body = frame + std::string((8 - (3 + frame.size()) % 8) % 8, '\0') + le64(0);
    frame_options window_28;
    window_28.window_descriptor = 0x90;
    frame_options window_27_and_a_bit;
    window_27_and_a_bit.window_descriptor = 0x89;
    return {
        {L"first_byte", with_magic("xJQ", body)},
        {L"second_byte", with_magic("XjQ", body)},
        {L"third_byte", with_magic("XJq", body)},
        {L"lower_case", with_magic("xjq", body)},
        {L"good", block_around(frame)},
        {L"truncated", truncated(raw_frame(noise(5000), frame_options{0x38, false, false, 1000}), 2500)},
        {L"window_log_28", block_around(raw_frame(small_content, window_28))},
        {L"window_0x89", block_around(raw_frame(small_content, window_27_and_a_bit))},
        {L"no_frame", block_around("this is text and no zstd frame at all")},
    };
}

}  // namespace

// argv: block name, bytes to read after opening.
VELDRA_PROBE(read_named_block)
{
    open_block(named_blocks().at(argv[0]));
    std::string bytes(wcstoul(argv[1], nullptr, 10), '\0');
    payload_read(&bytes[0], static_cast<uint32_t>(bytes.size()));
    return 0;
}

TEST(BlockHeader, EachWrongByteAndTheLowerCaseMagicEndWithTheHeaderMessage)
{
    for (const wchar_t* name : {L"first_byte", L"second_byte", L"third_byte", L"lower_case"}) {
        process_result result = run_probe(L"read_named_block", {name, L"1"});
        EXPECT_EQ(result.exit_code, 2u) << narrow(name);
        EXPECT_EQ(result.out, header_message) << narrow(name);
        EXPECT_EQ(result.err, "") << narrow(name);
    }
}

TEST(BlockHeader, AWrongMagicAllocatesNothing)
{
    seam_scope seam;
    static int allocations;
    allocations = 0;
    os.malloc = [](size_t size) { ++allocations; return ::malloc(size); };
    for (const char* block : {"XJ", "", "QJX12345"}) {
        EXPECT_EQ(exit_status_of([&] { open_block(block); }), 2) << block;
    }
    EXPECT_EQ(allocations, 0);
}

TEST(Decoder, DamagedFramesEndWithTheDecodeMessage)
{
    // The cut frame decodes what it holds; the request asks for more than that.
    for (const wchar_t* name : {L"truncated", L"window_log_28", L"window_0x89", L"no_frame"}) {
        process_result result = run_probe(L"read_named_block", {name, L"5000"});
        EXPECT_EQ(result.exit_code, 2u) << narrow(name);
        EXPECT_EQ(result.out, decode_message) << narrow(name);
        EXPECT_EQ(result.err, "") << narrow(name);
    }
}

TEST(Decoder, ReadingOneByteBeyondTheContentEndsWithTheDecodeMessage)
{
    std::wstring all = std::to_wstring(small_content.size());
    EXPECT_EQ(run_probe(L"read_named_block", {L"good", all}).exit_code, 0u);
    process_result beyond = run_probe(L"read_named_block", {L"good", std::to_wstring(small_content.size() + 1)});
    EXPECT_EQ(beyond.exit_code, 2u);
    EXPECT_EQ(beyond.out, decode_message);
}

TEST(Decoder, AcceptedFrameShapesDeliverTheirWholeContent)
{
    std::string content = noise(70000, 7);
    frame_options with_size;
    with_size.content_size = true;
    frame_options single;
    single.single_segment = true;
    frame_options window_27;
    window_27.window_descriptor = 0x88;
    std::string wrong_trailer = block_around(raw_frame(content));
    wrong_trailer.replace(wrong_trailer.size() - 8, 8, le64(12345));
    struct shape {
        const char* name;
        std::string block;
    };
    const shape shapes[] = {
        {"content size", block_around(raw_frame(content, with_size))},
        {"single segment", block_around(raw_frame(content, single))},
        {"window log 27", block_around(raw_frame(content, window_27))},
        {"wrong trailer", wrong_trailer},
    };
    seam_scope seam;
    for (const auto& each : shapes) {
        open_block(each.block);
        EXPECT_EQ(read_bytes(static_cast<uint32_t>(content.size())), content) << each.name;
        payload_close();
    }
}

TEST(Decoder, AFrameEndingOnAMultipleOfEightHasNoPaddingAndReads)
{
    // Header 6 bytes, one raw block header 3 bytes: 3 + 6 + 3 + n is a multiple of 8 for n = 4.
    std::string frame = raw_frame("wxyz");
    std::string block = block_around(frame);
    ASSERT_EQ((3 + frame.size()) % 8, 0u);
    ASSERT_EQ(block.size(), 3 + frame.size() + 8);
    EXPECT_EQ(block.substr(block.size() - 8), le64(3 + frame.size()));
    seam_scope seam;
    open_block(block);
    EXPECT_EQ(read_bytes(4), "wxyz");
    EXPECT_EQ(exit_status_of([] { read_bytes(1); }), 2);
}

TEST(Allocation, AMissingBufferOrDecoderEndsWithTheMemoryMessage)
{
    for (const wchar_t* which : {L"buffer", L"decoder"}) {
        process_result result = run_probe(L"fail_allocation", {which});
        EXPECT_EQ(result.exit_code, 2u) << narrow(which);
        EXPECT_EQ(result.out, memory_message) << narrow(which);
    }
}

VELDRA_PROBE(fail_allocation)
{
    if (wcscmp(argv[0], L"buffer") == 0) {
        os.malloc = [](size_t) -> void* { return nullptr; };
    } else {
        os.ZSTD_createDCtx = []() -> ZSTD_DCtx* { return nullptr; };
    }
    open_block(block_around(raw_frame(small_content)));
    return 0;
}

class Reader : public testing::Test {
protected:
    seam_scope seam;
    // 300,000 bytes in raw blocks of 50,000: requests cross block and buffer boundaries.
    std::string content = noise(300000, 3);

    void SetUp() override
    {
        frame_options blocks;
        blocks.block_size = 50000;
        open_block(block_around(raw_frame(content, blocks)));
    }
    void TearDown() override { payload_close(); }
};

TEST_F(Reader, AZeroRequestTouchesNothing)
{
    read_bytes(10);
    payload_stream_state before = payload_stream;
    char untouched = '#';
    payload_read(&untouched, 0);
    EXPECT_EQ(untouched, '#');
    EXPECT_EQ(memcmp(&before, &payload_stream, sizeof before), 0);
}

TEST_F(Reader, DrainingTheBufferExactlyDoesNotDecodeAndTheNextRequestDoes)
{
    EXPECT_EQ(read_bytes(2), content.substr(0, 2));
    size_t input_used = payload_stream.input.pos;
    uint32_t left = static_cast<uint32_t>(payload_stream.output.size - payload_stream.output.pos);
    ASSERT_GT(left, 0u);
    EXPECT_EQ(read_bytes(left), content.substr(2, left));
    EXPECT_EQ(payload_stream.input.pos, input_used);
    EXPECT_EQ(payload_stream.output.pos, payload_stream.output.size);
    EXPECT_EQ(read_bytes(1), content.substr(2 + left, 1));
    EXPECT_GT(payload_stream.input.pos, input_used);
}

TEST_F(Reader, LargeAndSmallRequestsAreServedInOrderToTheLastByte)
{
    std::string got = read_bytes(1);
    got += read_bytes(200000);
    got += read_bytes(8);
    got += read_bytes(static_cast<uint32_t>(content.size() - got.size()));
    EXPECT_TRUE(got == content);
    EXPECT_EQ(exit_status_of([] { read_bytes(1); }), 2);
}

TEST_F(Reader, CloseFreesTheDecoderAndTheBuffer)
{
    static void* freed;
    freed = nullptr;
    void* buffer = payload_stream.output.dst;
    os.free = [](void* pointer) { freed = pointer; ::free(pointer); };
    payload_close();
    EXPECT_EQ(freed, buffer);
    EXPECT_EQ(payload_stream.decoder, nullptr);
}
