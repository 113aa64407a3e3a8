// Fatal stops: one line on the right stream, then exit status 2 (or the fail-fast ending).
// During a console stop they print nothing and halt as the stop path does.
// The one service every layer may call: paths/ and payload/ include this header and no other
// of launcher/.
#ifndef VELDRA_LAUNCHER_FATAL_H
#define VELDRA_LAUNCHER_FATAL_H

// Every fatal stop of the launcher, one row each:
//   X(row, text, text_after, stream, ending, system_text)
// text, text_after: the exact bytes of the line, before and after the path for the rows that
//   carry one (text_after is "" for the others).
// stream: standard output for the fixed lines, where a caller has always found them, as if
//   printed by puts; standard error for the lines that carry the system's text for a code or a
//   path, which describe this machine rather than the application's block.
// ending: status 2, or the fail-fast ending (0xC0000409) for a template that cannot expand,
//   where a partial unpack folder is no place to run from.
// system_text: the line goes on as " ([Error <code>] <the system's text>)".
#define VELDRA_FATAL_STOPS(X) \
    X(register_handler, "Error, failed to register signal handler.", "", fatal_stdout, fatal_status_2, false) \
    X(header_missing, "Error, couldn't find attached data header.", "", fatal_stdout, fatal_status_2, false) \
    X(no_memory, "Error, couldn't allocate memory.", "", fatal_stdout, fatal_status_2, false) \
    X(decode_failed, "Error, couldn't decode attached data.", "", fatal_stdout, fatal_status_2, false) \
    X(unsafe_name, "Error, attached data holds an unsafe file name.", "", fatal_stdout, fatal_status_2, false) \
    X(no_main_module, "Error, attached data holds no main module.", "", fatal_stdout, fatal_status_2, false) \
    X(entry_point_missing, "Error, DLL entry point not found.", "", fatal_stdout, fatal_status_2, false) \
    X(load_dll, "Error, load DLL.", "", fatal_stderr, fatal_status_2, true) \
    X(launch_child, "Error, couldn't launch child", "", fatal_stderr, fatal_status_2, true) \
    X(hold_own_executable, "Error, couldn't hold the launcher's own executable against replacement.", "", \
      fatal_stderr, fatal_status_2, true) \
    X(token_user, "Error, couldn't read the user of the process token.", "", fatal_stderr, fatal_status_2, true) \
    X(write_failed, "Error, couldn't unpack file to target path.", "", fatal_stderr, fatal_status_2, true) \
    X(open_failed, "Error, failed to open '", "' for writing.", fatal_stderr, fatal_status_2, false) \
    X(fresh_unpack_folder, "Error, couldn't create a fresh unpack folder '", "'.", fatal_stderr, fatal_status_2, \
      false) \
    X(template_expansion, "Error, couldn't runtime expand spec '", "'.", fatal_stderr, fatal_fail_fast, false) \
    X(file_table_damaged, "Error, attached data holds a damaged file table.", "", fatal_stdout, fatal_status_2, false) \
    X(cache_folder_in_place, "Error, couldn't put the unpacked folder in place at '", "'.", fatal_stderr, \
      fatal_status_2, false)

enum fatal_stop {
#define VELDRA_FATAL_ROW(row, text, text_after, stream, ending, system_text) error_##row,
    VELDRA_FATAL_STOPS(VELDRA_FATAL_ROW)
#undef VELDRA_FATAL_ROW
    fatal_stop_count
};

enum fatal_stream { fatal_stdout, fatal_stderr };
enum fatal_ending { fatal_status_2, fatal_fail_fast };

struct fatal_row {
    const char* text;
    const char* text_after;
    fatal_stream stream;
    fatal_ending ending;
    bool system_text;
};
extern const fatal_row fatal_rows[fatal_stop_count];

// Prints the row's line with the code and the system's text for it, and returns.
void report_system_error(fatal_stop row, unsigned long code);
// The row's line with the code and the system's text, then its ending.
[[noreturn]] void fatal_system_error(fatal_stop row, unsigned long code);
// The row's fixed line, then its ending.
[[noreturn]] void fatal_error(fatal_stop row);
// The row's line around `path`, then its ending.
[[noreturn]] void fatal_path_error(fatal_stop row, const wchar_t* path);
// The open-failure line for the entry being unpacked.
[[noreturn]] void fatal_open_error(const wchar_t* path);
// Prints the unsafe-name line; the parent removes what it has unpacked (all of it inside
// unpack_dir) before it exits, the child leaves the folder to its parent.
[[noreturn]] void fatal_unsafe_name();
// The template line, then the fail-fast ending.
[[noreturn]] void fatal_template_error(const wchar_t* template_text);
// A parent that has not created its child yet removes what it has unpacked, with the removal
// walk, before a stop ends it: every fatal ending and the fail-fast ending run this first.
void remove_unpacked_before_ending();
// The row's line around `path` and its ending, also while a console stop is under way.
[[noreturn]] void fatal_path_error_now(fatal_stop row, const wchar_t* path);

#endif
