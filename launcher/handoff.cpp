// Stand-in hand-off.
#include "launcher/handoff.h"

int hand_off_to_main_module(int, wchar_t**)
{
    return 0;
}
