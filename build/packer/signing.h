// Authenticode signing of a finished executable with osslsigncode: SHA-256, a PKCS#12 file,
// an optional RFC 3161 time-stamp. The block lies inside a section, so the signature goes
// after the last section like any other and covers the whole image.
#ifndef VELDRA_PACKER_SIGNING_H
#define VELDRA_PACKER_SIGNING_H

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace packer {

struct signing_options {
    std::filesystem::path pkcs12;  // empty: the executable is not signed
    std::optional<std::string> password;
    std::string timestamp_url;  // empty: no time-stamp
};

// The line that refuses --sign-password, which would put the password on a command line.
extern const char sign_password_refusal[];

// From --sign-pkcs12, --sign-password-file (or else the VELDRA_SIGN_PASSWORD variable) and
// --timestamp; throws packer_error with one line. The password never comes from a command line.
signing_options signing_from_options(const std::map<std::string, std::string>& options);

// Signs `file` in place (through a copy in `work_dir`) and sets the checksum of the signed file.
void sign_image(const std::filesystem::path& file, const signing_options& signing,
                const std::filesystem::path& work_dir, const std::string& program = "osslsigncode");

}  // namespace packer

#endif
