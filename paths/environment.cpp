// Environment reads and writes through the system-call table.
#include "paths/environment.h"

#include "os/win_calls.h"
#include "paths/bounded.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

static wchar_t environment_value[environment_value_capacity];

void widen_variable_name(wchar_t* wide_name, const char* name)
{
    wide_name[0] = L'\0';
    append_ascii(wide_name, name, environment_name_capacity);
}

wchar_t* getenv_wide(const wchar_t* name)
{
    DWORD length = os.GetEnvironmentVariableW(name, environment_value, environment_value_capacity);
    if (length == 0 || length >= environment_value_capacity) {
        return nullptr;
    }
    // A failed duplicate reads as no value, as the caller cannot tell the difference anyway.
    size_t size = (wcslen(environment_value) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(malloc(size));
    if (copy != nullptr) {
        memcpy(copy, environment_value, size);
    }
    return copy;
}

wchar_t* getenv_ascii(const char* name)
{
    wchar_t wide_name[environment_name_capacity];
    widen_variable_name(wide_name, name);
    return getenv_wide(wide_name);
}

void setenv_ascii(const char* name, const wchar_t* value)
{
    wchar_t wide_name[environment_name_capacity];
    widen_variable_name(wide_name, name);
    os.SetEnvironmentVariableW(wide_name, value);
}
