// Running a tool (osslsigncode) with its output kept, so that a
// failure becomes one line of the packer's own instead of the tool's screenful.
#ifndef VELDRA_PACKER_TOOL_RUN_H
#define VELDRA_PACKER_TOOL_RUN_H

#include <filesystem>
#include <string>
#include <vector>

namespace packer {

// Runs `command` in `directory`, its output and errors kept in files there. Throws
// packer_error "<purpose>: <the cause the tool gave>" unless the tool ends with status 0.
void run_tool(const std::vector<std::string>& command, const std::filesystem::path& directory,
              const std::string& purpose);

}  // namespace packer

#endif
