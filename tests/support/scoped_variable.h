// Sets or removes an environment variable of the test process for one scope and puts the
// previous value back afterwards, so that tests sharing a process do not see each other.
#ifndef VELDRA_TESTS_SUPPORT_SCOPED_VARIABLE_H
#define VELDRA_TESTS_SUPPORT_SCOPED_VARIABLE_H

#include <windows.h>

#include <optional>
#include <string>

class scoped_variable {
public:
    scoped_variable(const wchar_t* name, const std::optional<std::wstring>& value) : name_(name)
    {
        static wchar_t buffer[32768];
        SetLastError(0);
        DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
        if (length < 32768 && (length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND)) {
            previous_ = std::wstring(buffer, length);
        }
        SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
    }
    ~scoped_variable() { SetEnvironmentVariableW(name_.c_str(), previous_ ? previous_->c_str() : nullptr); }
    scoped_variable(const scoped_variable&) = delete;
    scoped_variable& operator=(const scoped_variable&) = delete;

private:
    std::wstring name_;
    std::optional<std::wstring> previous_;
};

// The value of a variable of the test process, or nothing when it is unset.
inline std::optional<std::wstring> variable_value(const wchar_t* name)
{
    static wchar_t buffer[32768];
    SetLastError(0);
    DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return std::nullopt;
    }
    return std::wstring(buffer, length);
}

#endif
