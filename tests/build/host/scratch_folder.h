// A private folder for one test, under the system's temporary folder, removed with everything
// in it when the test ends.
#ifndef VELDRA_TESTS_HOST_SCRATCH_FOLDER_H
#define VELDRA_TESTS_HOST_SCRATCH_FOLDER_H

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

class scratch_folder {
public:
    scratch_folder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "veldra-packer-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~scratch_folder() { std::filesystem::remove_all(path_); }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
    const std::filesystem::path& path() const { return path_; }

    // Writes `bytes` to `relative` inside the folder, with the folders on the way.
    void put(const std::string& relative, const std::string& bytes) const
    {
        std::filesystem::path file = path_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
    }

private:
    std::filesystem::path path_;
};

#endif
