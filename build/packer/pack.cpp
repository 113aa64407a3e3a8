// The pack step: the stub checked, the block's size checked, the executable written into an
// exclusive temporary file, signed there when asked, and renamed into place.
#include "pack.h"

#include "cleanup.h"
#include "error.h"
#include "file_table_writer.h"
#include "output_file.h"
#include "resources.h"

namespace fs = std::filesystem;

namespace packer {

stub_image load_stub(const launcher_stub& stub)
{
    return stub.file.empty() ? stub_of_bytes(stub.bytes, "built-in " + stub_file_name(stub.arch), stub.arch)
                             : read_stub(stub.file, stub.arch);
}

void check_block_size(const fs::path& block_file, architecture arch)
{
    const architecture_traits& target = traits_of(arch);
    std::error_code error;
    uint64_t block_size = fs::file_size(block_file, error);
    if (error) {
        throw packer_error("cannot read block '" + block_file.u8string() + "': " + error.message());
    }
    if (block_size > target.max_block_size) {
        throw packer_error("block '" + block_file.u8string() + "' is larger than a " + target.bits +
                           " executable can carry (" + std::to_string(target.max_block_size) + " bytes at most)");
    }
}

void pack_executable(const fs::path& block_file, const fs::path& output, const build_identity& identity,
                     const launcher_stub& stub, const pack_extras& extras)
{
    check_block_size(block_file, stub.arch);
    const stub_image image = load_stub(stub);
    const uint64_t block_size = fs::file_size(block_file);
    const std::string table = identity.cached ? file_table_of_block(block_file) : std::string();
    const std::string resources = resource_section(executable_resources(identity, extras.icon),
                                                   resource_rva(image, carried_size(block_size, table)));
    output_file out(fs::absolute(output), true);
    write_launcher(image, identity, block_file, block_size, table, resources, out);
    if (!extras.signing.pkcs12.empty()) {
        // osslsigncode's files, the password's among them, stay in a folder of the packer's own.
        temporary_folder work(fs::temp_directory_path(), "veldra-pack");
        sign_image(out, extras.signing, work);
    }
    out.commit();
}

}  // namespace packer
