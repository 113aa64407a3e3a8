// The packer's block reader on any bytes, as inspect, extract and verify meet a file: every
// report, the decode, the table and the hash either finish or end with the one-line refusal.
#include "block_reader.h"
#include "block_report.h"

#include <cstddef>
#include <cstdint>
#include <sstream>

namespace {

// What extract and verify do with each entry: look at its name and every byte of its data.
class touch_everything : public packer::archive_visitor {
public:
    uint64_t seen = 0;
    void entry(uint64_t, const std::u16string& name, uint64_t size) override { seen += name.size() + size; }
    void data(const char* bytes, size_t size) override
    {
        for (size_t i = 0; i < size; i += 4096) {
            seen += static_cast<unsigned char>(bytes[i]);
        }
    }
};

template <typename Action>
void refused_or_done(Action action)
{
    try {
        action();
    } catch (const packer::packer_error&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    refused_or_done([&] {
        packer::block_reader reader(bytes, "fuzzed");
        std::ostringstream report;
        refused_or_done([&] { packer::inspect_block(reader, report); });
        refused_or_done([&] { packer::inspect_block_json(reader, report); });
        refused_or_done([&] {
            touch_everything visitor;
            reader.decode(reader.frame(), visitor);
        });
        refused_or_done([&] { reader.file_table(); });
        refused_or_done([&] { reader.block_hash(); });
    });
    return 0;
}
