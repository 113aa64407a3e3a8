// Fatal stops, watched from outside: the exact bytes on each stream and the exit status.
#include "launcher/fatal.h"
#include "launcher/run_state.h"
#include "os/win_calls.h"
#include "paths/bounded.h"
#include "tests/support/probe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <string>

static const unsigned long fail_fast_status = 0xC0000409;

VELDRA_PROBE(fatal_error)
{
    fatal_error("Error, couldn't find attached data header.");
}

VELDRA_PROBE(fatal_system_error)
{
    fatal_system_error("Error, couldn't launch child", wcstoul(argv[0], nullptr, 0));
}

VELDRA_PROBE(report_system_error)
{
    report_system_error("Error, load DLL.", wcstoul(argv[0], nullptr, 0));
    return 0;
}

VELDRA_PROBE(fatal_open_error)
{
    wcscpy(target_path, L"C:\\users\\x\\Temp\\onefile_1_2_3\\sub dir\\data.bin");
    fatal_open_error();
}

VELDRA_PROBE(fatal_template_error)
{
    fatal_template_error(L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}");
}

VELDRA_PROBE(fail_fast)
{
    // Standard output to a file is buffered: the fail-fast ending must not flush it.
    printf("buffered text");
    fail_fast();
}

TEST(FatalStops, EachRoutinePrintsItsLineOnItsStreamAndEndsWithItsStatus)
{
    struct fatal_case {
        const wchar_t* probe;
        std::wstring argument;
        std::string out;
        std::string err;
        unsigned long status;
    };
    const fatal_case cases[] = {
        {L"fatal_error", L"", "Error, couldn't find attached data header.\r\n", "", 2},
        {L"fatal_system_error", L"5", "",
         "Error, couldn't launch child ([Error 5] " + system_text(5) + ")\r\n", 2},
        {L"fatal_open_error", L"", "",
         "Error, failed to open 'C:\\users\\x\\Temp\\onefile_1_2_3\\sub dir\\data.bin' for writing.\r\n", 2},
        {L"fatal_template_error", L"", "",
         "Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\r\n",
         fail_fast_status},
        {L"fail_fast", L"", "", "", fail_fast_status},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.probe));
        std::vector<std::wstring> arguments;
        if (!c.argument.empty()) {
            arguments.push_back(c.argument);
        }
        process_result result = run_probe(c.probe, arguments);
        EXPECT_EQ(c.out, result.out);
        EXPECT_EQ(c.err, result.err);
        EXPECT_EQ(c.status, result.exit_code);
    }
}

TEST(FatalStops, SystemTextLosesItsLineEndAndAnUnknownCodeKeepsTheLineShape)
{
    ASSERT_FALSE(system_text(2).empty());
    process_result known = run_probe(L"report_system_error", {L"2"});
    EXPECT_EQ("Error, load DLL. ([Error 2] " + system_text(2) + ")\r\n", known.err);
    EXPECT_EQ(0u, known.exit_code);

    // No system text exists for this code: the line still carries the message and the code.
    ASSERT_TRUE(system_text(0x20001234).empty());
    process_result unknown = run_probe(L"report_system_error", {L"0x20001234"});
    EXPECT_EQ("Error, load DLL. ([Error 536875572] Unknown error)\r\n", unknown.err);
}

namespace {
// The stop path's halt waits in Sleep(INFINITE) for the system to end the process; here it
// ends with a status of its own, so that the test can tell the halt from an exit.
const unsigned long halted_status = 0x5747;
void WINAPI end_at_halt(DWORD milliseconds)
{
    if (milliseconds == INFINITE) {
        fflush(stdout);
        ExitProcess(halted_status);
    }
}
}  // namespace

// Each fatal routine while a console stop is under way: a failure then may be the handler's
// removal pulling the folder from under the main thread, so no line, and the halt of the stop.
VELDRA_PROBE(fatal_during_stop)
{
    os.Sleep = end_at_halt;
    console_stop_requested = true;
    unpack_started = false;
    wcscpy(target_path, L"C:\\users\\x\\Temp\\onefile_1_2_3\\main.dll");
    std::wstring which = argv[0];
    if (which == L"open") {
        fatal_open_error();
    } else if (which == L"system") {
        fatal_system_error("Error, couldn't unpack file to target path.", ERROR_PATH_NOT_FOUND);
    } else if (which == L"plain") {
        fatal_error("Error, couldn't decode attached data.");
    } else {
        fatal_template_error(L"{HOME}");
    }
}

TEST(FatalStops, DuringAConsoleStopNothingIsPrintedAndTheStopPathHalts)
{
    for (const wchar_t* which : {L"open", L"system", L"plain", L"template"}) {
        SCOPED_TRACE(narrow(which));
        process_result result = run_probe(L"fatal_during_stop", {which});
        EXPECT_EQ("", result.out);
        EXPECT_EQ("", result.err);
        EXPECT_EQ(halted_status, result.exit_code);
    }
}
