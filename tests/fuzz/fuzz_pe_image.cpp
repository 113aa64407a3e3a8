// The packer's PE readers on any bytes: the header of a main module, the fields it sets after a
// link, the checksum, and a launcher stub of either target, each read or refused with one line.
#include "architecture.h"
#include "error.h"
#include "pe_image.h"
#include "stub_image.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (const std::optional<packer::pe_header> header = packer::pe_header_of_bytes(bytes)) {
        packer::describe_architecture(*header);
        packer::describe_module(*header);
    }
    try {
        const packer::pe_fields fields = packer::locate_pe_fields(bytes.substr(0, 4096));
        packer::pe_checksum sum(fields.checksum_offset);
        sum.add(bytes);
        sum.finish();
    } catch (const packer::packer_error&) {
    }
    for (const auto& target : packer::architectures()) {
        try {
            const packer::stub_image stub = packer::stub_of_bytes(bytes, "fuzzed.exe", target.id);
            packer::resource_rva(stub, 4096);
        } catch (const packer::packer_error&) {
        }
    }
    return 0;
}
