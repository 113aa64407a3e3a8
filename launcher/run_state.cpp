// Storage of the run state; zero-filled at process start.
#include "launcher/run_state.h"

bool is_child;
volatile bool unpack_started;
volatile bool console_stop_requested;
HANDLE volatile child_process;
volatile LONG child_launch_pending;
volatile LONG console_stop_claimed;
volatile bool child_created;
DWORD child_exit_code;
volatile bool child_exit_known;
wchar_t launcher_module_name[path_capacity];
wchar_t child_command_line[command_line_capacity];
