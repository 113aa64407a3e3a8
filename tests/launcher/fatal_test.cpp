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
    fatal_error(error_header_missing);
}

VELDRA_PROBE(fatal_system_error)
{
    fatal_system_error(error_launch_child, wcstoul(argv[0], nullptr, 0));
}

VELDRA_PROBE(report_system_error)
{
    report_system_error(error_load_dll, wcstoul(argv[0], nullptr, 0));
    return 0;
}

VELDRA_PROBE(fatal_open_error)
{
    fatal_open_error(L"C:\\users\\x\\Temp\\onefile_1_2_3\\sub dir\\data.bin");
}

VELDRA_PROBE(fatal_template_error)
{
    fatal_template_error(L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}");
}

// One row of the table of stops, ended through the routine its shape asks for.
VELDRA_PROBE(fatal_row)
{
    fatal_stop row = static_cast<fatal_stop>(wcstoul(argv[0], nullptr, 10));
    if (fatal_rows[row].system_text) {
        fatal_system_error(row, ERROR_ACCESS_DENIED);
    } else if (fatal_rows[row].text_after[0] != '\0') {
        fatal_path_error(row, L"C:\\p\u00e9");
    } else {
        fatal_error(row);
    }
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

// Every stop of the table with its exact line, stream and ending, so that a text moved or
// changed anywhere shows here.
TEST(FatalStops, EveryRowOfTheTableHasItsExactLineStreamAndEnding)
{
    const std::string denied = " ([Error 5] " + system_text(ERROR_ACCESS_DENIED) + ")\r\n";
    struct row_case {
        fatal_stop row;
        std::string out;
        std::string err;
        unsigned long status;
    };
    const row_case cases[] = {
        {error_register_handler, "Error, failed to register signal handler.\r\n", "", 2},
        {error_header_missing, "Error, couldn't find attached data header.\r\n", "", 2},
        {error_no_memory, "Error, couldn't allocate memory.\r\n", "", 2},
        {error_decode_failed, "Error, couldn't decode attached data.\r\n", "", 2},
        {error_unsafe_name, "Error, attached data holds an unsafe file name.\r\n", "", 2},
        {error_no_main_module, "Error, attached data holds no main module.\r\n", "", 2},
        {error_entry_point_missing, "Error, DLL entry point not found.\r\n", "", 2},
        {error_load_dll, "", "Error, load DLL." + denied, 2},
        {error_launch_child, "", "Error, couldn't launch child" + denied, 2},
        {error_hold_own_executable, "", "Error, couldn't hold the launcher's own executable against replacement." + denied,
         2},
        {error_token_user, "", "Error, couldn't read the user of the process token." + denied, 2},
        {error_write_failed, "", "Error, couldn't unpack file to target path." + denied, 2},
        // A character above 0xFF ends a path's text, as the C runtime's %ls did; é does not.
        {error_open_failed, "", "Error, failed to open 'C:\\p\xe9' for writing.\r\n", 2},
        {error_fresh_unpack_folder, "", "Error, couldn't create a fresh unpack folder 'C:\\p\xe9'.\r\n", 2},
        {error_template_expansion, "", "Error, couldn't runtime expand spec 'C:\\p\xe9'.\r\n", fail_fast_status},
        {error_file_table_damaged, "Error, attached data holds a damaged file table.\r\n", "", 2},
        {error_cache_folder_in_place, "", "Error, couldn't put the unpacked folder in place at 'C:\\p\xe9'.\r\n", 2},
    };
    ASSERT_EQ(static_cast<size_t>(fatal_stop_count), sizeof cases / sizeof cases[0]);
    for (const auto& c : cases) {
        SCOPED_TRACE(fatal_rows[c.row].text);
        process_result result = run_probe(L"fatal_row", {std::to_wstring(static_cast<int>(c.row))});
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
        fatal_open_error(target_path);
    } else if (which == L"system") {
        fatal_system_error(error_write_failed, ERROR_PATH_NOT_FOUND);
    } else if (which == L"plain") {
        fatal_error(error_decode_failed);
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
