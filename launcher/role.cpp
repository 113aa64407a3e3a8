// Role decision: every failing step means "parent"; nothing here prints or stops the run.
#include "launcher/role.h"

#include "launcher/run_state.h"
#include "os/win_calls.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/self_path.h"

#include <cerrno>
#include <cstdio>
#include <cwchar>

enum { parent_image_capacity = 2048, pid_text_capacity = 128 };

// Kept for the rest of the run, as every environment copy is.
static wchar_t* parent_variable;
static wchar_t parent_image[parent_image_capacity];

static bool parse_parent_id(const wchar_t* text, long* id)
{
    wchar_t* end = nullptr;
    errno = 0;
    long value = wcstol(text, &end, 10);
    if (errno == ERANGE || end == text || *end != L'\0') {
        return false;
    }
    *id = value;
    return true;
}

static bool image_matches_self(HANDLE process)
{
    if (os.K32GetModuleFileNameExW(process, nullptr, parent_image, parent_image_capacity) == 0) {
        return false;
    }
    resolve_final_path(parent_image, parent_image_capacity);
    shorten_directory_part(parent_image, parent_image_capacity);
    return wcscmp(parent_image, get_self_path(true)) == 0;
}

void decide_role()
{
    parent_variable = getenv_ascii("VELDRA_ONEFILE_PARENT");
    long parent_id = 0;
    if (parent_variable == nullptr || !parse_parent_id(parent_variable, &parent_id)) {
        return;
    }
    HANDLE process = os.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                    static_cast<DWORD>(parent_id));
    if (process == nullptr) {
        return;
    }
    bool same_executable = image_matches_self(process);
    os.CloseHandle(process);
    is_child = same_executable;
}

void prepare_parent_environment()
{
    setenv_ascii("VELDRA_ONEFILE_START", nullptr);
    setenv_ascii("VELDRA_ONEFILE_TIME_US", nullptr);
    setenv_ascii("VELDRA_ONEFILE_RANDOM", nullptr);
    char narrow_id[pid_text_capacity];
    snprintf(narrow_id, sizeof narrow_id, "%ld", static_cast<long>(os.GetCurrentProcessId()));
    wchar_t wide_id[pid_text_capacity] = L"";
    append_ascii(wide_id, narrow_id, pid_text_capacity);
    setenv_ascii("VELDRA_ONEFILE_PARENT", wide_id);
}
