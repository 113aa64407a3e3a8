// Stand-in child launch.
#include "launcher/child.h"

#include "launcher/run_state.h"

void set_application_variables(const wchar_t*) {}

const wchar_t* build_child_command_line()
{
    return child_command_line;
}

void launch_child_and_wait()
{
    child_exit_code = 0;
}
