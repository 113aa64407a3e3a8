/* The example's second DLL: one function that main.dll calls through its import table. */
#define BUILDING_GREETING
#include <wchar.h>

#include "greeting.h"

const wchar_t* greeting_text(void)
{
    return L"Hello from greeting.dll, loaded from beside main.dll.";
}
