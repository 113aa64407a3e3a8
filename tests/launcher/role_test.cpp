// The role decision on VELDRA_ONEFILE_PARENT, and the parent's preparation of the environment.
#include "launcher/role.h"
#include "launcher/run_state.h"
#include "paths/environment.h"
#include "tests/support/probe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

VELDRA_PROBE(role)
{
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

TEST(RoleDecision, ALiveProcessOfAnotherExecutableMakesAParent)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring other = std::wstring(temp) + L"veldra_other_launcher_" + std::to_wstring(GetCurrentProcessId()) +
                         L".exe";
    ASSERT_TRUE(CopyFileW(this_executable_path().c_str(), other.c_str(), FALSE));

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::wstring line = quote_argument(other) + L" --veldra-probe sleep";
    ASSERT_TRUE(CreateProcessW(other.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &info));
    EXPECT_EQ("parent", role_with_parent(std::to_wstring(info.dwProcessId)));
    TerminateProcess(info.hProcess, 0);
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    DeleteFileW(other.c_str());
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
