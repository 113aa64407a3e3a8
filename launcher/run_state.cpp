// Storage of the run state; zero-filled at process start.
#include "launcher/run_state.h"

bool is_child;
volatile bool unpack_started;
volatile bool console_stop_requested;
wchar_t unpack_dir[path_capacity];
wchar_t main_module_path[path_capacity];
wchar_t target_path[path_capacity];
wchar_t entry_name[entry_name_capacity];
HANDLE volatile child_process;
volatile LONG child_launch_pending;
DWORD child_exit_code;
wchar_t launcher_module_name[path_capacity];
wchar_t child_command_line[command_line_capacity];
