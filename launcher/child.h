// The parent's side of the child: variables for the application, the command line, the
// launch and the wait.
#ifndef VELDRA_LAUNCHER_CHILD_H
#define VELDRA_LAUNCHER_CHILD_H

void set_application_variables(const wchar_t* original_argv0);
const wchar_t* build_child_command_line();
// Starts the child, waits for it and leaves its status in child_exit_code.
void launch_child_and_wait();

#endif
