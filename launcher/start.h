// The launcher executable's own start-up (start.cpp), linked in place of the C runtime's.
#ifndef VELDRA_LAUNCHER_START_H
#define VELDRA_LAUNCHER_START_H

// True when the loader had replaced the cookie's default value before the entry point ran.
extern bool stack_cookie_set_by_loader;

extern "C" void launcher_start();

#endif
