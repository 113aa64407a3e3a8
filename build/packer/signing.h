// Authenticode signing of a finished executable with osslsigncode: SHA-256, a PKCS#12 file,
// an optional RFC 3161 time-stamp. The block lies inside a section, so the signature goes
// after the last section like any other and covers the whole image.
#ifndef VELDRA_PACKER_SIGNING_H
#define VELDRA_PACKER_SIGNING_H

#include "cleanup.h"
#include "output_file.h"

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

// Signs what `out` holds: a copy goes into `work` for the tool, and the signed image, its checksum
// set, replaces the content of `out` through its descriptor.
void sign_image(output_file& out, const signing_options& signing, const temporary_folder& work,
                const std::string& program = "osslsigncode");

}  // namespace packer

#endif
