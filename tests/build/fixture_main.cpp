// The main module of the fixture application: it writes nothing and returns 0, so a packed run
// looks the same whether or not a child loads it.
#include <windows.h>

extern "C" __declspec(dllexport) int WINAPI run_code(int, wchar_t**, const wchar_t*)
{
    return 0;
}
