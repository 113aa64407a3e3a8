// Messages and endings of the fatal stops. Every message is one line that starts with "Error, ".
#include "launcher/fatal.h"

#include "launcher/run_state.h"
#include "launcher/teardown.h"
#include "os/runtime.h"
#include "os/win_calls.h"
#include "paths/bounded.h"
#include "payload/extract.h"


const fatal_row fatal_rows[fatal_stop_count] = {
#define VELDRA_FATAL_ROW(row, text, text_after, stream, ending, system_text) \
    {text, text_after, stream, ending, system_text},
    VELDRA_FATAL_STOPS(VELDRA_FATAL_ROW)
#undef VELDRA_FATAL_ROW
};

[[noreturn]] static void exit_with_status_2()
{
    os.exit(2);
    os_fail_fast_real();
}

// Set while the removal runs: a stop inside it (a path that overflows in the walk) ends the run
// without starting the removal again.
static volatile LONG removal_running;

void remove_unpacked_before_ending()
{
    // The child's folder is its parent's; once a child exists, its parent's teardown removes it.
    if (is_child || child_created || InterlockedExchange(&removal_running, 1) != 0) {
        return;
    }
    walk_close_files();
    teardown();
    InterlockedExchange(&removal_running, 0);
}

[[noreturn]] static void end_as_row(fatal_stop row)
{
    // fail_fast removes first too.
    if (fatal_rows[row].ending == fatal_fail_fast) {
        fail_fast();
    }
    remove_unpacked_before_ending();
    exit_with_status_2();
}

static void write_row_line(fatal_stop row)
{
    line_write(fatal_rows[row].stream == fatal_stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

// Once a console stop is under way the stop owns the ending: a failure on the main thread may be
// the handler's removal pulling the folder from under a write, and a message about it would
// mislead. No line, then, and the stop path's halt, which removes what was written.
static void halt_if_stopping()
{
    if (console_stop_requested) {
        halt_after_console_stop();
    }
}

// The text shown when the system has no US English text for a code: the line keeps its shape.
static const char unknown_error_text[] = "Unknown error";

void report_system_error(fatal_stop row, unsigned long code)
{
    char* text = nullptr;
    DWORD length = os.FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                         FORMAT_MESSAGE_FROM_SYSTEM,
                                     nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                     reinterpret_cast<char*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        text = const_cast<char*>(unknown_error_text);
        length = 0;
    }
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
        text[--length] = '\0';
    }
    line_start();
    line_add(fatal_rows[row].text);
    line_add(" ([Error ");
    line_add_decimal(static_cast<long>(code));
    line_add("] ");
    line_add(text);
    line_add(")\n");
    write_row_line(row);
}

void fatal_system_error(fatal_stop row, unsigned long code)
{
    halt_if_stopping();
    report_system_error(row, code);
    end_as_row(row);
}

static void write_fixed_line(fatal_stop row)
{
    line_start();
    line_add(fatal_rows[row].text);
    line_add("\n");
    write_row_line(row);
}

void fatal_error(fatal_stop row)
{
    halt_if_stopping();
    write_fixed_line(row);
    end_as_row(row);
}

void fatal_path_error_now(fatal_stop row, const wchar_t* path)
{
    line_start();
    line_add(fatal_rows[row].text);
    line_add_wide(path);
    line_add(fatal_rows[row].text_after);
    line_add("\n");
    write_row_line(row);
    end_as_row(row);
}

void fatal_path_error(fatal_stop row, const wchar_t* path)
{
    halt_if_stopping();
    fatal_path_error_now(row, path);
}

void fatal_open_error(const wchar_t* path)
{
    fatal_path_error(error_open_failed, path);
}

void fatal_unsafe_name()
{
    // The folder holds nothing but this run's files, since every earlier name passed the same
    // check; it goes as after every stop before the child exists.
    write_fixed_line(error_unsafe_name);
    end_as_row(error_unsafe_name);
}

void fatal_template_error(const wchar_t* template_text)
{
    fatal_path_error(error_template_expansion, template_text);
}
