// The child's last step: load the unpacked main module and run the application in it.
#include "launcher/handoff.h"

#include "launcher/fatal.h"
#include "launcher/run_state.h"
#include "launcher/teardown.h"
#include "os/win_calls.h"

// The module's own folder, the folders added with AddDllDirectory and the system folder: not
// the launcher's folder, the current directory or PATH.
static const DWORD main_module_search =
    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32;

// An archive whose first entry is already its end leaves no main module. The child stops with
// its own line: going on as a parent would start children of children without end.
static void require_main_module()
{
    if (main_module_path[0] == L'\0') {
        fatal_error(error_no_main_module);
    }
}

// A console program's runtime start-up tells its C runtime DLL that it runs a console
// application; abort and assert then write to standard error instead of opening a dialog. The
// launcher has no such start-up, so the child tells each runtime the application loaded with
// its main module, and loads none itself.
static void tell_runtimes_console_app()
{
    struct runtime_setter {
        const char* module;
        const char* function;
    };
    static const runtime_setter setters[] = {
        {"msvcrt.dll", "__set_app_type"},
        {"ucrtbase.dll", "_set_app_type"},
    };
    typedef void(__cdecl * set_app_type_function)(int app_type);
    const int console_app = 1;
    for (const runtime_setter& setter : setters) {
        HMODULE runtime = os.GetModuleHandleA(setter.module);
        FARPROC found = runtime != nullptr ? os.GetProcAddress(runtime, setter.function) : nullptr;
        if (found != nullptr) {
            reinterpret_cast<set_app_type_function>(reinterpret_cast<void*>(found))(console_app);
        }
    }
}

int hand_off_to_main_module(int argc, wchar_t** argv)
{
    require_main_module();
    // Before the main module loads, so that every handler the application registers, in its
    // DLLs' start-up too, is asked first. A failure leaves the system's default in place.
    os.SetConsoleCtrlHandler(child_console_control_handler, TRUE);
    os.AddDllDirectory(unpack_dir);
    // Loads the application makes later, delay-loaded imports and LoadLibraryW("x.dll") alike,
    // search the unpack folder and the system folder only: not the launcher's folder, the
    // current folder or PATH, where anyone may have put a DLL of that name.
    os.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS);
    HMODULE module = os.LoadLibraryExW(main_module_path, nullptr, main_module_search);
    if (module == nullptr) {
        fatal_system_error(error_load_dll, os.GetLastError());
    }
    FARPROC entry = os.GetProcAddress(module, "run_code");
    if (entry == nullptr) {
        fatal_error(error_entry_point_missing);
    }
    tell_runtimes_console_app();
    run_code_function run_code = reinterpret_cast<run_code_function>(reinterpret_cast<void*>(entry));
    return run_code(argc, argv, main_module_path);
}
