// Entry point of the launcher executable.
#include "launcher/launch.h"

int wmain(int argc, wchar_t** argv)
{
    return run_launcher(argc, argv);
}
