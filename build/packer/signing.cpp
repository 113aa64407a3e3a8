// Signing through osslsigncode. The password comes from a file or the environment and reaches
// osslsigncode in a file of the work folder (-readpass), never on a command line that other
// users of the machine could read.
#include "signing.h"

#include "error.h"
#include "pe_image.h"
#include "tool_run.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace packer {

const char sign_password_refusal[] =
    "--sign-password is not taken: a password on a command line can be read by every user of the machine; "
    "use --sign-password-file FILE or the VELDRA_SIGN_PASSWORD environment variable";

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

// Mode 0600, created exclusively and never through a link, in the packer's own folder (0700).
fs::path write_password_file(const fs::path& work_dir, const std::string& password)
{
    const fs::path file = work_dir / "signing-password";
#ifdef _WIN32
    (void)password;
    throw packer_error("cannot write '" + file.u8string() + "': the Windows build of the packer does not sign");
#else
    int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = descriptor >= 0 && ::write(descriptor, password.data(), password.size()) ==
                                          static_cast<ssize_t>(password.size());
    if (descriptor >= 0 && ::close(descriptor) != 0) {
        written = false;
    }
    if (!written) {
        std::error_code ignored;
        fs::remove(file, ignored);
        throw packer_error("cannot write '" + file.string() + "'");
    }
    return file;
#endif
}

// The first line of the file, without its line ending: a file made with echo works as well.
std::string read_password_file(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::string password;
    if (name.empty() || !fs::is_regular_file(name) || !in || (!std::getline(in, password) && !in.eof())) {
        throw packer_error("cannot read the password file '" + name + "'");
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return password;
}

}  // namespace

signing_options signing_from_options(const std::map<std::string, std::string>& options)
{
    signing_options signing;
    const std::string* pkcs12 = given(options, "--sign-pkcs12");
    const std::string* password_file = given(options, "--sign-password-file");
    const std::string* timestamp = given(options, "--timestamp");
    if (given(options, "--sign-password") != nullptr) {
        throw packer_error(sign_password_refusal);
    }
    if (pkcs12 == nullptr) {
        if (password_file != nullptr || timestamp != nullptr) {
            throw packer_error("--sign-password-file and --timestamp go with --sign-pkcs12");
        }
        return signing;
    }
#ifdef _WIN32
    throw packer_error("--sign-pkcs12: the Windows build of the packer does not sign; sign with the Linux build");
#endif
    std::ifstream readable(*pkcs12, std::ios::binary);
    if (pkcs12->empty() || !fs::is_regular_file(*pkcs12) || !readable) {
        throw packer_error("cannot read the PKCS#12 file '" + *pkcs12 + "'");
    }
    if (timestamp != nullptr && !is_http_url(*timestamp)) {
        throw packer_error("--timestamp takes an http:// or https:// URL (got '" + *timestamp + "')");
    }
    signing.pkcs12 = fs::absolute(*pkcs12);
    const char* from_environment = std::getenv("VELDRA_SIGN_PASSWORD");
    if (password_file != nullptr) {
        signing.password = read_password_file(*password_file);
    } else if (from_environment != nullptr) {
        signing.password = std::string(from_environment);
    }
    signing.timestamp_url = timestamp == nullptr ? "" : *timestamp;
    return signing;
}

void sign_image(output_file& out, const signing_options& signing, const temporary_folder& work,
                const std::string& program)
{
    // The tool runs in another process: it gets the folder's name, which only this user can
    // write into; the packer's own reads and writes go through the held folder.
    const fs::path work_dir = work.name();
    const fs::path unsigned_file = work_dir / "unsigned.exe";
    const fs::path signed_file = work_dir / "signed.exe";
    out.copy_to(work.path() / "unsigned.exe");
    std::vector<std::string> command = {program, "sign", "-pkcs12", signing.pkcs12.string(), "-h", "sha256"};
    fs::path password_file;
    if (signing.password) {
        password_file = write_password_file(work.path(), *signing.password);
        command.insert(command.end(), {"-readpass", (work_dir / password_file.filename()).string()});
    }
    if (!signing.timestamp_url.empty()) {
        command.insert(command.end(), {"-ts", signing.timestamp_url});
    }
    command.insert(command.end(), {"-in", unsigned_file.string(), "-out", signed_file.string()});
    // Gone as soon as osslsigncode has read it, whatever it answered; a signal removes it with
    // the work folder.
    try {
        run_tool(command, work_dir, "cannot sign the executable");
    } catch (...) {
        if (!password_file.empty()) {
            fs::remove(password_file);
        }
        throw;
    }
    if (!password_file.empty()) {
        fs::remove(password_file);
    }
    if (!work.still_named()) {
        throw packer_error("cannot sign the executable: its work folder '" + work_dir.string() +
                           "' was replaced while osslsigncode ran");
    }
    // The CheckSum field lies outside the signed digest: setting it keeps the signature valid.
    update_checksum(work.path() / "signed.exe");
    out.replace_with(work.path() / "signed.exe");
}

}  // namespace packer
