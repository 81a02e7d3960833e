// The Setup program itself, started as a user or a script would start it.
#include <gtest/gtest.h>

#include <windows.h>

#include <knownfolders.h>
#include <tlhelp32.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <thread>
#include <vector>

#include "detection.h"
#include "engine_test_support.h"
#include "file_removal.h"
#include "unix_links.h"
#include "sandbox.h"
#include "standin_runtime.h"
#include "win32_owners.h"

namespace fs = std::filesystem;
using testing_support::temp_folder;

namespace {

const fs::path setup_exe = VANTREL_SETUP_EXE;
const std::wstring install_leaf = L"Local\\Programs\\Vantrel for DaVinci Resolve Beta";

struct run_result {
    DWORD code = 0xffffffff;
    bool finished = false;
    std::wstring box_text;  // of the last message box closed
};

// Starts `exe` with `args` and the sandbox variable set to `sandbox` (unset when null);
// waits up to `timeout_ms`. Closes any "Vantrel Setup" message box it puts up; `watch` sees
// the process id while it runs.
// `before` sees the process id before the process runs its first instruction.
run_result run(const fs::path& exe, const std::wstring& args, const wchar_t* sandbox, DWORD timeout_ms = 60000,
               const wchar_t* folder = nullptr, const std::function<void(DWORD)>& watch = {},
               const std::function<void(DWORD)>& before = {}) {
    SetEnvironmentVariableW(L"VANTREL_SETUP_SANDBOX", sandbox);
    std::wstring command = L"\"" + exe.wstring() + L"\" " + args;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    run_result r;
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, before ? CREATE_SUSPENDED : 0, nullptr,
                        folder, &startup, &info)) {
        SetEnvironmentVariableW(L"VANTREL_SETUP_SANDBOX", nullptr);
        return r;
    }
    SetEnvironmentVariableW(L"VANTREL_SETUP_SANDBOX", nullptr);
    win32::process process;
    process.adopt(info);
    if (before) {
        before(info.dwProcessId);
        ResumeThread(info.hThread);
    }
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    while (WaitForSingleObject(process.handle.get(), 100) == WAIT_TIMEOUT) {
        if (HWND box = FindWindowW(nullptr, L"Vantrel Setup")) {
            // The box's text is its static control 0xFFFF.
            wchar_t text[512] = {};
            if (GetDlgItemTextW(box, 0xFFFF, text, 512) > 0) r.box_text = text;
            PostMessageW(box, WM_CLOSE, 0, 0);
        }
        if (watch) watch(info.dwProcessId);
        if (GetTickCount64() > end) {
            TerminateProcess(process.handle.get(), 99);
            break;
        }
    }
    r.finished = GetTickCount64() <= end;
    GetExitCodeProcess(process.handle.get(), &r.code);
    return r;
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool wait_until_gone(const fs::path& p, DWORD timeout_ms) {
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    std::error_code ec;
    while (fs::exists(p, ec)) {
        if (GetTickCount64() > end) return false;
        Sleep(200);
    }
    return true;
}

// The uninstaller copies in the temporary folder.
std::vector<std::wstring> temporary_copies(const fs::path& temp = fs::temp_directory_path()) {
    std::vector<std::wstring> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(temp, ec))
        if (e.path().filename().wstring().rfind(L"VantrelUninstall-", 0) == 0)
            names.push_back(e.path().filename().wstring());
    return names;
}

bool sandbox_key_exists() {
    return testing_support::user_key_exists(
        L"Software\\Vantrel\\SetupSandbox\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
        L"VantrelForDaVinciResolveBeta");
}

bool wait_for(const std::function<bool()>& condition, DWORD timeout_ms) {
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    while (!condition()) {
        if (GetTickCount64() > end) return false;
        Sleep(200);
    }
    return true;
}

// Closes the process's Setup window once the run has styled it as a popup (framed, and on its
// way to its page); `seen` tells it did, `title` takes the window's title.
std::function<void(DWORD)> close_setup_window(bool& seen, std::wstring* title = nullptr) {
    return [&seen, title](DWORD process_id) {
        for (HWND w = FindWindowExW(nullptr, nullptr, L"webhost", nullptr); w != nullptr;
             w = FindWindowExW(nullptr, w, L"webhost", nullptr)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner != process_id || (GetWindowLongPtrW(w, GWL_STYLE) & WS_POPUP) == 0) continue;
            seen = true;
            if (title) {
                wchar_t text[256] = {};
                GetWindowTextW(w, text, 256);
                *title = text;
            }
            PostMessageW(w, WM_CLOSE, 0, 0);
        }
    };
}

struct SetupProgram : ::testing::Test {
    // A Setup of an earlier test still running (a hand-over copy ending) holds the single-instance
    // mutex, and this test's Setup would then exit at once without doing anything.
    void SetUp() override {
        ASSERT_TRUE(wait_for(
            [] {
                const win32::unique_handle held(OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\VantrelSetupResolveBeta"));
                return !held;
            },
            60000))
            << "a Setup of an earlier test still runs";
    }
    void TearDown() override { testing_support::delete_user_tree(L"Software\\Vantrel\\SetupSandbox"); }
    temp_folder sandbox{L"program"};
    std::wstring s() const { return sandbox.path().wstring(); }
};

}  // namespace

TEST_F(SetupProgram, CheckModeNeedsAnAbsoluteSandboxAndReportsThePayload) {
    EXPECT_EQ(run(setup_exe, L"--check", nullptr).code, 2u);
    EXPECT_EQ(run(setup_exe, L"--check", L"relative\\folder").code, 2u);
    EXPECT_EQ(run(setup_exe, L"--check", L"C:").code, 2u);
    EXPECT_EQ(run(setup_exe, L"--check", L"\\no-drive").code, 2u);
    EXPECT_EQ(run(setup_exe, L"--check", (s() + L"\\missing\\folder").c_str()).code, 1u);
    const std::wstring too_long = s() + L"\\" + std::wstring(300 - s().size(), L'x');
    EXPECT_EQ(run(setup_exe, L"--check", too_long.c_str()).code, 2u);

    ASSERT_EQ(run(setup_exe, L"--check --uninstall", s().c_str()).code, 0u);
    const std::string text = read_file(sandbox.path() / L"check.json");
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.find("\r\n  \"channel\": \"beta\",\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"payloadValid\": true"), std::string::npos);
    EXPECT_NE(text.find("\"error\": \"\""), std::string::npos);
    EXPECT_NE(text.find("\"mode\": \"uninstall\""), std::string::npos);
    EXPECT_EQ(text.find('\n', 0) - 1, text.find("\r\n"));
    EXPECT_NE(text.back(), '\n');
    // Keys in sorted order.
    const char* keys[] = {"channel", "components", "error", "folder", "found", "installed",
                          "kind", "mode", "name", "payloadValid", "tagline", "version"};
    size_t at = 0;
    for (const char* k : keys) {
        const size_t found = text.find(std::string("\n  \"") + k + "\"");
        ASSERT_NE(found, std::string::npos) << k;
        EXPECT_GT(found, at) << k;
        at = found;
    }
}

TEST_F(SetupProgram, DamagedPayloadFailsTheCheck) {
    const fs::path copy = sandbox.path() / L"damaged.exe";
    fs::copy_file(setup_exe, copy);
    HANDLE update = BeginUpdateResourceW(copy.c_str(), FALSE);
    ASSERT_NE(update, nullptr);
    char junk[64] = "VPAK but not really";
    ASSERT_TRUE(UpdateResourceW(update, MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(102),
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), junk, sizeof junk));
    ASSERT_TRUE(EndUpdateResourceW(update, FALSE));
    EXPECT_EQ(run(copy, L"--check", s().c_str()).code, 1u);
    const std::string text = read_file(sandbox.path() / L"check.json");
    EXPECT_NE(text.find("\"payloadValid\": false"), std::string::npos);
    EXPECT_NE(text.find("This installer is damaged. Download it again from vantrel.app."), std::string::npos);
}

TEST_F(SetupProgram, SilentInstallThenSilentUninstallInTheSandbox) {
    ASSERT_EQ(run(setup_exe, L"--silent", s().c_str()).code, 0u);
    const fs::path dir = sandbox.path() / install_leaf;
    EXPECT_TRUE(fs::is_regular_file(dir / L"VantrelCompanionBeta.exe"));
    EXPECT_TRUE(fs::is_regular_file(dir / L"uninstall.exe"));
    EXPECT_TRUE(fs::is_regular_file(dir / L"install.json"));
    EXPECT_TRUE(sandbox_key_exists());
    EXPECT_EQ(read_file(sandbox.path() / L"result.json"),
              "{\r\n  \"error\": \"\",\r\n  \"notes\": [\r\n    \"python\",\r\n    \"no-resolve\"\r\n  ],\r\n"
              "  \"ok\": true\r\n}");

    ASSERT_EQ(run(setup_exe, L"--silent --uninstall", s().c_str()).code, 0u);
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_FALSE(sandbox_key_exists());
    EXPECT_EQ(read_file(sandbox.path() / L"result.json"),
              "{\r\n  \"error\": \"\",\r\n  \"notes\": [],\r\n  \"ok\": true\r\n}");
}

TEST_F(SetupProgram, ASandboxNamedWithDotSegmentsIsTheSameFolderForInstallAndUninstall) {
    const fs::path dir = sandbox.path() / install_leaf;
    for (const std::wstring& dotted : {s() + L"\\x\\..\\.\\", L"\\\\?\\" + s() + L"\\x\\..", L"\\\\?\\" + s() + L"\\."}) {
        ASSERT_EQ(run(setup_exe, L"--silent", dotted.c_str()).code, 0u) << dotted;
        ASSERT_TRUE(fs::is_regular_file(dir / L"VantrelCompanionBeta.exe")) << dotted;
        ASSERT_EQ(run(setup_exe, L"--silent --uninstall", dotted.c_str()).code, 0u) << dotted;
        EXPECT_FALSE(fs::exists(dir)) << dotted;
        EXPECT_FALSE(sandbox_key_exists()) << dotted;
    }
    EXPECT_EQ(run(setup_exe, L"--check", (L"\\\\?\\" + s()).c_str()).code, 0u);
}

// A name with a trailing dot or space is read by the system without it, by the long form with
// it: no road runs on such a value.
TEST_F(SetupProgram, ASandboxTheSystemWouldReadOtherwiseRunsNothing) {
    for (const std::wstring& odd : {s() + L".", s() + L"\\box ", s() + L"\\box.\\x", L"\\\\?\\" + s() + L"."}) {
        EXPECT_EQ(run(setup_exe, L"--check", odd.c_str()).code, 2u) << odd;
        EXPECT_EQ(run(setup_exe, L"--silent", odd.c_str()).code, 1u) << odd;
    }
    EXPECT_FALSE(fs::exists(sandbox.path() / L"Local"));
    EXPECT_FALSE(fs::exists(sandbox.path() / L"box"));
    EXPECT_FALSE(sandbox_key_exists());
}

// Another program's object under the lock's name makes no lock: that counts as another Setup.
TEST_F(SetupProgram, ASecondStartExitsAtOnceWhileTheLockIsHeldOrItsNameTaken) {
    const wchar_t* lock = L"Local\\VantrelSetupResolveBeta";
    const std::vector<std::pair<const char*, std::function<HANDLE()>>> holders = {
        {"mutex", [lock] { return CreateMutexW(nullptr, TRUE, lock); }},
        {"event", [lock] { return CreateEventW(nullptr, TRUE, FALSE, lock); }},
        {"semaphore", [lock] { return CreateSemaphoreW(nullptr, 0, 1, lock); }}};
    for (const auto& [kind, make] : holders) {
        run_result silent, uninstall;
        {
            const win32::unique_handle held(make());
            ASSERT_TRUE(held) << kind;
            silent = run(setup_exe, L"--silent", s().c_str());
            uninstall = run(setup_exe, L"--uninstall", s().c_str());
        }
        EXPECT_EQ(silent.code, 0u) << kind;
        EXPECT_EQ(uninstall.code, 0u) << kind;
        EXPECT_FALSE(fs::exists(sandbox.path() / L"result.json")) << kind;
        EXPECT_FALSE(fs::exists(sandbox.path() / L"Local")) << kind;
    }
}

TEST_F(SetupProgram, OtherLetterCaseIsNoSwitchAndTooLongASandboxRunsNothing) {
    webhost_test::remove_every_runtime();
    // "--SILENT" is ignored: the interactive road runs, and without its window it ends with 3.
    const run_result r = run(setup_exe, L"--SILENT --silent=1", s().c_str());
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.code, 3u);
    EXPECT_EQ(r.box_text,
              L"Vantrel Setup could not open its interface. Install or repair Microsoft Edge WebView2 Runtime, then "
              L"try again. No installation was started.");
    EXPECT_FALSE(fs::exists(sandbox.path() / L"result.json"));
    EXPECT_FALSE(fs::exists(sandbox.path() / L"Local"));

    const std::wstring too_long = s() + L"\\" + std::wstring(300 - s().size(), L'x');
    EXPECT_EQ(run(setup_exe, L"--silent", too_long.c_str()).code, 1u);
    EXPECT_FALSE(fs::exists(sandbox.path() / L"Local"));
    EXPECT_FALSE(sandbox_key_exists());
}

TEST_F(SetupProgram, UninstallFromTheInstallFolderHandsOverToATemporaryCopy) {
    ASSERT_EQ(run(setup_exe, L"--silent", s().c_str()).code, 0u);
    const fs::path dir = sandbox.path() / install_leaf;
    const fs::path uninstaller = dir / L"uninstall.exe";
    ASSERT_TRUE(fs::is_regular_file(uninstaller));
    fs::remove(sandbox.path() / L"result.json");
    // What an interrupted hand-over leaves: a copy that no longer runs.
    const fs::path stale = fs::temp_directory_path() / L"VantrelUninstall-4000000.exe";
    ASSERT_TRUE(CopyFileW(VANTREL_PLANTED_EXE, stale.c_str(), FALSE));

    ASSERT_EQ(run(uninstaller, L"--uninstall --silent", s().c_str()).code, 0u);
    // The copy uninstalls, writes its result and then deletes itself.
    EXPECT_TRUE(wait_until_gone(dir, 120000));
    const ULONGLONG end = GetTickCount64() + 120000;
    while (!fs::exists(sandbox.path() / L"result.json") && GetTickCount64() < end) Sleep(200);
    EXPECT_NE(read_file(sandbox.path() / L"result.json").find("\"ok\": true"), std::string::npos);
    bool copies_gone = false;
    const ULONGLONG end2 = GetTickCount64() + 120000;
    while (!copies_gone && GetTickCount64() < end2) {
        copies_gone = temporary_copies().empty();
        if (!copies_gone) Sleep(300);
    }
    EXPECT_TRUE(copies_gone);
    std::error_code ec;
    fs::remove(stale, ec);
}

TEST_F(SetupProgram, ABlockedQuietUninstallFailsInTheFirstProcessAndHandsNothingOver) {
    ASSERT_EQ(run(setup_exe, L"--silent", s().c_str()).code, 0u);
    const fs::path dir = sandbox.path() / install_leaf;
    const fs::path uninstaller = dir / L"uninstall.exe";
    fs::remove(sandbox.path() / L"result.json");
    const fs::path companion = sandbox.path() / L"elsewhere" / L"VantrelCompanionBeta.exe";
    fs::create_directories(companion.parent_path());
    ASSERT_TRUE(CopyFileW(VANTREL_PLACEHOLDER_COMPANION, companion.c_str(), FALSE));
    std::wstring command = L"\"" + companion.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(companion.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &startup, &info));
    win32::process running;
    running.adopt(info);
    const ULONGLONG shown = GetTickCount64() + 60000;
    while (!is_process_running(L"VantrelCompanionBeta.exe") && GetTickCount64() < shown) Sleep(50);
    EXPECT_TRUE(is_process_running(L"VantrelCompanionBeta.exe"));
    const std::vector<std::wstring> copies_before = temporary_copies();

    const run_result blocked = run(uninstaller, L"--uninstall --silent", s().c_str());
    TerminateProcess(running.handle.get(), 0);
    WaitForSingleObject(running.handle.get(), 60000);
    EXPECT_EQ(blocked.code, 1u);
    EXPECT_EQ(read_file(sandbox.path() / L"result.json"),
              "{\r\n  \"error\": \"Close VantrelCompanionBeta first, then try again.\",\r\n  \"notes\": [],\r\n"
              "  \"ok\": false\r\n}");
    EXPECT_EQ(temporary_copies(), copies_before);
    EXPECT_TRUE(fs::is_regular_file(dir / L"VantrelCompanionBeta.exe"));
    EXPECT_TRUE(sandbox_key_exists());
}

TEST_F(SetupProgram, CleanupDeletesTheProgramWithoutRunningPlantedTools) {
    const fs::path folder = sandbox.path() / L"Downloads";
    fs::create_directories(folder);
    const fs::path copy = folder / L"VantrelSetup.exe";
    fs::copy_file(setup_exe, copy);
    fs::copy_file(VANTREL_PLANTED_EXE, folder / L"cmd.exe");
    fs::copy_file(VANTREL_PLANTED_EXE, folder / L"ping.exe");
    const std::wstring box = s() + L"\\box";
    ASSERT_EQ(run(copy, L"--silent --cleanup", box.c_str(), 60000, folder.c_str()).code, 0u);
    EXPECT_TRUE(wait_until_gone(copy, 120000));
    EXPECT_FALSE(fs::exists(folder / L"cmd.exe.ran"));
    EXPECT_FALSE(fs::exists(folder / L"ping.exe.ran"));
}

TEST_F(SetupProgram, WithoutSwitchesTheSetupWindowOpensOnTheRuntimeAndClosingItEndsWithZero) {
    webhost_test::standin_runtime runtime;
    ASSERT_TRUE(runtime.ready());
    std::wstring title;
    bool seen = false;
    const run_result r = run(setup_exe, L"", s().c_str(), 60000, nullptr, close_setup_window(seen, &title));
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0u);
    EXPECT_EQ(title, L"Vantrel for DaVinci Resolve (Beta) \u2014 Setup");
    EXPECT_FALSE(fs::exists(sandbox.path() / L"Local"));
}

// A downloaded Setup runs from the Downloads folder, where a copy of a library it loads may lie
// beside it: neither the failure box road nor the window road may load it.
TEST_F(SetupProgram, LibrariesPlantedBesideTheProgramAreNeverLoaded) {
    const fs::path folder = sandbox.path() / L"Downloads";
    fs::create_directories(folder);
    const fs::path copy = folder / L"VantrelSetup.exe";
    fs::copy_file(setup_exe, copy);
    ASSERT_TRUE(CopyFileW(webhost_test::with_backslashes(VANTREL_PLANTED_LOADER).c_str(),
                          (folder / L"WebView2Loader.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(webhost_test::with_backslashes(VANTREL_PLANTED_DWMAPI).c_str(),
                          (folder / L"dwmapi.dll").c_str(), FALSE));
    const fs::path loader_marker = folder / L"WebView2Loader.dll.loaded";
    const fs::path dwmapi_marker = folder / L"dwmapi.dll.loaded";

    webhost_test::remove_every_runtime();
    const run_result boxed = run(copy, L"", s().c_str(), 60000, folder.c_str());
    EXPECT_TRUE(boxed.finished);
    EXPECT_EQ(boxed.code, 3u);
    EXPECT_FALSE(boxed.box_text.empty());
    EXPECT_FALSE(fs::exists(loader_marker));
    EXPECT_FALSE(fs::exists(dwmapi_marker));

    fs::remove(loader_marker);
    fs::remove(dwmapi_marker);
    webhost_test::standin_runtime runtime;
    ASSERT_TRUE(runtime.ready());
    bool window_seen = false;
    const run_result windowed = run(copy, L"", s().c_str(), 60000, folder.c_str(), close_setup_window(window_seen));
    EXPECT_TRUE(windowed.finished);
    EXPECT_EQ(windowed.code, 0u);
    EXPECT_TRUE(window_seen);
    EXPECT_TRUE(windowed.box_text.empty()) << windowed.box_text;
    EXPECT_FALSE(fs::exists(loader_marker));
    EXPECT_FALSE(fs::exists(dwmapi_marker));
}

namespace {

// TMP and TEMP, which the child inherits, set to `folder` for the scope.
class temp_variables {
public:
    explicit temp_variables(const fs::path& folder) {
        for (const wchar_t* name : {L"TMP", L"TEMP"}) {
            std::wstring value(32767, L'\0');
            const DWORD n = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
            saved_.push_back(n == 0 ? std::optional<std::wstring>() : value.substr(0, n));
            SetEnvironmentVariableW(name, folder.c_str());
        }
    }
    ~temp_variables() {
        SetEnvironmentVariableW(L"TMP", saved_[0] ? saved_[0]->c_str() : nullptr);
        SetEnvironmentVariableW(L"TEMP", saved_[1] ? saved_[1]->c_str() : nullptr);
    }
    temp_variables(const temp_variables&) = delete;
    temp_variables& operator=(const temp_variables&) = delete;

private:
    std::vector<std::optional<std::wstring>> saved_;
};

// The uninstall's road from the installed uninstaller on: the hand-over to a temporary copy,
// the copy's own end, and the uninstall in place when no copy can be made.
struct SetupHandOver : SetupProgram {
    const fs::path dir = sandbox.path() / install_leaf;
    const fs::path uninstaller = dir / L"uninstall.exe";
    const fs::path result_file = sandbox.path() / L"result.json";

    void install() {
        ASSERT_EQ(run(setup_exe, L"--silent", s().c_str()).code, 0u);
        ASSERT_TRUE(fs::is_regular_file(uninstaller));
        fs::remove(result_file);
    }
    bool uninstalled() {
        return wait_for([&] { return read_file(result_file).find("\"ok\": true") != std::string::npos; }, 30000);
    }
    // The installed uninstaller's quiet uninstall where no copy can be made, so that it runs in
    // place; `id` takes its process id, `before` sees it before the process runs.
    run_result uninstall_in_place(DWORD* id = nullptr, const fs::path& folder = {},
                                  const std::function<void(DWORD)>& before = {}) {
        const temp_variables variables(sandbox.path() / L"no such folder" / L"temp");
        return run(uninstaller, L"--uninstall --silent", s().c_str(), 60000, folder.empty() ? nullptr : folder.c_str(),
                   {}, [id, &before](DWORD started) {
            if (id) *id = started;
            if (before) before(started);
        });
    }
};

// Acts on the process the moment its result file appears, as a user or the system might: stops
// it, or pauses it for longer than ten tries of a delayed deletion two seconds apart would last.
class on_report {
public:
    enum class act { stop, pause };
    on_report(const fs::path& result_file, act what) : result_file_(result_file), act_(what) {}
    ~on_report() {
        if (watcher_.joinable()) watcher_.join();
    }
    on_report(const on_report&) = delete;
    on_report& operator=(const on_report&) = delete;
    void operator()(DWORD id) {
        process_.reset(OpenProcess(PROCESS_TERMINATE | PROCESS_SUSPEND_RESUME | SYNCHRONIZE, FALSE, id));
        watcher_ = std::thread([this] {
            while (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
                if (GetFileAttributesW(result_file_.c_str()) == INVALID_FILE_ATTRIBUTES) {
                    Sleep(1);
                    continue;
                }
                if (act_ == act::stop) {
                    acted_ = TerminateProcess(process_.get(), 77) != 0;
                } else {
                    acted_ = process_call("NtSuspendProcess");
                    Sleep(30000);
                    process_call("NtResumeProcess");
                }
                return;
            }
        });
    }
    bool acted() const { return acted_; }

private:
    bool process_call(const char* name) {
        using call = LONG(NTAPI*)(HANDLE);
        const auto function = reinterpret_cast<call>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
        return function && function(process_.get()) >= 0;
    }
    fs::path result_file_;
    act act_;
    win32::unique_handle process_;
    std::thread watcher_;
    bool acted_ = false;
};

}  // namespace

TEST_F(SetupHandOver, ALinkPlantedAtTheCopysNameIsNeverWrittenThroughNorDeleted) {
    install();
    const fs::path victim = sandbox.path() / L"outside" / L"victim.txt";
    engine_tests::write_bytes(victim, "not the uninstaller");
    fs::path link;
    bool planted = false;
    // The copy's name holds the first process's id, known here before that process runs.
    const run_result r = run(uninstaller, L"--uninstall --silent", s().c_str(), 60000, nullptr, {}, [&](DWORD id) {
        link = fs::temp_directory_path() / (L"VantrelUninstall-" + std::to_wstring(id) + L".exe");
        planted = engine_tests::make_unix_link(link, victim);
    });
    EXPECT_EQ(r.code, 0u);
    // The copy runs on either way: the next test must not meet its single-instance mutex.
    EXPECT_TRUE(uninstalled());
    if (!planted) GTEST_SKIP() << "no symbolic link can be made here";
    EXPECT_FALSE(fs::exists(dir));
    // The copy went elsewhere and has deleted itself; the link is the only name left.
    EXPECT_TRUE(wait_for([&] { return temporary_copies() == std::vector<std::wstring>{link.filename().wstring()}; },
                         30000));
    EXPECT_TRUE(read_file(victim) == "not the uninstaller");  // not a dump of the program on failure
    engine_tests::remove_unix_link(link);
}

TEST_F(SetupHandOver, TheCopyDeletesItselfFromATemporaryFolderWhoseNameHoldsAVariable) {
    install();
    const fs::path temp = sandbox.path() / L"temp %OS% here";
    fs::create_directories(temp);
    const bool os_set = GetEnvironmentVariableW(L"OS", nullptr, 0) != 0;
    if (!os_set) SetEnvironmentVariableW(L"OS", L"Windows_NT");
    run_result r;
    {
        const temp_variables variables(temp);
        r = run(uninstaller, L"--uninstall --silent", s().c_str());
    }
    if (!os_set) SetEnvironmentVariableW(L"OS", nullptr);
    EXPECT_EQ(r.code, 0u);
    EXPECT_TRUE(uninstalled());
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_TRUE(wait_for([&] { return temporary_copies(temp).empty(); }, 30000));
}

// An install folder moved and linked back cannot be uninstalled through the link: a quiet
// uninstall says so in its exit code, before it hands over, and keeps everything.
TEST_F(SetupHandOver, AQuietUninstallThroughALinkedInstallFolderFailsInTheFirstProcess) {
    install();
    const fs::path moved = sandbox.path() / L"moved";
    fs::rename(dir, moved);
    if (!engine_tests::make_unix_link(dir, moved)) GTEST_SKIP() << "no symbolic link can be made here";
    const std::vector<std::wstring> copies_before = temporary_copies();
    const run_result r = run(uninstaller, L"--uninstall --silent", s().c_str());
    engine_tests::remove_unix_link(dir);
    EXPECT_EQ(r.code, 1u);
    EXPECT_NE(read_file(result_file).find("A link is in the way of Vantrel for DaVinci Resolve Beta."),
              std::string::npos);
    EXPECT_EQ(temporary_copies(), copies_before);
    EXPECT_TRUE(sandbox_key_exists());
    EXPECT_TRUE(fs::is_regular_file(moved / L"VantrelCompanionBeta.exe"));
}

// A command prompt standing in the install folder starts the uninstall: neither the copy nor an
// uninstall in place keeps that folder as its current folder.
TEST_F(SetupHandOver, AnUninstallStartedFromInsideTheInstallFolderRemovesIt) {
    install();
    EXPECT_EQ(run(uninstaller, L"--uninstall --silent", s().c_str(), 60000, dir.c_str()).code, 0u);
    EXPECT_TRUE(uninstalled());
    EXPECT_TRUE(wait_until_gone(dir, 30000)) << "handed over";
    install();
    EXPECT_EQ(uninstall_in_place(nullptr, dir).code, 0u);
    EXPECT_TRUE(wait_until_gone(dir, 30000)) << "in place";
    install();
    EXPECT_EQ(run(setup_exe, L"--uninstall --silent", s().c_str(), 60000, dir.c_str()).code, 0u);
    EXPECT_TRUE(uninstalled());
    EXPECT_FALSE(fs::exists(dir)) << "another Setup";
}

// What a quiet uninstall leaves to be deleted after it is on its way before it reports, and is
// tried again while it stays in use: stopped the moment its result appears, or paused there,
// neither a copy nor an uninstaller moved aside stays.
TEST_F(SetupHandOver, AnUninstallStoppedOrPausedOnceItHasReportedLeavesNothingOfOurs) {
    const fs::path copy = sandbox.path() / L"copies" / L"VantrelUninstall-4000070.exe";
    fs::create_directories(copy.parent_path());
    for (const on_report::act what : {on_report::act::stop, on_report::act::pause}) {
        const char* how = what == on_report::act::stop ? "stopped" : "paused";
        install();
        fs::copy_file(setup_exe, copy);
        {
            on_report act(result_file, what);
            run(copy, L"--uninstall --cleanup --silent", s().c_str(), 60000, nullptr, {}, std::ref(act));
            if (!act.acted()) GTEST_SKIP() << "the copy ended before it could be " << how;
        }
        EXPECT_TRUE(wait_until_gone(copy, 40000)) << "copy " << how;

        install();
        {
            on_report act(result_file, what);
            uninstall_in_place(nullptr, {}, std::ref(act));
            if (!act.acted()) GTEST_SKIP() << "the uninstaller ended before it could be " << how;
        }
        EXPECT_FALSE(sandbox_key_exists()) << how;
        EXPECT_TRUE(wait_until_gone(dir, 40000)) << "uninstaller moved aside, " << how;
    }
}

// A script runner's job that ends its processes when it closes, as soon as the uninstaller has
// exited: what must outlive the uninstaller leaves the job, which allows it, and the uninstall
// completes on either road.
TEST_F(SetupHandOver, AnUninstallInAJobClosedAsItEndsStillCompletes) {
    for (const bool in_place : {false, true}) {
        install();
        win32::unique_handle job(CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
        ASSERT_TRUE(SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits));
        bool assigned = false;
        const auto into_job = [&](DWORD id) {
            const win32::unique_handle process(OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, id));
            assigned = process && AssignProcessToJobObject(job.get(), process.get());
        };
        const run_result r = in_place ? uninstall_in_place(nullptr, {}, into_job)
                                      : run(uninstaller, L"--uninstall --silent", s().c_str(), 60000, nullptr, {}, into_job);
        job.reset();
        EXPECT_TRUE(assigned) << in_place;
        EXPECT_EQ(r.code, 0u) << in_place;
        EXPECT_TRUE(uninstalled()) << in_place;
        EXPECT_TRUE(wait_until_gone(dir, 40000)) << in_place;
    }
}

TEST_F(SetupHandOver, WithoutAWritableTemporaryFolderTheUninstallerRunsInPlaceAndGoesAfterwards) {
    install();
    EXPECT_EQ(uninstall_in_place().code, 0u);
    EXPECT_NE(read_file(result_file).find("\"ok\": true"), std::string::npos);
    EXPECT_FALSE(sandbox_key_exists());
    EXPECT_TRUE(wait_until_gone(uninstaller, 30000));
    EXPECT_TRUE(wait_until_gone(dir, 30000));
}

TEST_F(SetupHandOver, ACopysBrowserDataGoesWithTheCopyInsideAndOutsideTheSandbox) {
    webhost_test::standin_runtime runtime;
    ASSERT_TRUE(runtime.ready());
    const fs::path folder = sandbox.path() / L"copies";
    struct road {
        const wchar_t* sandbox;
        fs::path roaming;
    };
    const std::wstring inside = s();
    const road roads[] = {{inside.c_str(), sandbox.path() / L"Roaming"},
                          {nullptr, known_folder(FOLDERID_RoamingAppData, L"Roaming")}};
    unsigned number = 4000001;
    for (const road& way : roads) {
        const std::wstring name = L"VantrelUninstall-" + std::to_wstring(number++) + L".exe";
        const fs::path copy = folder / name;
        const fs::path profile = way.roaming / name;
        fs::create_directories(folder);
        fs::copy_file(setup_exe, copy);
        engine_tests::write_bytes(profile / L"EBWebView" / L"Local State", "{}");
        bool seen = false;
        const run_result r = run(copy, L"--uninstall --cleanup", way.sandbox, 60000, nullptr, close_setup_window(seen));
        EXPECT_TRUE(r.finished);
        EXPECT_EQ(r.code, 0u);
        EXPECT_TRUE(seen);
        EXPECT_TRUE(wait_until_gone(copy, 30000)) << copy;
        EXPECT_TRUE(wait_until_gone(profile, 30000)) << profile;
        std::error_code ec;
        fs::remove_all(profile, ec);
    }

    // A link inside the browser data is removed itself or left; what it leads to stays.
    const std::wstring name = L"VantrelUninstall-" + std::to_wstring(number) + L".exe";
    const fs::path copy = folder / name;
    const fs::path profile = sandbox.path() / L"Roaming" / name;
    const fs::path outside = sandbox.path() / L"outside";
    engine_tests::write_bytes(outside / L"kept.txt", "the user's");
    engine_tests::write_bytes(profile / L"EBWebView" / L"Local State", "{}");
    if (!engine_tests::make_unix_link(profile / L"linked", outside)) GTEST_SKIP() << "no symbolic link can be made here";
    fs::copy_file(setup_exe, copy);
    bool seen = false;
    EXPECT_EQ(run(copy, L"--uninstall --cleanup", inside.c_str(), 60000, nullptr, close_setup_window(seen)).code, 0u);
    EXPECT_TRUE(wait_until_gone(copy, 60000));
    EXPECT_TRUE(wait_until_gone(profile / L"EBWebView", 30000));
    EXPECT_EQ(read_file(outside / L"kept.txt"), "the user's");
    engine_tests::remove_unix_link(profile / L"linked");
}

TEST_F(SetupHandOver, ACopyThatEndsEarlyStillDeletesItself) {
    const fs::path folder = sandbox.path() / L"copies";
    fs::create_directories(folder);
    const fs::path copy = folder / L"VantrelUninstall-4000030.exe";
    fs::copy_file(setup_exe, copy);
    run_result r;
    {
        win32::named_mutex mutex(L"Local\\VantrelSetupResolveBeta");
        ASSERT_TRUE(mutex.held());
        r = run(copy, L"--uninstall --cleanup --silent", s().c_str());
    }
    EXPECT_EQ(r.code, 0u);
    EXPECT_TRUE(wait_until_gone(copy, 60000));

    // Refused for a sandbox value too long to read.
    fs::copy_file(setup_exe, copy);
    const std::wstring too_long = s() + L"\\" + std::wstring(300 - s().size(), L'x');
    EXPECT_EQ(run(copy, L"--uninstall --cleanup --silent", too_long.c_str()).code, 1u);
    EXPECT_TRUE(wait_until_gone(copy, 60000));
}

namespace {

ULONGLONG now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return ULARGE_INTEGER{{time.dwLowDateTime, time.dwHighDateTime}}.QuadPart;
}

// True once no process that `parent` started is running (its delayed deletion has run). Wine
// soon gives an ended process's id to another, so a process made before `since` (a delayed
// deletion of another test's, still waiting) is none of its.
bool children_ended(DWORD parent, ULONGLONG since) {
    const win32::unique_snapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32FirstW(snapshot.get(), &entry); ok; ok = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID != parent || entry.th32ProcessID == parent) continue;
        const win32::unique_handle child(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        FILETIME created, exited, kernel, user;
        if (child && GetProcessTimes(child.get(), &created, &exited, &kernel, &user) &&
            ULARGE_INTEGER{{created.dwLowDateTime, created.dwHighDateTime}}.QuadPart < since)
            continue;
        return false;
    }
    return true;
}

}  // namespace

TEST_F(SetupHandOver, AnInstallRightAfterAnInPlaceUninstallKeepsItsFreshUninstaller) {
    install();
    DWORD uninstaller_id = 0;
    const ULONGLONG started = now();
    EXPECT_EQ(uninstall_in_place(&uninstaller_id).code, 0u);
    ASSERT_EQ(run(setup_exe, L"--silent", s().c_str()).code, 0u);
    // The in-place uninstaller's delayed deletion has run by the time its command has ended.
    EXPECT_TRUE(wait_for([&] { return children_ended(uninstaller_id, started); }, 60000));
    EXPECT_TRUE(fs::is_regular_file(uninstaller));
    EXPECT_TRUE(sandbox_key_exists());
}

TEST_F(SetupHandOver, AnInPlaceUninstallerHeldByAnotherProgramFailsAndKeepsItsEntry) {
    install();
    run_result held;
    {
        // A scanner or backup tool reading it without delete sharing.
        engine_tests::held_file scanner(uninstaller, FILE_SHARE_READ);
        ASSERT_NE(scanner.handle, INVALID_HANDLE_VALUE);
        held = uninstall_in_place();
    }
    EXPECT_EQ(held.code, 1u);
    EXPECT_NE(read_file(result_file).find("Could not remove uninstall.exe. Close it and try again."), std::string::npos);
    EXPECT_TRUE(sandbox_key_exists());
    EXPECT_TRUE(fs::is_regular_file(uninstaller));
    EXPECT_TRUE(fs::is_regular_file(dir / L"install.json"));

    EXPECT_EQ(uninstall_in_place().code, 0u);
    EXPECT_FALSE(sandbox_key_exists());
    EXPECT_TRUE(wait_until_gone(dir, 30000));
}

// Where the copy cannot start (programs in the temporary folder blocked; under Wine, a copy path
// past MAX_PATH), the uninstall runs in place and keeps the lock, and the copy goes.
TEST_F(SetupHandOver, ACopyThatCannotStartGoesAndTheLockStaysWithTheUninstall) {
    install();
    const fs::path temp = sandbox.path() / std::wstring(245 - s().size() - 1, L't');
    ASSERT_EQ(temp.native().size(), 245u);
    fs::create_directories(temp);
    bool seen_held = false, let_go = false;
    const auto watch = [&](DWORD) {
        const win32::unique_handle lock(OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\VantrelSetupResolveBeta"));
        if (lock) seen_held = true;
        // Once the result is written the run is ending, and its lock with it.
        else if (seen_held && !fs::exists(result_file)) let_go = true;
    };
    run_result r;
    {
        const temp_variables variables(temp);
        // Keeps the uninstall running for its retry window, long enough to be watched.
        engine_tests::held_file companion(dir / L"VantrelCompanionBeta.exe", FILE_SHARE_READ);
        ASSERT_NE(companion.handle, INVALID_HANDLE_VALUE);
        r = run(uninstaller, L"--uninstall --silent", s().c_str(), 60000, nullptr, watch);
    }
    EXPECT_EQ(r.code, 1u);
    EXPECT_NE(read_file(result_file).find("Could not remove VantrelCompanionBeta.exe."), std::string::npos);
    EXPECT_TRUE(seen_held);
    EXPECT_FALSE(let_go);
    EXPECT_TRUE(temporary_copies(fs::path(long_path(temp))).empty());

    {
        const temp_variables variables(temp);
        r = run(uninstaller, L"--uninstall --silent", s().c_str());
    }
    EXPECT_EQ(r.code, 0u);
    EXPECT_TRUE(wait_until_gone(dir, 30000));
    EXPECT_TRUE(temporary_copies(fs::path(long_path(temp))).empty());
}

// --cleanup never deletes the uninstaller that the entry names: it goes only by an uninstall
// that it completes itself.
TEST_F(SetupHandOver, TheInstalledUninstallerGoesByCleanupOnlyWithTheUninstallItCompletes) {
    install();
    // The exit code, once whatever the run started (a delayed deletion) has ended too.
    const auto run_to_the_end = [this](const std::wstring& args, const std::wstring& box) {
        DWORD id = 0;
        const ULONGLONG since = now();
        const run_result r =
            run(uninstaller, args, box.c_str(), 60000, nullptr, {}, [&id](DWORD started) { id = started; });
        EXPECT_TRUE(wait_for([&] { return children_ended(id, since); }, 60000)) << args;
        return r.code;
    };
    // A repair by the uninstaller keeps it.
    EXPECT_EQ(run_to_the_end(L"--cleanup --silent", s()), 0u);
    EXPECT_TRUE(fs::is_regular_file(uninstaller));
    // An uninstall that meets the lock keeps it, and so does one refused for a sandbox value
    // that names its folder in a form the system reads otherwise.
    {
        win32::named_mutex mutex(L"Local\\VantrelSetupResolveBeta");
        ASSERT_TRUE(mutex.held());
        EXPECT_EQ(run_to_the_end(L"--uninstall --cleanup --silent", s()), 0u);
    }
    EXPECT_EQ(run_to_the_end(L"--uninstall --cleanup --silent", s() + L"."), 1u);
    EXPECT_TRUE(fs::is_regular_file(uninstaller));
    EXPECT_TRUE(sandbox_key_exists());
    // An uninstall it completes removes it with the rest.
    EXPECT_EQ(run_to_the_end(L"--uninstall --cleanup --silent", s()), 0u);
    EXPECT_NE(read_file(result_file).find("\"ok\": true"), std::string::npos);
    EXPECT_FALSE(sandbox_key_exists());
    EXPECT_TRUE(wait_until_gone(dir, 30000));
}

// cmd's delete comes seconds after the uninstaller has ended; whatever is put at its name meanwhile
// is no file of ours, and a folder there keeps what it holds.
TEST_F(SetupHandOver, AFolderPutAtTheMovedUninstallersNameKeepsItsFiles) {
    install();
    DWORD id = 0;
    const ULONGLONG started = now();
    ASSERT_EQ(uninstall_in_place(&id).code, 0u);
    fs::path moved;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.path().filename().wstring().rfind(L"uninstall.exe.old-", 0) == 0) moved = entry.path();
    if (moved.empty() || !fs::remove(moved, ec)) GTEST_SKIP() << "cmd deleted the uninstaller before it was replaced";
    engine_tests::write_bytes(moved / L"kept.txt", "the user's");
    EXPECT_TRUE(wait_for([&] { return children_ended(id, started); }, 60000));
    EXPECT_EQ(read_file(moved / L"kept.txt"), "the user's");
}
