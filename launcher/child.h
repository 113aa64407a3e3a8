// The parent's side of the child: variables for the application, the command line, the
// launch and the wait.
#ifndef VELDRA_LAUNCHER_CHILD_H
#define VELDRA_LAUNCHER_CHILD_H

// Sets VELDRA_ONEFILE_DIRECTORY (the folder of the launcher's executable) and
// VELDRA_ORIGINAL_ARGV0 (the program name as the user typed it) for the application.
void set_application_variables(const wchar_t* original_argv0);
// Cuts a path at its last backslash, which goes too; a path without one stays whole.
void cut_at_last_backslash(wchar_t* path);

// The launcher's own command line with the first argument replaced by its full module path,
// in child_command_line.
wchar_t* build_child_command_line();
// The parent's hold on its own executable (see child.cpp); launch_child_and_wait ends it once
// the child has been created.
void hold_own_executable();
// Starts the child suspended, resumes it unless a console stop came in the meantime, waits
// for it and leaves its status in child_exit_code.
void launch_child_and_wait();

#endif
