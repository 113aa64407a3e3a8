// The process environment by wide or narrow ASCII name; values come back as heap copies
// that are never freed, and an unset, empty or overlong value reads as none (nullptr).
#ifndef VELDRA_PATHS_ENVIRONMENT_H
#define VELDRA_PATHS_ENVIRONMENT_H

enum { environment_name_capacity = 40, environment_value_capacity = 32768 };

wchar_t* getenv_wide(const wchar_t* name);
wchar_t* getenv_ascii(const char* name);
// A null value removes the variable. Failures are not reported.
void setenv_ascii(const char* name, const wchar_t* value);

// Widens an ASCII name of at most 39 characters into `wide_name`, which holds 40.
void widen_variable_name(wchar_t* wide_name, const char* name);

#endif
