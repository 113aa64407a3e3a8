// The hand-off to the main module: the search flags, the entry point's arguments and result,
// and the child's fatal stops, each seen from outside.
#include "launcher/handoff.h"
#include "launcher/run_state.h"
#include "tests/support/probe.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

struct handoff_record {
    const wchar_t* added_directory = nullptr;
    const wchar_t* loaded_path = nullptr;
    HANDLE file = reinterpret_cast<HANDLE>(1);
    DWORD flags = 0;
    DWORD default_directories = 0;
    std::string entry_name;
    int argc = 0;
    wchar_t** argv = nullptr;
    const wchar_t* module_argument = nullptr;
    std::vector<std::string> events;  // handler registration, load, app types told, run_code
} handoff;

HMODULE const fake_module = reinterpret_cast<HMODULE>(0x5000);

DLL_DIRECTORY_COOKIE WINAPI add_directory_stub(PCWSTR directory)
{
    handoff.added_directory = directory;
    return reinterpret_cast<DLL_DIRECTORY_COOKIE>(1);
}

BOOL WINAPI default_directories_stub(DWORD flags)
{
    handoff.default_directories = flags;
    return TRUE;
}

HMODULE WINAPI load_stub(LPCWSTR path, HANDLE file, DWORD flags)
{
    handoff.events.push_back("load");
    handoff.loaded_path = path;
    handoff.file = file;
    handoff.flags = flags;
    return fake_module;
}

int WINAPI fake_run_code(int argc, wchar_t** argv, const wchar_t* module_path)
{
    handoff.events.push_back("run_code");
    handoff.argc = argc;
    handoff.argv = argv;
    handoff.module_argument = module_path;
    return static_cast<int>(0xC0000005);
}

// The C runtimes the application loaded with its main module, as this test pretends.
HMODULE const fake_msvcrt = reinterpret_cast<HMODULE>(0x6000);
HMODULE const fake_ucrtbase = reinterpret_cast<HMODULE>(0x7000);

void __cdecl msvcrt_set_app_type(int type)
{
    handoff.events.push_back("msvcrt app type " + std::to_string(type));
}

void __cdecl ucrtbase_set_app_type(int type)
{
    handoff.events.push_back("ucrtbase app type " + std::to_string(type));
}

HMODULE WINAPI runtime_handle_stub(LPCSTR name)
{
    const std::string module = name;
    return module == "msvcrt.dll" ? fake_msvcrt : module == "ucrtbase.dll" ? fake_ucrtbase : nullptr;
}

BOOL WINAPI handler_stub(PHANDLER_ROUTINE, BOOL add)
{
    handoff.events.push_back(add ? "handler added" : "handler removed");
    return TRUE;
}

FARPROC WINAPI entry_stub(HMODULE module, LPCSTR name)
{
    const std::string function = name;
    if (module == fake_msvcrt && function == "__set_app_type") {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(msvcrt_set_app_type));
    }
    if (module == fake_ucrtbase && function == "_set_app_type") {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(ucrtbase_set_app_type));
    }
    EXPECT_EQ(fake_module, module);
    handoff.entry_name = name;
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(fake_run_code));
}

FARPROC WINAPI no_entry(HMODULE, LPCSTR)
{
    return nullptr;
}

HMODULE WINAPI load_fails(LPCWSTR, HANDLE, DWORD)
{
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
}

void set_unpacked_main_module()
{
    wcscpy(unpack_dir, L"C:\\Temp\\onefile_1_000002_abcdefghijk");
    wcscpy(main_module_path, L"C:\\Temp\\onefile_1_000002_abcdefghijk\\main.dll");
}

}  // namespace

TEST(HandOff, LoadsFromTheUnpackFolderAndSystemFolderOnlyAndReturnsWhatRunCodeReturns)
{
    seam_scope seam;
    set_unpacked_main_module();
    handoff = handoff_record{};
    os.AddDllDirectory = add_directory_stub;
    os.SetDefaultDllDirectories = default_directories_stub;
    os.LoadLibraryExW = load_stub;
    os.GetProcAddress = entry_stub;
    os.GetModuleHandleA = runtime_handle_stub;
    os.SetConsoleCtrlHandler = handler_stub;
    wchar_t first[] = L"C:\\app.exe";
    wchar_t second[] = L"";
    wchar_t* argv[] = {first, second, nullptr};

    EXPECT_EQ(static_cast<int>(0xC0000005), hand_off_to_main_module(2, argv));
    EXPECT_EQ(unpack_dir, handoff.added_directory);
    EXPECT_EQ(main_module_path, handoff.loaded_path);
    EXPECT_EQ(nullptr, handoff.file);
    EXPECT_EQ(0x0D00u, handoff.flags);
    // Later loads of the application: the added unpack folder and the system folder.
    EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS),
              handoff.default_directories);
    EXPECT_EQ("run_code", handoff.entry_name);
    EXPECT_EQ(2, handoff.argc);
    EXPECT_EQ(argv, handoff.argv);
    // The very text LoadLibraryExW was given.
    EXPECT_EQ(main_module_path, handoff.module_argument);
    // The child's last-resort console handler comes before anything of the application, so
    // that the application's own handlers are asked first; each C runtime it loaded learns
    // that it runs a console application before run_code starts, as a console program's
    // runtime start-up tells it.
    const std::vector<std::string> order = {"handler added", "load", "msvcrt app type 1", "ucrtbase app type 1",
                                            "run_code"};
    EXPECT_EQ(order, handoff.events);
}

VELDRA_PROBE(handoff_failure)
{
    set_unpacked_main_module();
    std::wstring what = argv[0];
    if (what == L"load") {
        os.LoadLibraryExW = load_fails;
    } else if (what == L"entry") {
        os.LoadLibraryExW = load_stub;
        os.GetProcAddress = no_entry;
    } else {
        main_module_path[0] = L'\0';
        os.LoadLibraryExW = load_fails;
    }
    return hand_off_to_main_module(0, nullptr);
}

TEST(HandOff, EachFailureEndsTheChildWithItsLineOnItsStreamAndStatus2)
{
    struct failure_case {
        const wchar_t* what;
        std::string out;
        std::string err;
    };
    const failure_case cases[] = {
        {L"load", "", "Error, load DLL. ([Error 193] " + system_text(ERROR_BAD_EXE_FORMAT) + ")\r\n"},
        {L"entry", "Error, DLL entry point not found.\r\n", ""},
        {L"no main module", "Error, attached data holds no main module.\r\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.what));
        process_result result = run_probe(L"handoff_failure", {c.what});
        EXPECT_EQ(2u, result.exit_code);
        EXPECT_EQ(c.out, result.out);
        EXPECT_EQ(c.err, result.err);
    }
}
