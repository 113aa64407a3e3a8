// Signing through osslsigncode. The password reaches it in a file of the work folder, never on
// a command line that other users of the machine could read.
#include "signing.h"

#include "error.h"
#include "pe_image.h"
#include "tool_run.h"

#include <fstream>

namespace fs = std::filesystem;

namespace packer {

namespace {

const std::string* given(const std::map<std::string, std::string>& options, const char* name)
{
    auto found = options.find(name);
    return found == options.end() ? nullptr : &found->second;
}

bool is_http_url(const std::string& url)
{
    return (url.rfind("http://", 0) == 0 && url.size() > 7) || (url.rfind("https://", 0) == 0 && url.size() > 8);
}

// The work folder is the packer's own (mode 0700), so the file is readable by this user only.
fs::path write_password_file(const fs::path& work_dir, const std::string& password)
{
    const fs::path file = work_dir / "signing-password";
    std::ofstream out(file, std::ios::binary);
    out << password;
    if (!out) {
        throw packer_error("cannot write '" + file.string() + "'");
    }
    return file;
}

}  // namespace

signing_options signing_from_options(const std::map<std::string, std::string>& options)
{
    signing_options signing;
    const std::string* pkcs12 = given(options, "--sign-pkcs12");
    const std::string* password = given(options, "--sign-password");
    const std::string* timestamp = given(options, "--timestamp");
    if (pkcs12 == nullptr) {
        if (password != nullptr || timestamp != nullptr) {
            throw packer_error("--sign-password and --timestamp go with --sign-pkcs12");
        }
        return signing;
    }
    std::ifstream readable(*pkcs12, std::ios::binary);
    if (pkcs12->empty() || !fs::is_regular_file(*pkcs12) || !readable) {
        throw packer_error("cannot read the PKCS#12 file '" + *pkcs12 + "'");
    }
    if (timestamp != nullptr && !is_http_url(*timestamp)) {
        throw packer_error("--timestamp takes an http:// or https:// URL (got '" + *timestamp + "')");
    }
    signing.pkcs12 = fs::absolute(*pkcs12);
    signing.password = password == nullptr ? std::nullopt : std::optional<std::string>(*password);
    signing.timestamp_url = timestamp == nullptr ? "" : *timestamp;
    return signing;
}

void sign_image(const fs::path& file, const signing_options& signing, const fs::path& work_dir,
                const std::string& program)
{
    const fs::path signed_file = work_dir / "signed.exe";
    std::vector<std::string> command = {program, "sign", "-pkcs12", signing.pkcs12.string(), "-h", "sha256"};
    if (signing.password) {
        command.insert(command.end(), {"-readpass", write_password_file(work_dir, *signing.password).string()});
    }
    if (!signing.timestamp_url.empty()) {
        command.insert(command.end(), {"-ts", signing.timestamp_url});
    }
    command.insert(command.end(), {"-in", fs::absolute(file).string(), "-out", signed_file.string()});
    run_tool(command, work_dir, "cannot sign the executable");
    // The CheckSum field lies outside the signed digest: setting it keeps the signature valid.
    update_checksum(signed_file);
    fs::copy_file(signed_file, file, fs::copy_options::overwrite_existing);
}

}  // namespace packer
