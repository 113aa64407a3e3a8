// Launcher starts with captured output, and the values the fixture application prints.
#include "tests/support/launcher_runs.h"

started_process start_launcher(const std::wstring& executable, const std::wstring& command_line,
                               const std::wstring& temp, const environment_changes& changes,
                               const std::wstring& directory, start_as mode)
{
    const std::wstring stem = temp_path_for(L"capture");
    environment_changes all = changes;
    all.emplace_back(L"TMP", temp);
    all.emplace_back(L"TEMP", temp);
    return start_process(executable, command_line, stem, all, directory, mode);
}

std::vector<std::string> values_of(const std::string& out, const std::string& key)
{
    std::vector<std::string> values;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) {
            end = out.size();
        }
        std::string line = out.substr(at, end - at);
        if (line.compare(0, key.size(), key) == 0) {
            values.push_back(line.substr(key.size()));
        }
        at = end + 1;
    }
    return values;
}

std::string value_of(const std::string& out, const std::string& key)
{
    std::vector<std::string> values = values_of(out, key);
    return values.empty() ? "(missing)" : values.front();
}
