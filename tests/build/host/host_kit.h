// What the packer's tests share: the one line a refusal says, and the bytes of a file.
#ifndef VELDRA_TESTS_HOST_HOST_KIT_H
#define VELDRA_TESTS_HOST_HOST_KIT_H

#include "error.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

// The message of the packer_error the action ends with, or "<no refusal>".
inline std::string refusal(const std::function<void()>& action)
{
    try {
        action();
    } catch (const packer::packer_error& error) {
        return error.what();
    }
    return "<no refusal>";
}

// The whole file; empty when it cannot be read.
inline std::string file_bytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

#endif
