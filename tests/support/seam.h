// In-process fault injection: replace entries of the system-call table for one test, and
// turn the process endings into exceptions the test can catch.
#ifndef VELDRA_TESTS_SEAM_H
#define VELDRA_TESTS_SEAM_H

#include "os/win_calls.h"

#include <string>
#include <vector>

struct fail_fast_called {};
struct exit_called {
    int status;
};

// While alive: fail_fast and exit throw instead of ending the process. Restores every entry
// of the table when it goes, including those the test replaced.
class seam_scope {
public:
    seam_scope();
    ~seam_scope();
    seam_scope(const seam_scope&) = delete;
    seam_scope& operator=(const seam_scope&) = delete;
};

// Puts one entry back by its name, leaving the others as the test set them.
void seam_restore(const char* name);

// The names of the entries that differ from their defaults, in the table's order.
std::vector<std::string> seam_replaced_calls();

// The elevation of a token as the faked token calls report it.
enum class token_elevation { no, yes, unreadable };
// Replaces the token calls the launcher looks up in advapi32 (through the seam's GetProcAddress)
// and CloseHandle for the fake tokens: this process's token, and any other process's, report the
// elevation given, or cannot be opened. ntdll's Wine export is hidden, as on Windows.
void fake_token_elevation(token_elevation own, token_elevation other);

template <class Action>
bool ends_in_fail_fast(Action action)
{
    try {
        action();
    } catch (const fail_fast_called&) {
        return true;
    }
    return false;
}

// Returns the exit status the action ended with, or -1 when it returned normally.
template <class Action>
int exit_status_of(Action action)
{
    try {
        action();
    } catch (const exit_called& ended) {
        return ended.status;
    }
    return -1;
}

#endif
