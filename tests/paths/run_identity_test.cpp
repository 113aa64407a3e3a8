// Run identity values: the random token's generator and layout, the time texts, PID checks,
// and the reuse of stored values within a process and in a child that inherits them.
#include "launcher/role.h"
#include "paths/run_identity.h"
#include "paths/template.h"
#include "tests/support/kit.h"
#include "tests/support/probe.h"
#include "tests/support/scoped_variable.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwctype>
#include <set>
#include <string>

namespace {

const std::wstring alphabet = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
const std::wstring last_characters = L"AEIMQUYcgkosw048";
const wchar_t unpack_template[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

std::wstring expand(const wchar_t* template_text)
{
    static wchar_t output[4096];
    EXPECT_TRUE(expand_template(output, template_text, 4096)) << narrow(template_text);
    return output;
}

bool is_token(const std::wstring& text)
{
    return text.size() == 11 && text.find_first_not_of(alphabet) == std::wstring::npos &&
           last_characters.find(text.back()) != std::wstring::npos;
}

bool is_six_digits(const std::wstring& text)
{
    return text.size() == 6 && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

// The run identity variables of the test process, cleared for one test.
struct fresh_identity {
    scoped_variable parent{L"VELDRA_ONEFILE_PARENT", std::nullopt};
    scoped_variable start{L"VELDRA_ONEFILE_START", std::nullopt};
    scoped_variable time_us{L"VELDRA_ONEFILE_TIME_US", std::nullopt};
    scoped_variable random{L"VELDRA_ONEFILE_RANDOM", std::nullopt};
};

int64_t fake_system_time;
int system_time_reads;
int counter_reads;
LONGLONG fake_counter;

void WINAPI fake_get_system_time(LPFILETIME now)
{
    ++system_time_reads;
    now->dwLowDateTime = static_cast<DWORD>(fake_system_time);
    now->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(fake_system_time) >> 32);
}

BOOL WINAPI fake_query_counter(LARGE_INTEGER* counter)
{
    ++counter_reads;
    counter->QuadPart = fake_counter;
    return TRUE;
}

void use_fake_clocks(int64_t system_time, LONGLONG counter)
{
    fake_system_time = system_time;
    fake_counter = counter;
    system_time_reads = 0;
    counter_reads = 0;
    os.GetSystemTimeAsFileTime = fake_get_system_time;
    os.QueryPerformanceCounter = fake_query_counter;
}

}  // namespace

TEST(RandomToken, TheSeededGeneratorGivesTheWorkedExamples)
{
    struct seed_case {
        uint64_t seed;
        const wchar_t* token;
    };
    const seed_case cases[] = {
        {0, L"4iCoOXsdza8"},  // splitmix64's first output from 0: E220A8397B1DCDAF
        {0x12345678, L"OPHcOdGQa28"},  // 38F1DC39D1906B6F
        {1, L"kQot7IkCXME"},
        {0x100000000ull, L"xCxaGqOCATg"},  // a bit above the low 32 counts as well
        {0x123456789ABCDEF0ull, L"FhkixkXOUOg"},
    };
    for (const auto& c : cases) {
        wchar_t token[random_token_capacity];
        make_random_token_from_seed(c.seed, token);
        EXPECT_STREQ(c.token, token) << "seed " << c.seed;
    }
}

namespace {

DWORD fake_process_id;
DWORD fake_thread_id;

DWORD WINAPI fake_get_process_id()
{
    return fake_process_id;
}

DWORD WINAPI fake_get_thread_id()
{
    return fake_thread_id;
}

std::wstring token_with(int64_t system_time, LONGLONG counter, DWORD process_id, DWORD thread_id)
{
    fake_system_time = system_time;
    fake_counter = counter;
    fake_process_id = process_id;
    fake_thread_id = thread_id;
    wchar_t token[random_token_capacity];
    make_random_token(token);
    return token;
}

}  // namespace

// Two runs that share the counter's value must still get different names: every source,
// high bits included, moves the token on its own.
TEST(RandomToken, EachSeedSourceAloneChangesTheToken)
{
    seam_scope seam;
    use_fake_clocks(0, 0);
    os.GetCurrentProcessId = fake_get_process_id;
    os.GetCurrentThreadId = fake_get_thread_id;
    const std::wstring base = token_with(133485408001234567, 0x0000000100000001, 100, 200);
    EXPECT_EQ(base, token_with(133485408001234567, 0x0000000100000001, 100, 200)) << "same sources, same token";
    struct source_case {
        const char* what;
        int64_t system_time;
        LONGLONG counter;
        DWORD process_id;
        DWORD thread_id;
    };
    const source_case cases[] = {
        {"the time", 133485408001234568, 0x0000000100000001, 100, 200},
        {"the counter's high half", 133485408001234567, 0x0000000200000001, 100, 200},
        {"the counter's low half", 133485408001234567, 0x0000000100000002, 100, 200},
        {"the process", 133485408001234567, 0x0000000100000001, 104, 200},
        {"the thread", 133485408001234567, 0x0000000100000001, 100, 204},
        {"process and thread swapped", 133485408001234567, 0x0000000100000001, 200, 100},
    };
    for (const auto& c : cases) {
        EXPECT_NE(base, token_with(c.system_time, c.counter, c.process_id, c.thread_id)) << c.what;
    }
}

TEST(RandomToken, GeneratedTokensAreElevenAlphabetCharactersEndingOnAMultipleOfFour)
{
    seam_scope seam;
    use_fake_clocks(0, 0);
    std::set<std::wstring> tokens;
    std::set<wchar_t> endings;
    for (LONGLONG counter = 0; counter < 512; ++counter) {
        fake_counter = counter * 0x10001 + (counter << 40);
        wchar_t token[random_token_capacity];
        make_random_token(token);
        EXPECT_TRUE(is_token(token)) << narrow(token);
        tokens.insert(token);
        endings.insert(token[10]);
    }
    EXPECT_EQ(512, counter_reads) << "the counter is read through the system-call table";
    EXPECT_EQ(512u, tokens.size()) << "each counter value gives its own token";
    EXPECT_EQ(16u, endings.size()) << "all sixteen possible last characters occur";

    os_restore_defaults();
    wchar_t real_token[random_token_capacity];
    make_random_token(real_token);
    EXPECT_TRUE(is_token(real_token)) << narrow(real_token);
}

TEST(SystemTime, GivesTimeAsAllItsDigitsAndTimeUsAsSixDigitsOfTheSecond)
{
    struct time_case {
        int64_t system_time;
        const wchar_t* time;
        const wchar_t* time_us;
    };
    const time_case cases[] = {
        {133485408001234567, L"133485408001234567", L"123456"},  // 2024-01-01 00:00:00.1234567
        {133485408000000045, L"133485408000000045", L"000004"},
        {133485408009999999, L"133485408009999999", L"999999"},
        {0, L"0", L"000000"},
        {INT64_MAX, L"9223372036854775807", L"477580"},
    };
    for (const auto& c : cases) {
        wchar_t time[time_text_capacity];
        wchar_t time_us[time_text_capacity];
        format_time(c.system_time, time);
        format_time_us(c.system_time, time_us);
        EXPECT_STREQ(c.time, time);
        EXPECT_STREQ(c.time_us, time_us) << narrow(c.time);
    }
}

TEST(RunIdentity, GeneratedValuesAreStoredAndReusedHoweverTheClockMoves)
{
    fresh_identity identity;
    seam_scope seam;
    use_fake_clocks(133485408001234567, 12345);
    const std::wstring first = expand(L"{TIME}|{TIME_US}|{RANDOM}");

    std::wstring random = first.substr(first.rfind(L'|') + 1);
    EXPECT_EQ(L"133485408001234567|123456|" + random, first);
    EXPECT_TRUE(is_token(random)) << narrow(random);
    EXPECT_EQ(L"133485408001234567", variable_value(L"VELDRA_ONEFILE_START"));
    EXPECT_EQ(L"123456", variable_value(L"VELDRA_ONEFILE_TIME_US"));
    EXPECT_EQ(random, variable_value(L"VELDRA_ONEFILE_RANDOM"));

    use_fake_clocks(133485408997654321, 999);
    EXPECT_EQ(first, expand(L"{TIME}|{TIME_US}|{RANDOM}"));
    EXPECT_EQ(0, system_time_reads);
    EXPECT_EQ(0, counter_reads);
}

TEST(RunIdentity, PresetValuesAreUsedUnchangedWithoutGeneratingAnything)
{
    // Stored values are taken as they are, even texts the launcher would never make.
    fresh_identity identity;
    scoped_variable start(L"VELDRA_ONEFILE_START", L"start text");
    scoped_variable time_us(L"VELDRA_ONEFILE_TIME_US", L"12");
    scoped_variable random(L"VELDRA_ONEFILE_RANDOM", L"not random");
    seam_scope seam;
    use_fake_clocks(133485408001234567, 12345);
    EXPECT_EQ(L"start text|12|not random", expand(L"{TIME}|{TIME_US}|{RANDOM}"));
    EXPECT_EQ(0, system_time_reads);
    EXPECT_EQ(0, counter_reads);
}

TEST(RunIdentity, TwoExpansionsOfTheUnpackTemplateInOneProcessAgree)
{
    fresh_identity identity;
    const std::wstring own_id = std::to_wstring(GetCurrentProcessId());
    const std::wstring first = expand(unpack_template);
    Sleep(20);
    EXPECT_EQ(first, expand(unpack_template));

    const std::wstring prefix = system_temp_folder() + L"\\onefile_" + own_id + L"_";
    ASSERT_EQ(prefix, first.substr(0, prefix.size()));
    const std::wstring rest = first.substr(prefix.size());  // six digits, "_", the token
    ASSERT_EQ(18u, rest.size()) << narrow(rest);
    EXPECT_TRUE(is_six_digits(rest.substr(0, 6))) << narrow(rest);
    EXPECT_EQ(L'_', rest[6]);
    EXPECT_TRUE(is_token(rest.substr(7))) << narrow(rest);
}

TEST(RunIdentity, PidIsTheStoredParentWhenAllItsCharactersAreDigitsZeroToNine)
{
    struct pid_case {
        const char* what;
        const wchar_t* stored;
        const wchar_t* expanded;  // nullptr: the process ends
    };
    const pid_case cases[] = {
        {"leading zeros kept", L"0042", L"0042"},
        {"a large identifier", L"4294967295", L"4294967295"},
        {"letters after the digits", L"12a", nullptr},
        {"a leading blank", L" 12", nullptr},
        {"a leading plus sign", L"+12", nullptr},
        {"a superscript two", L"1\u00B2", nullptr},
        {"Arabic-Indic digits", L"\u0661\u0662", nullptr},
        {"fullwidth digits", L"\uFF11\uFF12", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scoped_variable parent(L"VELDRA_ONEFILE_PARENT", std::wstring(c.stored));
        seam_scope seam;
        wchar_t output[64];
        bool aborted = ends_in_fail_fast([&] { expand_template(output, L"{PID}", 64); });
        EXPECT_EQ(c.expanded == nullptr, aborted);
        if (c.expanded != nullptr && !aborted) {
            EXPECT_STREQ(c.expanded, output);
        }
    }
}

TEST(RunIdentity, PidWithoutAStoredParentIsTheOwnIdentifierAndStoresNothing)
{
    fresh_identity identity;
    EXPECT_EQ(std::to_wstring(GetCurrentProcessId()), expand(L"{PID}"));
    EXPECT_EQ(std::nullopt, variable_value(L"VELDRA_ONEFILE_PARENT"));
}

VELDRA_PROBE(expand)
{
    static wchar_t output[4096];
    bool expanded = expand_template(output, argv[0], 4096);
    printf("%ls", output);
    return expanded ? 0 : 1;
}

// Prepares the environment as a parent does, expands, then lets a child of its own expand.
VELDRA_PROBE(expand_in_parent_and_child)
{
    prepare_parent_environment();
    static wchar_t output[4096];
    if (!expand_template(output, unpack_template, 4096)) {
        return 1;
    }
    process_result child = run_probe(L"expand", {unpack_template});
    printf("parent %lu\n%ls\n%s\n", GetCurrentProcessId(), output, child.out.c_str());
    return static_cast<int>(child.exit_code);
}

TEST(RunIdentity, AChildWithTheInheritedEnvironmentExpandsToTheParentsText)
{
    process_result result = run_probe(L"expand_in_parent_and_child", {},
                                      {{L"VELDRA_ONEFILE_PARENT", std::nullopt},
                                       {L"VELDRA_ONEFILE_START", std::nullopt},
                                       {L"VELDRA_ONEFILE_TIME_US", std::nullopt},
                                       {L"VELDRA_ONEFILE_RANDOM", L"stale value"}});
    ASSERT_EQ(0u, result.exit_code) << result.out << result.err;
    // "parent <id>", the parent's text, the child's text.
    size_t first_break = result.out.find("\r\n");
    size_t second_break = result.out.find("\r\n", first_break + 2);
    ASSERT_NE(std::string::npos, second_break) << result.out;
    const std::string parent_id = result.out.substr(7, first_break - 7);
    const std::string parent_text = result.out.substr(first_break + 2, second_break - first_break - 2);
    const std::string child_text = result.out.substr(second_break + 2, result.out.size() - second_break - 4);
    EXPECT_EQ(parent_text, child_text);
    EXPECT_NE(std::string::npos, parent_text.find("\\onefile_" + parent_id + "_")) << parent_text;
    EXPECT_EQ(std::string::npos, parent_text.find("stale value")) << "the parent drops stored values";
}

TEST(RunIdentity, APidThatIsNotAllDigitsEndsTheProcessWithTheFailFastStatus)
{
    process_result result = run_probe(L"expand", {L"{PID}"}, {{L"VELDRA_ONEFILE_PARENT", L"12a"}});
    EXPECT_EQ(0xC0000409, result.exit_code);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("", result.err);
}
