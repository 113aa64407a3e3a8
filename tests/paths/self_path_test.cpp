// The own path: the final-path lookup and its prefix rules, the short directory part, the two
// caches, and real runs under Wine from a folder with blanks, through its short path and
// through symbolic links, including the role decision made from such a start.
#include "launcher/role.h"
#include "launcher/run_state.h"
#include "paths/self_path.h"
#include "tests/support/probe.h"
#include "tests/support/seam.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const unsigned long fail_fast_status = 0xC0000409;
const wchar_t long_folder_name[] = L"Long Folder Name With Blanks";

std::wstring folder_of(const std::wstring& path)
{
    return path.substr(0, path.rfind(L'\\'));
}

// Laid out by make_own_path_fixture.sh, which CTest runs before this program.
std::wstring fixture_folder()
{
    return folder_of(this_executable_path()) + L"\\own_path";
}

bool fixture_ready()
{
    return GetFileAttributesW((fixture_folder() + L"\\link to original.exe").c_str()) != INVALID_FILE_ATTRIBUTES;
}

#define REQUIRE_FIXTURE() \
    ASSERT_TRUE(fixture_ready()) << "missing " << narrow(fixture_folder()) << ": run through ctest, which lays it out"

std::wstring short_form(const std::wstring& path)
{
    wchar_t buffer[4096];
    DWORD length = GetShortPathNameW(path.c_str(), buffer, 4096);
    return length > 0 && length < 4096 ? std::wstring(buffer) : std::wstring();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

}  // namespace

// ---- resolve_final_path with a fake final-path function ----

namespace {

struct final_path_fake {
    bool open_fails = false;
    bool module_missing = false;
    bool function_missing = false;
    std::wstring reported;  // what the final-path function writes
    DWORD result = 0;       // what it returns
    std::vector<std::string> calls;
};
final_path_fake fake;
HANDLE const fake_file = reinterpret_cast<HANDLE>(0x1234);
HMODULE const fake_kernel = reinterpret_cast<HMODULE>(0x5678);

HANDLE WINAPI fake_create_file(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD attributes, HANDLE template_file)
{
    char call[512];
    snprintf(call, sizeof call, "open %ls access %lu share %lu security %d disposition %lu attributes %#lx template %d",
             path, access, share, security != nullptr, disposition, attributes, template_file != nullptr);
    fake.calls.push_back(call);
    return fake.open_fails ? INVALID_HANDLE_VALUE : fake_file;
}

HMODULE WINAPI fake_module_handle(LPCSTR name)
{
    fake.calls.push_back(std::string("module ") + name);
    return fake.module_missing ? nullptr : fake_kernel;
}

DWORD WINAPI fake_final_path(HANDLE file, LPWSTR path, DWORD size, DWORD flags)
{
    fake.calls.push_back("final path handle " + std::to_string(file == fake_file) + " size " + std::to_string(size) +
                         " flags " + std::to_string(flags));
    // Like the system, it writes only a path that fits and leaves the buffer on failure.
    if (fake.result != 0 && fake.reported.size() < size) {
        wcscpy(path, fake.reported.c_str());
    }
    return fake.result;
}

FARPROC WINAPI fake_proc_address(HMODULE module, LPCSTR name)
{
    fake.calls.push_back(std::string("proc ") + name + " in kernel " + std::to_string(module == fake_kernel));
    if (fake.function_missing) {
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fake_final_path));
}

BOOL WINAPI fake_close(HANDLE handle)
{
    fake.calls.push_back("close " + std::to_string(handle == fake_file));
    return TRUE;
}

void use_final_path_fake(const final_path_fake& setting)
{
    fake = setting;
    os.CreateFileW = fake_create_file;
    os.GetModuleHandleA = fake_module_handle;
    os.GetProcAddress = fake_proc_address;
    os.CloseHandle = fake_close;
}

final_path_fake reporting(const std::wstring& text)
{
    final_path_fake setting;
    setting.reported = text;
    setting.result = static_cast<DWORD>(text.size());
    return setting;
}

}  // namespace

TEST(ResolveFinalPath, RemovesTheDrivePrefixRewritesUncAndKeepsOtherPrefixedForms)
{
    struct prefix_case {
        const char* what;
        std::wstring reported;
        std::wstring resolved;
    };
    const std::wstring guid_path = L"\\\\?\\Volume{0b1c2d3e-4f50-6172-8394-a5b6c7d8e9f0}\\x\\tool.exe";
    const prefix_case cases[] = {
        {"drive path", L"\\\\?\\D:\\x\\tool.exe", L"D:\\x\\tool.exe"},
        {"Wine's drive for the Linux root", L"\\\\?\\Z:\\tmp\\tool.exe", L"Z:\\tmp\\tool.exe"},
        {"drive root", L"\\\\?\\C:\\", L"C:\\"},
        {"network share", L"\\\\?\\UNC\\srv\\share\\tool.exe", L"\\\\srv\\share\\tool.exe"},
        {"volume without a drive letter", guid_path, guid_path},
        {"no prefix", L"D:\\x\\tool.exe", L"D:\\x\\tool.exe"},
        {"prefix alone", L"\\\\?\\", L"\\\\?\\"},
        {"prefix and one character", L"\\\\?\\D", L"\\\\?\\D"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        seam_scope seam;
        use_final_path_fake(reporting(c.reported));
        wchar_t path[self_path_capacity] = L"C:\\link\\tool.exe";
        resolve_final_path(path, self_path_capacity);
        EXPECT_EQ(c.resolved, path);
    }
}

TEST(ResolveFinalPath, OpensWithoutAccessAndLooksTheFunctionUpInKernel32EachTime)
{
    seam_scope seam;
    use_final_path_fake(reporting(L"\\\\?\\D:\\x\\tool.exe"));
    wchar_t path[2048] = L"C:\\link\\tool.exe";
    resolve_final_path(path, 2048);
    const std::vector<std::string> expected = {
        "open C:\\link\\tool.exe access 0 share 7 security 0 disposition 3 attributes 0x80 template 0",
        "module Kernel32.dll",
        "proc GetFinalPathNameByHandleW in kernel 1",
        "final path handle 1 size 2048 flags 0",
        "close 1",
    };
    EXPECT_EQ(expected, fake.calls);
}

TEST(ResolveFinalPath, LeavesThePathWhenTheFileOrTheFunctionIsMissingOrFails)
{
    struct missing_case {
        const char* what;
        final_path_fake setting;
        size_t calls;  // the handle is closed whenever it was opened
    };
    final_path_fake open_fails;
    open_fails.open_fails = true;
    final_path_fake module_missing = reporting(L"\\\\?\\D:\\x");
    module_missing.module_missing = true;
    final_path_fake function_missing = reporting(L"\\\\?\\D:\\x");
    function_missing.function_missing = true;
    final_path_fake fails;
    fails.result = 0;
    const missing_case cases[] = {
        {"the file cannot be opened", open_fails, 1},
        {"no kernel module", module_missing, 3},
        {"no final-path function", function_missing, 4},
        {"the function fails", fails, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        seam_scope seam;
        use_final_path_fake(c.setting);
        wchar_t path[64] = L"C:\\link\\tool.exe";
        resolve_final_path(path, 64);
        EXPECT_STREQ(L"C:\\link\\tool.exe", path);
        EXPECT_EQ(c.calls, fake.calls.size());
        if (c.calls > 1) {
            EXPECT_EQ("close 1", fake.calls.back());
        }
    }
}

TEST(ResolveFinalPath, AFinalPathThatDoesNotFitTheCapacityAborts)
{
    struct fit_case {
        DWORD result;
        bool aborts;
    };
    for (const fit_case& c : {fit_case{4096, false}, fit_case{4097, true}, fit_case{4098, true}}) {
        SCOPED_TRACE(c.result);
        seam_scope seam;
        final_path_fake setting;
        setting.reported = L"\\\\?\\D:\\" + std::wstring(c.result - 7, L'x');
        setting.result = c.result;
        use_final_path_fake(setting);
        static wchar_t path[self_path_capacity];
        wcscpy(path, L"C:\\link\\tool.exe");
        EXPECT_EQ(c.aborts, ends_in_fail_fast([] { resolve_final_path(path, self_path_capacity); }));
        if (!c.aborts) {
            EXPECT_EQ(L"D:\\" + std::wstring(c.result - 7, L'x'), path);
        }
        EXPECT_EQ("close 1", fake.calls.back()) << "closed before the end";
    }
}

TEST(ResolveFinalPath, TheRealSystemReportsAPrefixedPathAndItsPrefixIsRemoved)
{
    const std::wstring self = this_executable_path();
    typedef DWORD(WINAPI * final_path_function)(HANDLE, LPWSTR, DWORD, DWORD);
    auto final_path = reinterpret_cast<final_path_function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW")));
    ASSERT_NE(nullptr, final_path);
    HANDLE file = CreateFileW(self.c_str(), 0, 7, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    wchar_t reported[4096];
    final_path(file, reported, 4096, 0);
    CloseHandle(file);
    EXPECT_EQ(L"\\\\?\\" + self, reported);

    wchar_t path[self_path_capacity];
    wcscpy(path, self.c_str());
    resolve_final_path(path, self_path_capacity);
    EXPECT_EQ(self, path);
}

// ---- shorten_directory_part ----

TEST(ShortenDirectoryPart, ShortensTheFolderAndKeepsTheLastElement)
{
    REQUIRE_FIXTURE();
    const std::wstring folder = fixture_folder() + L"\\" + long_folder_name;
    const std::wstring short_folder = short_form(folder);
    ASSERT_NE(L"", short_folder);
    ASSERT_NE(folder, short_folder);
    ASSERT_EQ(std::wstring::npos, short_folder.find(L' ')) << narrow(short_folder);
    struct shorten_case {
        const char* what;
        std::wstring path;
        std::wstring shortened;
    };
    const shorten_case cases[] = {
        {"a file in the folder", folder + L"\\paths_tests.exe", short_folder + L"\\paths_tests.exe"},
        {"a last element that does not exist", folder + L"\\no such file.exe", short_folder + L"\\no such file.exe"},
        {"a long last element stays long", folder + L"\\A Long Name.executable", short_folder + L"\\A Long Name.executable"},
        {"a trailing backslash is kept", folder + L"\\", short_folder + L"\\"},
        {"the folder itself is the last element", folder, short_form(fixture_folder()) + L"\\" + long_folder_name},
        {"a folder that does not exist stays long", L"Z:\\no such folder\\x y.exe", L"Z:\\no such folder\\x y.exe"},
        {"no backslash: the whole path, if it exists", L"no such file.exe", L"no such file.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        wchar_t path[self_path_capacity];
        wcscpy(path, c.path.c_str());
        shorten_directory_part(path, self_path_capacity);
        EXPECT_EQ(c.shortened, path);
    }
}

TEST(ResolvedForm, EveryPathToOneFileGivesTheSameText)
{
    // The two steps the role decision applies to the parent's image path, on the real system.
    REQUIRE_FIXTURE();
    const std::wstring fixture = fixture_folder();
    const std::wstring copy = fixture + L"\\" + long_folder_name + L"\\paths_tests.exe";
    const std::wstring expected = short_form(fixture + L"\\" + long_folder_name) + L"\\paths_tests.exe";
    const std::wstring paths[] = {
        copy,
        short_form(copy),
        fixture + L"\\link to copy.exe",
        fixture + L"\\linked folder\\paths_tests.exe",
        fixture + L"\\linked folder\\..\\" + long_folder_name + L"\\paths_tests.exe",
    };
    for (const auto& original : paths) {
        SCOPED_TRACE(narrow(original));
        wchar_t path[2048];
        wcscpy(path, original.c_str());
        resolve_final_path(path, 2048);
        shorten_directory_part(path, 2048);
        EXPECT_EQ(expected, path);
    }
}

namespace {

std::wstring fake_short_form;
DWORD fake_fill_result;
int allocations;
int releases;
bool allocation_fails;

DWORD WINAPI fake_short_path(LPCWSTR, LPWSTR buffer, DWORD size)
{
    if (buffer == nullptr || size == 0) {
        return static_cast<DWORD>(fake_short_form.size() + 1);
    }
    if (fake_short_form.size() < size) {
        wcscpy(buffer, fake_short_form.c_str());
    }
    return fake_fill_result;
}

void* counting_malloc(size_t size)
{
    ++allocations;
    return allocation_fails ? nullptr : malloc(size);
}

void counting_free(void* block)
{
    ++releases;
    free(block);
}

void use_short_path_fake(const std::wstring& short_form_text, DWORD fill_result)
{
    fake_short_form = short_form_text;
    fake_fill_result = fill_result;
    allocations = releases = 0;
    allocation_fails = false;
    os.GetShortPathNameW = fake_short_path;
    os.malloc = counting_malloc;
    os.free = counting_free;
}

}  // namespace

TEST(ShortenDirectoryPart, ResultsThatDoNotFitAbortAndTheHeapIsGivenBack)
{
    struct fit_case {
        const char* what;
        const wchar_t* path;
        size_t capacity;
        const wchar_t* short_text;
        int fill_delta;  // fill result relative to the size first given
        bool fails_allocation;
        bool aborts;
        const wchar_t* shortened;
    };
    const fit_case cases[] = {
        {"fits exactly", L"C:\\Long Folder\\tool.exe", 20, L"C:\\LONGF~1", -1, false, false, L"C:\\LONGF~1\\tool.exe"},
        {"reassembled path one too long", L"C:\\Long Folder\\tool.exe", 19, L"C:\\LONGF~1", -1, false, true, nullptr},
        {"short form longer than the capacity", L"C:\\a\\b", 7, L"C:\\AAAAAAA", -1, false, true, nullptr},
        {"short form grew between the calls", L"C:\\Long Folder\\tool.exe", 64, L"C:\\LONGF~1", 1, false, true, nullptr},
        {"short form vanished between the calls", L"C:\\Long Folder\\tool.exe", 64, L"C:\\LONGF~1", -11, false, false,
         L"C:\\Long Folder\\tool.exe"},
        {"allocation fails", L"C:\\Long Folder\\tool.exe", 64, L"C:\\LONGF~1", -1, true, true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        seam_scope seam;
        const DWORD size = static_cast<DWORD>(wcslen(c.short_text) + 1);
        use_short_path_fake(c.short_text, static_cast<DWORD>(static_cast<int>(size) + c.fill_delta));
        allocation_fails = c.fails_allocation;
        wchar_t path[64];
        wcscpy(path, c.path);
        EXPECT_EQ(c.aborts, ends_in_fail_fast([&] { shorten_directory_part(path, c.capacity); }));
        if (!c.aborts) {
            EXPECT_STREQ(c.shortened, path);
            EXPECT_EQ(2, allocations);
            EXPECT_EQ(allocations, releases);
        }
    }
}

// ---- get_self_path and its caches ----

namespace {

int module_name_calls;
bool first_module_name_fails;

DWORD WINAPI counting_module_name(HMODULE module, LPWSTR buffer, DWORD size)
{
    ++module_name_calls;
    if (first_module_name_fails && module_name_calls == 1) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return GetModuleFileNameW(module, buffer, size);
}

DWORD WINAPI cut_module_name(HMODULE, LPWSTR buffer, DWORD size)
{
    // What the system does with a name longer than the buffer: cut, terminate, return size.
    std::fill(buffer, buffer + size - 1, L'x');
    buffer[size - 1] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

}  // namespace

// Asks for each form several times and prints the text and the module-name calls so far.
VELDRA_PROBE(self_path_caches)
{
    seam_scope seam;
    first_module_name_fails = argc > 0 && wcscmp(argv[0], L"first-fails") == 0;
    os.GetModuleFileNameW = counting_module_name;
    const bool order[] = {false, false, true, true, false, true};
    for (bool resolved : order) {
        const wchar_t* path = get_self_path(resolved);
        printf("%s %d %ls\n", resolved ? "resolved" : "plain", module_name_calls, path);
    }
    return 0;
}

VELDRA_PROBE(self_path_cut)
{
    os.GetModuleFileNameW = cut_module_name;
    get_self_path(false);
    return 0;
}

TEST(GetSelfPath, EachCacheIsFilledOnceAndAFailureIsNotCached)
{
    const std::string self = narrow(this_executable_path());
    const std::string resolved = narrow(short_form(folder_of(this_executable_path()))) + "\\paths_tests.exe";
    struct cache_case {
        const wchar_t* argument;
        std::vector<std::string> lines;
    };
    const cache_case cases[] = {
        {L"", {"plain 1 " + self, "plain 1 " + self, "resolved 2 " + resolved, "resolved 2 " + resolved,
               "plain 2 " + self, "resolved 2 " + resolved}},
        {L"first-fails", {"plain 1 ", "plain 2 " + self, "resolved 3 " + resolved, "resolved 3 " + resolved,
                          "plain 3 " + self, "resolved 3 " + resolved}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.argument));
        process_result result = run_probe(L"self_path_caches", {c.argument});
        ASSERT_EQ(0u, result.exit_code) << result.err;
        EXPECT_EQ(c.lines, lines_of(result.out));
    }
}

TEST(GetSelfPath, AModuleNameCutByTheSystemAborts)
{
    process_result result = run_probe(L"self_path_cut");
    EXPECT_EQ(fail_fast_status, result.exit_code);
    EXPECT_EQ("", result.out);
}

// ---- real runs under Wine ----

VELDRA_PROBE(own_path)
{
    printf("%ls\n%ls\n", get_self_path(false), get_self_path(true));
    return 0;
}

namespace {

process_result run_as(const std::wstring& application, const wchar_t* probe,
                      const environment_changes& changes = {})
{
    return run_process(application, quote_argument(application) + L" --veldra-probe " + probe, changes);
}

}  // namespace

TEST(GetSelfPath, RealRunsGiveTheStartedPathPlainAndTheFileItselfResolved)
{
    REQUIRE_FIXTURE();
    const std::wstring fixture = fixture_folder();
    const std::wstring copy = fixture + L"\\" + long_folder_name + L"\\paths_tests.exe";
    const std::wstring resolved = short_form(fixture + L"\\" + long_folder_name) + L"\\paths_tests.exe";
    ASSERT_EQ(std::wstring::npos, resolved.find(L' ')) << narrow(resolved);
    struct start_case {
        const char* what;
        std::wstring started;
        std::wstring plain;
    };
    const std::wstring file_link = fixture + L"\\link to copy.exe";
    const std::wstring folder_link = fixture + L"\\linked folder\\paths_tests.exe";
    const start_case cases[] = {
        {"from the folder with blanks", copy, copy},
        // Wine names the module by its long path even when it was started through the short
        // one (Windows keeps the text it was given); the resolved form is the same either way.
        {"through its short path", short_form(copy), copy},
        {"through a link to the file", file_link, file_link},
        {"through a link to the folder", folder_link, folder_link},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        process_result result = run_as(c.started, L"own_path");
        ASSERT_EQ(0u, result.exit_code) << narrow(c.started) << result.err;
        EXPECT_EQ(std::vector<std::string>({narrow(c.plain), narrow(resolved)}), lines_of(result.out));
    }
}

VELDRA_PROBE(role_and_path)
{
    decide_role();
    printf("%s\n%ls\n", is_child ? "child" : "parent", get_self_path(false));
    return 0;
}

TEST(RoleDecision, TheSameExecutableStartedThroughItsShortPathOrALinkIsAChild)
{
    REQUIRE_FIXTURE();
    const std::wstring self = this_executable_path();
    const std::wstring fixture = fixture_folder();
    struct role_case {
        const char* what;
        std::wstring started;
        std::wstring plain;  // as the started process names itself
        const char* role;
    };
    const std::wstring link = fixture + L"\\link to original.exe";
    const std::wstring copy = fixture + L"\\" + long_folder_name + L"\\paths_tests.exe";
    ASSERT_NE(self, short_form(self)) << "the short path must really differ";
    const role_case cases[] = {
        {"the same path", self, self, "child"},
        {"its short path (Wine reports the long one)", short_form(self), self, "child"},
        {"a link to it", link, link, "child"},
        {"a copy of it, another file", copy, copy, "parent"},
    };
    const environment_changes parent = {{L"VELDRA_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId())}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        process_result result = run_as(c.started, L"role_and_path", parent);
        ASSERT_EQ(0u, result.exit_code) << result.err;
        EXPECT_EQ(std::vector<std::string>({c.role, narrow(c.plain)}), lines_of(result.out));
    }
}
