// The role decision on VELDRA_ONEFILE_PARENT, and the parent's preparation of the environment.
#include "launcher/role.h"
#include "launcher/run_state.h"
#include "os/win_calls.h"
#include "paths/environment.h"
#include "tests/support/kit.h"
#include "tests/support/probe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <cwchar>

VELDRA_PROBE(role)
{
    decide_role();
    printf(is_child ? "child" : "parent");
    return 0;
}

// The module list of another process unreadable, as a sandbox or an emulator may make it: the
// system refuses the read with ERROR_PARTIAL_COPY, or the open that asks for the right to read.
DWORD WINAPI module_name_refused(HANDLE, HMODULE, LPWSTR, DWORD)
{
    SetLastError(ERROR_PARTIAL_COPY);
    return 0;
}

HANDLE WINAPI memory_read_refused(DWORD access, BOOL inherit, DWORD id)
{
    if ((access & PROCESS_VM_READ) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return OpenProcess(access, inherit, id);
}

VELDRA_PROBE(role_without_module_name)
{
    if (wcscmp(argv[0], L"read") == 0) {
        os.K32GetModuleFileNameExW = module_name_refused;
    } else {
        os.OpenProcess = memory_read_refused;
    }
    decide_role();
    printf(is_child ? "child" : "parent");
    return 0;
}

VELDRA_PROBE(sleep)
{
    Sleep(30000);
    return 0;
}

VELDRA_PROBE(prepare_parent)
{
    prepare_parent_environment();
    const char* names[] = {"VELDRA_ONEFILE_START", "VELDRA_ONEFILE_TIME_US", "VELDRA_ONEFILE_RANDOM",
                           "VELDRA_ONEFILE_PARENT"};
    for (const char* name : names) {
        wchar_t* value = getenv_ascii(name);
        printf("%s=%ls\n", name, value ? value : L"(none)");
    }
    printf("own=%lu\n", GetCurrentProcessId());
    return 0;
}

namespace {

std::string role_with_parent(const std::optional<std::wstring>& value)
{
    return run_probe(L"role", {}, {{L"VELDRA_ONEFILE_PARENT", value}}).out;
}

// A process started and already ended: its identifier names no live process.
std::wstring exited_process_id()
{
    std::wstring self = this_executable_path();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::wstring line = quote_argument(self) + L" --veldra-probe none";
    CreateProcessW(self.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return std::to_wstring(info.dwProcessId);
}

}  // namespace

TEST(RoleDecision, AnythingButALiveProcessOfThisExecutableMakesAParent)
{
    const std::wstring self_id = std::to_wstring(GetCurrentProcessId());
    struct role_case {
        const char* what;
        std::optional<std::wstring> value;
        const char* role;
    };
    const role_case cases[] = {
        {"absent", std::nullopt, "parent"},
        {"empty", L"", "parent"},
        {"letters after the digits", self_id + L"a", "parent"},
        {"letters only", L"12a", "parent"},
        {"outside the signed 32-bit range", L"99999999999", "parent"},
        {"an exited process", exited_process_id(), "parent"},
        {"this executable, alive", self_id, "child"},
        {"a leading blank", L" " + self_id, "child"},
        {"a leading plus sign", L"+" + self_id, "child"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.role, role_with_parent(c.value));
    }
}

// A copy of this test executable under another name, running until the test ends it.
struct other_executable {
    std::wstring path;
    PROCESS_INFORMATION info = {};

    other_executable()
    {
        path = temp_path_for(L"other_launcher") + L".exe";
        EXPECT_TRUE(CopyFileW(this_executable_path().c_str(), path.c_str(), FALSE));
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        std::wstring line = quote_argument(path) + L" --veldra-probe sleep";
        EXPECT_TRUE(CreateProcessW(path.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &info));
    }
    ~other_executable()
    {
        TerminateProcess(info.hProcess, 0);
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        DeleteFileW(path.c_str());
    }
    std::wstring id() const { return std::to_wstring(info.dwProcessId); }
};

TEST(RoleDecision, ALiveProcessOfAnotherExecutableMakesAParent)
{
    other_executable other;
    EXPECT_EQ("parent", role_with_parent(other.id()));
}

// Without the parent's module name the image name and the file's identity decide: a genuine
// child stays a child instead of unpacking again and starting children of its own.
TEST(RoleDecision, WithoutTheParentsModuleNameTheImageFileDecides)
{
    other_executable other;
    const std::wstring self_id = std::to_wstring(GetCurrentProcessId());
    struct refusal_case {
        const char* what;
        const wchar_t* refused;
        std::wstring parent;
        const char* role;
    };
    const refusal_case cases[] = {
        {"read refused, this executable", L"read", self_id, "child"},
        {"open for reading refused, this executable", L"open", self_id, "child"},
        {"read refused, another executable", L"read", other.id(), "parent"},
        {"open for reading refused, another executable", L"open", other.id(), "parent"},
        {"read refused, an exited process", L"read", exited_process_id(), "parent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.role,
                  run_probe(L"role_without_module_name", {c.refused}, {{L"VELDRA_ONEFILE_PARENT", c.parent}}).out);
    }
}

TEST(ParentEnvironment, DropsTheCachedValuesAndNamesItself)
{
    process_result result = run_probe(L"prepare_parent", {},
                                      {{L"VELDRA_ONEFILE_START", L"133485408001234567"},
                                       {L"VELDRA_ONEFILE_TIME_US", L"123456"},
                                       {L"VELDRA_ONEFILE_RANDOM", L"paPEmIhNHSk"},
                                       {L"VELDRA_ONEFILE_PARENT", L"4242"}});
    ASSERT_EQ(0u, result.exit_code);
    size_t own = result.out.find("own=");
    ASSERT_NE(std::string::npos, own);
    std::string own_id = result.out.substr(own + 4, result.out.find('\r', own) - own - 4);
    EXPECT_EQ("VELDRA_ONEFILE_START=(none)\r\n"
              "VELDRA_ONEFILE_TIME_US=(none)\r\n"
              "VELDRA_ONEFILE_RANDOM=(none)\r\n"
              "VELDRA_ONEFILE_PARENT=" + own_id + "\r\n"
              "own=" + own_id + "\r\n",
              result.out);
}
