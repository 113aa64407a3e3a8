// Messages and endings of the fatal stops. Every message is one line that starts with "Error, ".
#include "launcher/fatal.h"

#include "launcher/run_state.h"
#include "launcher/teardown.h"
#include "os/runtime.h"
#include "os/win_calls.h"
#include "paths/bounded.h"


[[noreturn]] static void exit_with_status_2()
{
    os.exit(2);
    os_fail_fast_real();
}

// Once a console stop is under way the stop owns the ending: a failure on the main thread may be
// the handler's removal pulling the folder from under a write, and a message about it would
// mislead. No line, then, and the stop path's halt, which removes what was written.
static void halt_if_stopping()
{
    if (console_stop_requested) {
        halt_after_console_stop(nullptr);
    }
}

// The text shown when the system has no US English text for a code: the line keeps its shape.
static const char unknown_error_text[] = "Unknown error";

void report_system_error(const char* message, unsigned long code)
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
    line_add(message);
    line_add(" ([Error ");
    line_add_decimal(static_cast<long>(code));
    line_add("] ");
    line_add(text);
    line_add(")\n");
    line_write(STD_ERROR_HANDLE);
}

void fatal_system_error(const char* message, unsigned long code)
{
    halt_if_stopping();
    report_system_error(message, code);
    exit_with_status_2();
}

void fatal_error(const char* message)
{
    halt_if_stopping();
    line_start();
    line_add(message);
    line_add("\n");
    line_write(STD_OUTPUT_HANDLE);
    exit_with_status_2();
}

void fatal_open_error()
{
    halt_if_stopping();
    line_start();
    line_add("Error, failed to open '");
    line_add_wide(target_path);
    line_add("' for writing.\n");
    line_write(STD_ERROR_HANDLE);
    exit_with_status_2();
}

void fatal_unsafe_name()
{
    line_start();
    line_add("Error, attached data holds an unsafe file name.\n");
    line_write(STD_OUTPUT_HANDLE);
    // No child runs yet: teardown only removes the folder, which holds nothing but this run's
    // files, since every earlier name passed the same check.
    if (!is_child) {
        teardown();
    }
    exit_with_status_2();
}

void fatal_template_error(const wchar_t* template_text)
{
    halt_if_stopping();
    line_start();
    line_add("Error, couldn't runtime expand spec '");
    line_add_wide(template_text);
    line_add("'.\n");
    line_write(STD_ERROR_HANDLE);
    fail_fast();
}
