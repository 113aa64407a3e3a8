/* The example's second DLL: main.dll imports it, so the launcher must find it beside main.dll. */
#ifndef EXAMPLE_GREETING_H
#define EXAMPLE_GREETING_H

#ifdef BUILDING_GREETING
#define GREETING_API __declspec(dllexport)
#else
#define GREETING_API __declspec(dllimport)
#endif

GREETING_API const wchar_t* greeting_text(void);

#endif
