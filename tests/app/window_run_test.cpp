// The interactive run against the stand-in WebView2 runtime, installed for each test. The
// test's steps run inside the run's own message loop (a thread timer fires in every loop and
// nested wait of the thread), so they see the window and the browser as the run leaves them.
#include <gtest/gtest.h>

#include <objbase.h>
#include <knownfolders.h>

#include <atomic>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine_windows.h"
#include "folders.h"
#include "lock_down.h"
#include "modes.h"
#include "product.h"
#include "sandbox.h"
#include "standin_runtime.h"
#include "text.h"
#include "win32_edge_engine.h"
#include "window.h"
#include "window_run.h"

using namespace webhost::detail;
using testing_support::sandbox_scope;
using webhost_test::drain_thread_queue;
using webhost_test::engine_windows;
using webhost_test::standin_runtime;
namespace fs = std::filesystem;

namespace {

// One step of a test: true once it is done; the next step runs at a later tick.
using step = std::function<bool()>;

class run_driver;
run_driver* current_driver = nullptr;

// Runs the steps, one per tick, from whatever loop the thread is in. A run that stops making
// progress for two minutes is ended, so that a broken run fails instead of hanging.
class run_driver {
public:
    explicit run_driver(std::vector<step> steps) : steps_(std::move(steps)) {
        current_driver = this;
        deadline_ = GetTickCount64() + patience;
        timer_ = SetTimer(nullptr, 0, 15, tick);
    }
    ~run_driver() {
        KillTimer(nullptr, timer_);
        current_driver = nullptr;
    }
    bool finished() const { return next_ == steps_.size(); }
    bool timed_out() const { return timed_out_; }
    std::size_t steps_done() const { return next_; }

private:
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
        run_driver* self = current_driver;
        // A step may itself pump messages.
        if (self == nullptr || self->in_step_) return;
        self->in_step_ = true;
        self->advance();
        self->in_step_ = false;
    }
    void advance() {
        if (GetTickCount64() > deadline_) {
            if (!timed_out_) {
                timed_out_ = true;
                if (HWND w = FindWindowW(L"webhost", nullptr)) PostMessageW(w, WM_CLOSE, 0, 0);
            }
            PostQuitMessage(0);
            return;
        }
        if (next_ < steps_.size() && steps_[next_]()) {
            ++next_;
            deadline_ = GetTickCount64() + patience;
        }
    }

    static constexpr ULONGLONG patience = 120000;
    std::vector<step> steps_;
    std::size_t next_ = 0;
    ULONGLONG deadline_ = 0;
    UINT_PTR timer_ = 0;
    bool in_step_ = false;
    bool timed_out_ = false;
};

std::wstring text_of(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

// A door the worker waits at until a step opens it.
struct door {
    std::atomic<bool> open{false};
    bool wait() const {
        const ULONGLONG end = GetTickCount64() + 60000;
        while (!open.load()) {
            if (GetTickCount64() > end) return false;
            Sleep(5);
        }
        return true;
    }
};

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Each part found after the one before it; the name of the first that is not.
std::string first_out_of_order(const std::string& text, const std::vector<std::string>& parts, std::size_t from = 0) {
    for (const auto& part : parts) {
        const std::size_t at = text.find(part, from);
        if (at == std::string::npos) return part;
        from = at + part.size();
    }
    return {};
}

op_result finished_job() {
    op_result r;
    r.ok = true;
    r.notes = {"python"};
    r.record = json::object();
    return r;
}

struct SetupWindowRun : ::testing::Test {
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        drain_thread_queue();
        uninstall_mode = false;
        engine_wait_limits = wait_limits{};
    }
    void TearDown() override {
        uninstall_mode = false;
        engine_wait_limits = wait_limits{};
        EXPECT_EQ(engine_windows(), 0) << "a Setup window outlived its run";
        drain_thread_queue();
        CoUninitialize();
    }

    window_run_hooks hooks() {
        window_run_hooks h;
        h.failure_box = [this] {
            ++boxes;
            windows_at_box = engine_windows();
        };
        return h;
    }
    int run(std::vector<step> steps, const window_run_hooks& h) {
        run_driver driver(std::move(steps));
        const int code = run_window(h);
        EXPECT_FALSE(driver.timed_out()) << "the run stopped making progress";
        steps_done = driver.steps_done();
        all_steps_done = driver.finished();
        return code;
    }
    int run(std::vector<step> steps) { return run(std::move(steps), hooks()); }

    std::string log_text() const {
        std::string text;
        for (const auto& line : runtime->log()) text += line + "\n";
        return text;
    }
    bool logged(const std::string& part) const { return log_text().find(part) != std::string::npos; }
    void page_call(const std::string& id, const std::string& method, const std::string& params) const {
        runtime->raise("web_message", R"({"id":")" + id + R"(","method":")" + method + R"(","params":)" + params + "}");
    }
    static std::string reply_head(const std::string& id) {
        return "browser.ExecuteScript(window.__webhost__.onReply(\"" + id + "\", 0, ";
    }
    bool replied(const std::string& id) const { return logged(reply_head(id)); }

    // The window once the page has been asked for.
    step page_shown() {
        return [this] {
            if (!logged("browser.NavigateToString(")) return false;
            window = FindWindowW(L"webhost", nullptr);
            return window != nullptr;
        };
    }
    step close_window() {
        return [this] {
            PostMessageW(window, WM_CLOSE, 0, 0);
            return true;
        };
    }

    std::optional<standin_runtime> runtime{std::in_place};
    HWND window = nullptr;
    int boxes = 0;
    int windows_at_box = -1;
    std::size_t steps_done = 0;
    bool all_steps_done = false;
};

}  // namespace

TEST_F(SetupWindowRun, WithoutARuntimeTheBoxComesAfterEveryWindowIsGoneAndTheRunEndsWithThree) {
    runtime.reset();
    webhost_test::remove_every_runtime();
    EXPECT_EQ(run({}), 3);
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(windows_at_box, 0);
}

TEST_F(SetupWindowRun, AFailureAfterTheWindowWasBuiltShowsTheBoxOnlyOnceTheWindowIsGone) {
    // The browser cannot be made for the window the engine has already created.
    runtime->configure("environment.CreateCoreWebView2Controller", "complete:0x80004004");
    EXPECT_EQ(run({}), 3);
    EXPECT_TRUE(logged("environment.CreateCoreWebView2Controller("));
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(windows_at_box, 0);

    // The engine is built and the window styled when the page cannot be loaded.
    runtime->configure("environment.CreateCoreWebView2Controller", "ok");
    window_run_hooks h = hooks();
    bool page_asked = false;
    h.page = [&]() -> std::string {
        page_asked = engine_windows() == 1;
        throw std::runtime_error("no page");
    };
    EXPECT_EQ(run({}, h), 3);
    EXPECT_TRUE(page_asked) << "the page was asked for without the window";
    EXPECT_EQ(boxes, 2);
    EXPECT_EQ(windows_at_box, 0);
}

namespace {

// What the real window receives of the page's drag: the message is taken here, so that no
// system move loop waits for a mouse button.
WNDPROC setup_window_proc = nullptr;
std::vector<std::pair<WPARAM, LPARAM>> nc_button_downs;

LRESULT CALLBACK record_nc_button_down(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCLBUTTONDOWN) {
        nc_button_downs.emplace_back(wparam, lparam);
        return 0;
    }
    return CallWindowProcW(setup_window_proc, window, message, wparam, lparam);
}

}  // namespace

TEST_F(SetupWindowRun, ThePagesWindowAndOpenCallsReachTheSystem) {
    sandbox_scope sandbox;
    const fs::path companion = install_dir() / product_info.companion_exe;
    fs::create_directories(companion.parent_path());
    ASSERT_TRUE(CopyFileW(webhost_test::with_backslashes(VANTREL_PLANTED_EXE).c_str(), companion.c_str(), FALSE));
    const fs::path ran = fs::path(companion.wstring() + L".ran");
    nc_button_downs.clear();
    bool captured = false, released = false, iconic = false;
    const int code = run({
        page_shown(),
        [&] {
            setup_window_proc = reinterpret_cast<WNDPROC>(
                SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(record_nc_button_down)));
            SetCapture(window);
            captured = GetCapture() == window;
            page_call("d", "setupWindow", R"(["drag"])");
            return true;
        },
        [&] { return replied("d"); },
        [&] {
            released = GetCapture() == nullptr;
            SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(setup_window_proc));
            page_call("m", "setupWindow", R"(["minimize"])");
            return true;
        },
        [&] { return replied("m"); },
        [&] {
            iconic = IsIconic(window) != FALSE;
            page_call("o", "setupOpen", R"(["app"])");
            return true;
        },
        [&] { return replied("o"); },
        // The companion started through the shell leaves its mark.
        [&] { return fs::exists(ran); },
        close_window(),
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(all_steps_done) << "stopped before step " << steps_done;
    ASSERT_EQ(nc_button_downs.size(), 1u);
    EXPECT_EQ(nc_button_downs[0].first, static_cast<WPARAM>(HTCAPTION));
    EXPECT_EQ(nc_button_downs[0].second, 0);
    EXPECT_TRUE(captured);
    EXPECT_TRUE(released) << "the mouse was not let go before the move";
    EXPECT_TRUE(iconic);
    EXPECT_TRUE(fs::exists(ran));
}

namespace {

// A document type of the test's own whose "open" and default verbs start different programs.
// Wine's classes root is the machine's, so it goes again when the scope ends.
class document_type {
public:
    document_type(const fs::path& open_program, const fs::path& default_program) {
        set(L".vantrelopen", nullptr, L"VantrelTest.OpenProbe");
        set(L"VantrelTest.OpenProbe\\shell", nullptr, L"probe");
        set(L"VantrelTest.OpenProbe\\shell\\open\\command", nullptr, (L"\"" + open_program.wstring() + L"\" \"%1\"").c_str());
        set(L"VantrelTest.OpenProbe\\shell\\probe\\command", nullptr,
            (L"\"" + default_program.wstring() + L"\" \"%1\"").c_str());
    }
    ~document_type() {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, L"VantrelTest.OpenProbe");
        RegDeleteTreeW(HKEY_CLASSES_ROOT, L".vantrelopen");
    }
    document_type(const document_type&) = delete;
    document_type& operator=(const document_type&) = delete;
    bool made() const { return made_; }

private:
    void set(const wchar_t* key_name, const wchar_t* value_name, const wchar_t* text) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key_name, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
            made_ = false;
            return;
        }
        if (RegSetValueExW(key, value_name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
            made_ = false;
        }
        RegCloseKey(key);
    }
    bool made_ = true;
};

}  // namespace

TEST(PagePlatform, OpenAsksTheShellForTheOpenVerb) {
    testing_support::temp_folder folder(L"open-verb");
    const fs::path open_program = folder.path() / L"open.exe";
    const fs::path default_program = folder.path() / L"default.exe";
    for (const fs::path& program : {open_program, default_program}) {
        ASSERT_TRUE(CopyFileW(webhost_test::with_backslashes(VANTREL_PLANTED_EXE).c_str(), program.c_str(), FALSE));
    }
    const fs::path document = folder.path() / L"page.vantrelopen";
    std::ofstream(document) << "x";
    document_type type(open_program, default_program);
    ASSERT_TRUE(type.made()) << "the classes root cannot be written here";

    windows_platform().open(document.wstring(), L"");
    const fs::path opened = fs::path(open_program.wstring() + L".ran");
    const ULONGLONG end = GetTickCount64() + 60000;
    while (!fs::exists(opened) && GetTickCount64() < end) Sleep(20);
    EXPECT_TRUE(fs::exists(opened)) << "the document's open command did not run";
    EXPECT_FALSE(fs::exists(default_program.wstring() + L".ran"));
}

TEST_F(SetupWindowRun, TheInstallWindowIsAFixedCentredPopupWithALockedDownBrowser) {
    ASSERT_TRUE(runtime->ready());
    std::wstring title;
    LONG_PTR style = 0;
    RECT frame{}, work{}, client{};
    const auto expect = [&](const char* kind, const char* argument, const char* decision) {
        EXPECT_EQ(runtime->raise(kind, argument), decision) << kind << " " << argument;
    };
    const int code = run({
        page_shown(),
        [&] {
            title = text_of(window);
            style = GetWindowLongPtrW(window, GWL_STYLE);
            GetWindowRect(window, &frame);
            GetClientRect(window, &client);
            MONITORINFO info{};
            info.cbSize = sizeof info;
            GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info);
            work = info.rcWork;
            return true;
        },
        [&] {
            // The page's own document passes (NavigateToString shows it as a data address); a
            // reload of it and every other address after it is cancelled.
            const char* page = "data:text/html;charset=utf-8;base64,PCFkb2N0eXBlIGh0bWw+";
            expect("navigation", page, "cancel=0");
            for (const char* uri : {page, "about:blank", "about:blank#top", "https://vantrel.app/",
                                    "data:text/html,<p>x</p>", ""}) {
                expect("navigation", uri, "cancel=1");
            }
            for (const char* uri : {"about:blank", "data:text/html,x", "https://vantrel.app/"}) {
                expect("frame_navigation", uri, "cancel=1");
            }
            expect("new_window", "https://vantrel.app/", "handled=1");
            // 6 is clipboard reading, which the host allows before the lock-down refuses it.
            for (const char* kind : {"1", "2", "3", "4", "6", "!6"}) expect("permission", kind, "state=2");
            page_call("i", "setupInfo", "[]");
            return true;
        },
        [&] { return replied("i"); },
        close_window(),
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(boxes, 0);
    ASSERT_TRUE(all_steps_done) << "stopped before step " << steps_done;

    EXPECT_EQ(title, utf8_to_wide(product_info.name) + L" \u2014 Setup");
    EXPECT_EQ(style & (WS_CAPTION | WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
    EXPECT_EQ(style & (WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX), WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX);
    EXPECT_NE(style & WS_VISIBLE, 0);
    const LONG w = frame.right - frame.left, h = frame.bottom - frame.top;
    // 880 x 580 at 96 DPI framed as a fixed captioned window; the popup keeps that outer size
    // and has no frame of its own, so all of it is client area.
    RECT framed{0, 0, 880, 580};
    AdjustWindowRectEx(&framed, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, FALSE, 0);
    EXPECT_EQ(w, framed.right - framed.left);
    EXPECT_EQ(h, framed.bottom - framed.top);
    EXPECT_EQ(client.right - client.left, w);
    EXPECT_EQ(client.bottom - client.top, h);
    EXPECT_EQ(frame.left, work.left + (work.right - work.left - w) / 2);
    EXPECT_EQ(frame.top, work.top + (work.bottom - work.top - h) / 2);

    const std::string log = log_text();
    // Binds, then the lock-down's five settings and four handlers, then the page, once.
    EXPECT_EQ(first_out_of_order(log, {"onBind(\"setupInfo\")", "onBind(\"setupOpen\")", "onBind(\"setupWindow\")",
                                       "onBind(\"setupInstall\")", "onBind(\"setupUninstall\")",
                                       "settings.put_AreDevToolsEnabled(0)",
                                       "settings.put_AreDefaultContextMenusEnabled(0)",
                                       "settings.put_IsStatusBarEnabled(0)", "settings.put_IsZoomControlEnabled(0)",
                                       "settings.put_AreHostObjectsAllowed(0)", "browser.add_NavigationStarting()",
                                       "browser.add_FrameNavigationStarting()", "browser.add_NewWindowRequested()",
                                       "browser.add_PermissionRequested()", "browser.NavigateToString(<!doctype html>"}),
              "");
    EXPECT_EQ(count_of(log, "browser.NavigateToString("), 1u);
    EXPECT_EQ(log.find("settings.put_", log.find("settings.put_AreHostObjectsAllowed(0)") + 1), std::string::npos)
        << "a setting changed after the lock-down";
    EXPECT_EQ(log.find("settings.put_AreDevToolsEnabled(1)"), std::string::npos);

    // setupInfo answered synchronously with the info document, quoted for the page.
    const std::size_t reply = log.find(reply_head("i"));
    ASSERT_NE(reply, std::string::npos);
    const std::string info = log.substr(reply, log.find('\n', reply) - reply);
    EXPECT_NE(info.find(R"(\"mode\":\"install\")"), std::string::npos) << info;
    EXPECT_NE(info.find(R"(\"name\":\"Vantrel for DaVinci Resolve (Beta)\")"), std::string::npos) << info;
}

namespace {
std::vector<BOOL> dark_mode_values;  // what the title bar's dark-mode attribute was given
HRESULT WINAPI record_dark_mode(HWND, DWORD attribute, LPCVOID value, DWORD) {
    if (attribute == 20) dark_mode_values.push_back(*static_cast<const BOOL*>(value));
    return S_OK;
}
}  // namespace

TEST_F(SetupWindowRun, TheFrameStaysDarkWhenWindowsTurnsLight) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize", 0,
                              nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD old = 0, size = sizeof old;
    const bool had = RegQueryValueExW(key, L"AppsUseLightTheme", nullptr, nullptr, reinterpret_cast<BYTE*>(&old),
                                      &size) == ERROR_SUCCESS;
    const DWORD light = 1;
    RegSetValueExW(key, L"AppsUseLightTheme", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&light), sizeof light);
    dark_mode_values.clear();
    title_bar_attribute_override = record_dark_mode;
    const int code = run({page_shown(),
                          [&] {
                              dark_mode_values.clear();
                              SendMessageW(window, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"ImmersiveColorSet"));
                              return true;
                          },
                          close_window()});
    title_bar_attribute_override = nullptr;
    if (had) RegSetValueExW(key, L"AppsUseLightTheme", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old), sizeof old);
    else RegDeleteValueW(key, L"AppsUseLightTheme");
    RegCloseKey(key);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(dark_mode_values, std::vector<BOOL>{TRUE});
}

TEST_F(SetupWindowRun, InUninstallModeTheTitleSaysUninstall) {
    uninstall_mode = true;
    std::wstring title;
    const int code = run({page_shown(),
                          [&] {
                              title = text_of(window);
                              page_call("i", "setupInfo", "[]");
                              return true;
                          },
                          [&] { return replied("i"); }, close_window()});
    EXPECT_EQ(code, 0);
    EXPECT_EQ(title, utf8_to_wide(product_info.name) + L" \u2014 Uninstall");
    EXPECT_TRUE(logged(R"(\"mode\":\"uninstall\")"));
}

TEST_F(SetupWindowRun, AnInstallStartedByThePageRunsInTheSandboxAndReportsBack) {
    sandbox_scope sandbox;
    const int code = run({
        page_shown(),
        [&] {
            page_call("7", "setupInstall", "[{}]");
            return true;
        },
        [&] { return replied("7"); },
        [&] {
            page_call("8", "setupWindow", R"(["close"])");
            return true;
        },
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(boxes, 0);
    EXPECT_TRUE(all_steps_done);

    const std::string log = log_text();
    const std::size_t reply = log.find(reply_head("7"));
    ASSERT_NE(reply, std::string::npos);
    const std::string reply_line = log.substr(reply, log.find('\n', reply) - reply);
    EXPECT_NE(reply_line.find(R"(\"ok\":true)"), std::string::npos) << reply_line;
    const std::size_t first_step = log.find("browser.ExecuteScript(window.setupProgress&&window.setupProgress({");
    EXPECT_LT(first_step, reply);
    EXPECT_GE(count_of(log.substr(0, reply), "window.setupProgress("), 3u);
    EXPECT_TRUE(fs::is_regular_file(install_dir() / product_info.companion_exe));
    EXPECT_TRUE(fs::is_regular_file(install_dir() / L"install.json"));
}

TEST_F(SetupWindowRun, TheBrowserDataFolderFollowsTheSandbox) {
    const std::string program = wide_to_utf8(own_exe_path().filename().wstring());
    {
        sandbox_scope sandbox;
        EXPECT_EQ(run({page_shown(), close_window()}), 0);
        const std::string inside = wide_to_utf8((sandbox_root / L"Roaming").wstring()) + "\\" + program;
        EXPECT_TRUE(logged("client.CreateWebViewEnvironmentWithOptionsInternal(1,0," + inside + ",")) << log_text();
    }
    runtime.emplace();
    EXPECT_EQ(run({page_shown(), close_window()}), 0);
    const std::string roaming = wide_to_utf8(known_folder(FOLDERID_RoamingAppData, L"Roaming").wstring());
    EXPECT_TRUE(logged("client.CreateWebViewEnvironmentWithOptionsInternal(1,0," + roaming + "\\" + program + ","))
        << log_text();
}

TEST_F(SetupWindowRun, ThePageCannotCloseTheWindowWhileAJobRuns) {
    door started, release;
    window_run_hooks h = hooks();
    h.platform.install = [&](const progress_fn& progress) {
        started.open = true;
        release.wait();
        progress(90, "Almost");
        return finished_job();
    };
    bool open_while_busy = false;
    const int code = run(
        {
            page_shown(),
            [&] {
                page_call("1", "setupInstall", "[{}]");
                return true;
            },
            [&] {
                if (!started.open) return false;
                page_call("2", "setupWindow", R"(["close"])");
                return true;
            },
            // The close call is answered and the loop goes on: this step runs at all.
            [&] { return replied("2"); },
            [&] {
                open_while_busy = IsWindow(window) != FALSE;
                release.open = true;
                return true;
            },
            [&] { return replied("1"); },
            [&] {
                page_call("3", "setupWindow", R"(["close"])");
                return true;
            },
        },
        h);
    release.open = true;
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(all_steps_done) << "stopped before step " << steps_done;
    EXPECT_TRUE(open_while_busy);
    EXPECT_TRUE(logged(R"("label":"Almost")"));
}

TEST_F(SetupWindowRun, ClosingTheWindowDuringAnInstallWaitsForItAndTouchesNoReleasedBrowser) {
    door started;
    std::atomic<bool> job_done{false};
    std::atomic<HWND> seen{nullptr};
    window_run_hooks h = hooks();
    h.platform.install = [&](const progress_fn& progress) {
        started.open = true;
        // Reports only once the window is gone.
        const ULONGLONG end = GetTickCount64() + 60000;
        while (IsWindow(seen.load()) && GetTickCount64() < end) Sleep(5);
        // Most likely after the loop has ended too: what follows then runs in the teardown.
        Sleep(100);
        progress(95, "After the window");
        job_done = true;
        return finished_job();
    };
    const int code = run(
        {
            page_shown(),
            [&] {
                seen = window;
                page_call("5", "setupInstall", "[{}]");
                return true;
            },
            [&] { return started.open.load(); },
            close_window(),
        },
        h);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(boxes, 0);
    EXPECT_TRUE(job_done.load()) << "the run ended before its job";

    const std::string log = log_text();
    const std::size_t closed = log.find("controller.Close(");
    ASSERT_NE(closed, std::string::npos);
    EXPECT_EQ(log.find("browser.", closed), std::string::npos) << log.substr(closed);
}

TEST_F(SetupWindowRun, AnEmptyPageEndsTheRunWithThreeAndNoBox) {
    window_run_hooks h = hooks();
    h.page = [] { return std::string(); };
    EXPECT_EQ(run({}, h), 3);
    EXPECT_EQ(boxes, 0);
    EXPECT_TRUE(logged("onBind(\"setupUninstall\")"));
    EXPECT_TRUE(logged("settings.put_AreHostObjectsAllowed(0)"));
    EXPECT_FALSE(logged("browser.NavigateToString("));
}

TEST_F(SetupWindowRun, APageThatIsNotUtf8IsShownEmpty) {
    window_run_hooks h = hooks();
    h.page = [] { return std::string("<p>caf\xe9</p>"); };
    EXPECT_EQ(run({page_shown(), close_window()}, h), 0);
    EXPECT_TRUE(logged("browser.NavigateToString()\n"));
}

TEST_F(SetupWindowRun, AWindowClosedWhileTheRunBindsEndsTheRunInsteadOfLeavingItWaiting) {
    // The first bind's script registration is held back, so the run waits inside the bind.
    runtime->configure("browser.AddScriptToExecuteOnDocumentCreated", "ok,defer,ok");
    bool closed = false;
    const int code = run({[&] {
        if (count_of(log_text(), "browser.AddScriptToExecuteOnDocumentCreated(") < 2) return false;
        const HWND w = FindWindowW(L"webhost", nullptr);
        if (w == nullptr) return false;
        DestroyWindow(w);
        // A nested wait that drops the quit, as a modal loop would.
        MSG msg;
        PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        runtime->raise("release_deferred");
        closed = true;
        return true;
    }});
    EXPECT_TRUE(closed);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(boxes, 0);
    EXPECT_FALSE(logged("browser.NavigateToString("));
}

// The lock-down on its own, over an engine's browser.
TEST_F(SetupWindowRun, LockDownWithoutABrowserChangesNothingAndWithoutSettingsStillGuardsNavigation) {
    win32_edge_engine engine(false, nullptr);
    ICoreWebView2Controller* controller = engine.get_controller().value();
    const auto gate = std::make_shared<navigation_gate>();

    runtime->configure("controller.get_CoreWebView2", "fail");
    std::size_t before = log_text().size();
    lock_down(controller, gate);
    const std::string skipped = log_text().substr(before);
    EXPECT_EQ(skipped.find("settings."), std::string::npos) << skipped;
    EXPECT_EQ(skipped.find("browser.add_"), std::string::npos) << skipped;

    runtime->configure("controller.get_CoreWebView2", "ok");
    runtime->configure("browser.get_Settings", "fail");
    before = log_text().size();
    lock_down(controller, gate);
    const std::string partial = log_text().substr(before);
    EXPECT_EQ(partial.find("settings."), std::string::npos) << partial;
    EXPECT_EQ(first_out_of_order(partial, {"browser.add_NavigationStarting()", "browser.add_FrameNavigationStarting()",
                                           "browser.add_NewWindowRequested()", "browser.add_PermissionRequested()"}),
              "");
    EXPECT_EQ(runtime->raise("navigation", "data:text/html,x"), "cancel=1");
    gate->arm();
    EXPECT_EQ(runtime->raise("navigation", "data:text/html,x"), "cancel=0");
    EXPECT_EQ(runtime->raise("frame_navigation", "data:text/html,x"), "cancel=1");
}
