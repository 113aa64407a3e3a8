// The role decision on VELDRA_ONEFILE_PARENT, and the parent's preparation of the environment.
#include "launcher/role.h"
#include "launcher/run_state.h"
#include "os/win_calls.h"
#include "paths/environment.h"
#include "tests/support/kit.h"
#include "tests/support/probe.h"
#include "tests/support/seam.h"

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

// argv: the own token's elevation, the parent's ("yes", "no" or "unreadable").
VELDRA_PROBE(role_with_elevation)
{
    auto elevation = [](const wchar_t* text) {
        return wcscmp(text, L"yes") == 0 ? token_elevation::yes
               : wcscmp(text, L"no") == 0 ? token_elevation::no
                                          : token_elevation::unreadable;
    };
    fake_token_elevation(elevation(argv[0]), elevation(argv[1]));
    decide_role();
    printf(is_child ? "child" : "parent");
    return 0;
}

VELDRA_PROBE(sleep)
{
    Sleep(30000);
    return 0;
}

// The role of a process this probe starts with the environment it was given itself.
VELDRA_PROBE(role_of_own_start)
{
    printf("%s", run_probe(L"role").out.c_str());
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
        // Only the text "%ld" writes: the child builds its folder's path from these values.
        {"a leading blank", L" " + self_id, "parent"},
        {"a leading plus sign", L"+" + self_id, "parent"},
        {"a leading zero", L"0" + self_id, "parent"},
        {"a trailing blank", self_id + L" ", "parent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.role, role_with_parent(c.value));
    }
}

// The values the child builds its folder's path from must have exactly the shapes a parent
// writes; an absent one is made afresh by the child and names no parent's folder.
TEST(RoleDecision, RunIdentityValuesOfAnyOtherShapeMakeAParent)
{
    const std::wstring self_id = std::to_wstring(GetCurrentProcessId());
    struct shape_case {
        const char* what;
        const wchar_t* variable;
        std::optional<std::wstring> value;
        const char* role;
    };
    const shape_case cases[] = {
        {"time_us of six digits", L"VELDRA_ONEFILE_TIME_US", L"000000", "child"},
        {"time_us absent", L"VELDRA_ONEFILE_TIME_US", std::nullopt, "child"},
        {"time_us of five digits", L"VELDRA_ONEFILE_TIME_US", L"12345", "parent"},
        {"time_us of seven digits", L"VELDRA_ONEFILE_TIME_US", L"1234567", "parent"},
        {"time_us with a path", L"VELDRA_ONEFILE_TIME_US", L"0\\..\\0", "parent"},
        {"time_us with an Arabic-Indic digit", L"VELDRA_ONEFILE_TIME_US", L"00000\u0661", "parent"},
        {"start of 18 digits", L"VELDRA_ONEFILE_START", L"133485408001234567", "child"},
        {"start of 20 digits", L"VELDRA_ONEFILE_START", L"13348540800123456789", "parent"},
        {"start with a letter", L"VELDRA_ONEFILE_START", L"1334854080012345x", "parent"},
        {"random of the generator's shape", L"VELDRA_ONEFILE_RANDOM", L"paPEmIhNHSk", "child"},
        {"random climbing out", L"VELDRA_ONEFILE_RANDOM", L"x\\..\\..\\evil", "parent"},
        {"random of ten characters", L"VELDRA_ONEFILE_RANDOM", L"paPEmIhNHS", "parent"},
        {"random of twelve characters", L"VELDRA_ONEFILE_RANDOM", L"paPEmIhNHSkA", "parent"},
        {"random with a dot", L"VELDRA_ONEFILE_RANDOM", L"paPEmIhN.Sk", "parent"},
        {"random ending off the encoding", L"VELDRA_ONEFILE_RANDOM", L"paPEmIhNHSl", "parent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.role, run_probe(L"role", {}, {{L"VELDRA_ONEFILE_PARENT", self_id}, {c.variable, c.value}}).out);
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

// Elevation that the parent does not have is never inherited through the environment: an
// elevated process takes it from a place the same user's unelevated programs can write.
TEST(RoleDecision, AnElevatedProcessIsAChildOnlyOfAnElevatedParent)
{
    const std::wstring self_id = std::to_wstring(GetCurrentProcessId());
    struct elevation_case {
        const wchar_t* own;
        const wchar_t* parent;
        const char* role;
    };
    const elevation_case cases[] = {
        {L"no", L"no", "child"},
        {L"no", L"yes", "child"},
        {L"yes", L"yes", "child"},
        {L"yes", L"no", "parent"},
        {L"yes", L"unreadable", "parent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(utf8(std::wstring(c.own) + L" under " + c.parent));
        EXPECT_EQ(c.role, run_probe(L"role_with_elevation", {c.own, c.parent}, {{L"VELDRA_ONEFILE_PARENT", self_id}}).out);
    }
}

// A live process of this same executable makes a child only of the processes it started, or
// of those that the child it started starts in turn (the application starting its launcher
// again); a process it did not start that was merely handed the variables is a parent.
TEST(RoleDecision, OnlyTheParentThatStartedTheProcessOrItsChildMakesAChild)
{
    const std::wstring self_id = std::to_wstring(GetCurrentProcessId());
    std::wstring line = quote_argument(this_executable_path()) + L" --veldra-probe sleep";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION sleeper = {};
    ASSERT_TRUE(CreateProcessW(this_executable_path().c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &sleeper));
    const std::wstring sleeper_id = std::to_wstring(sleeper.dwProcessId);

    EXPECT_EQ("parent", role_with_parent(sleeper_id));
    EXPECT_EQ("child", run_probe(L"role_of_own_start", {}, {{L"VELDRA_ONEFILE_PARENT", self_id}}).out);
    // Started by a process that the named one did not start either.
    EXPECT_EQ("parent", run_probe(L"role_of_own_start", {}, {{L"VELDRA_ONEFILE_PARENT", sleeper_id}}).out);

    TerminateProcess(sleeper.hProcess, 0);
    WaitForSingleObject(sleeper.hProcess, INFINITE);
    CloseHandle(sleeper.hThread);
    CloseHandle(sleeper.hProcess);
}
