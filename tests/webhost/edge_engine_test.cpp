#include <gtest/gtest.h>

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <tuple>

#include "callback.h"
#include "engine_windows.h"
#include "exception.h"
#include "standin_runtime.h"
#include "win32_edge_engine.h"

using namespace webhost::detail;
using Microsoft::WRL::ComPtr;
using webhost_test::drain_thread_queue;
using webhost_test::engine_windows;
using webhost_test::message_windows;
using webhost_test::standin_runtime;

namespace {

int detached_with = -100;
void note_detach(int live) { detached_with = live; }

bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

SIZE client_size(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return {r.right - r.left, r.bottom - r.top};
}

webhost::exception construction_error(bool debug = false, void* window = nullptr) {
    try {
        win32_edge_engine engine(debug, window);
    } catch (const webhost::exception& e) {
        return e;
    }
    return webhost::exception(error_code::ok, "constructed");
}

std::wstring expected_user_data_folder() {
    wchar_t app_data[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, app_data);
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    return std::wstring(app_data) + L"\\" + PathFindFileNameW(program);
}

struct EdgeEngine : ::testing::Test {
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        engine_wait_limits = wait_limits{};
        windows_before = open_window_count.load();
    }
    void TearDown() override {
        drain_thread_queue();
        EXPECT_EQ(open_window_count.load(), windows_before);
        EXPECT_EQ(engine_windows(), 0);
        EXPECT_EQ(message_windows(), 0);
        engine_wait_limits = wait_limits{};
        CoUninitialize();
    }
    std::uint32_t windows_before = 0;
};

}  // namespace

TEST_F(EdgeEngine, WithoutAnyRuntimeConstructionFailsBeforeAnyWindow) {
    webhost_test::remove_every_runtime();
    const auto error = construction_error();
    EXPECT_EQ(error.code(), error_code::missing_dependency);
    EXPECT_STREQ(error.what(), "WebView2 is unavailable");
}

TEST_F(EdgeEngine, APlantedLoaderInTheCurrentFolderIsNotLoaded) {
    webhost_test::remove_every_runtime();
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"vantrel-planted-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring planted = folder + L"\\WebView2Loader.dll";
    ASSERT_TRUE(CopyFileW(webhost_test::with_backslashes(VANTREL_STANDIN_LOADER).c_str(), planted.c_str(), FALSE));
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(folder.c_str());

    // The planted loader would report a runtime and make a browser.
    const auto error = construction_error();
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(error.code(), error_code::missing_dependency);
    EXPECT_EQ(GetModuleHandleW(planted.c_str()), nullptr);
    DeleteFileW(planted.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST_F(EdgeEngine, BuildsTheWindowAndTheBrowserThroughTheRuntimeClient) {
    standin_runtime runtime;
    ASSERT_TRUE(runtime.ready());
    {
        win32_edge_engine engine(false, nullptr);
        EXPECT_EQ(open_window_count.load(), windows_before + 1);
        const HWND window = engine.window().value();
        wchar_t cls[32] = {};
        GetClassNameW(window, cls, 32);
        EXPECT_STREQ(cls, L"webhost");
        EXPECT_TRUE(IsWindowVisible(window));
        EXPECT_EQ(GetWindowTextLengthW(window), 0);
        const SIZE client = client_size(window);
        EXPECT_EQ(client.cx, 640);
        EXPECT_EQ(client.cy, 480);
        EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
        const HWND widget = engine.widget().value();
        EXPECT_EQ(GetParent(widget), window);
        EXPECT_TRUE(GetWindowLongW(widget, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);
        ASSERT_FALSE(engine.get_controller().has_error());

        const auto log = runtime.log();
        char folder[MAX_PATH * 3] = {};
        WideCharToMultiByte(CP_UTF8, 0, expected_user_data_folder().c_str(), -1, folder, sizeof folder, nullptr, nullptr);
        EXPECT_TRUE(has(log, std::string("client.CreateWebViewEnvironmentWithOptionsInternal(1,0,") + folder +
                                 ",no options)"));
        EXPECT_TRUE(has(log, "environment.CreateCoreWebView2Controller(window)"));
        EXPECT_TRUE(has(log, "browser.add_WebMessageReceived()"));
        EXPECT_TRUE(has(log, "browser.add_PermissionRequested()"));
        EXPECT_TRUE(has(log, "settings.put_AreDevToolsEnabled(0)"));
        EXPECT_TRUE(has(log, "settings.put_IsStatusBarEnabled(0)"));
        EXPECT_TRUE(has(log, "controller.put_Bounds(0,0,640,480)"));
        EXPECT_TRUE(has(log, "controller.put_IsVisible(1)"));
        EXPECT_TRUE(has(log, "controller.MoveFocus(0)"));
        const auto scripts = runtime.calls("browser.AddScriptToExecuteOnDocumentCreated(");
        ASSERT_EQ(scripts.size(), 1u);
        EXPECT_NE(scripts[0].find("window.chrome.webview.postMessage(message)"), std::string::npos);
        // The settings object was let go at once.
        EXPECT_TRUE(has(log, "~settings"));
        runtime.on_detach(note_detach);
        runtime.let_go();
    }
    // Handlers detached with their tokens, the controller closed, every object released, and
    // only then the library freed.
    EXPECT_EQ(GetModuleHandleW(L"EmbeddedBrowserWebView.dll"), nullptr);
    EXPECT_EQ(detached_with, 0);
}

TEST_F(EdgeEngine, TeardownDetachesHandlersAndClosesTheController) {
    standin_runtime runtime;
    {
        win32_edge_engine engine(false, nullptr);
    }
    const auto log = runtime.log();
    const auto at = [&](const std::string& line) { return std::find(log.begin(), log.end(), line) - log.begin(); };
    EXPECT_LT(at("browser.remove_WebMessageReceived(1)"), at("controller.Close()"));
    EXPECT_LT(at("browser.remove_PermissionRequested(2)"), at("controller.Close()"));
    EXPECT_LT(at("controller.Close()"), at("~controller"));
    EXPECT_TRUE(has(log, "~browser"));
    EXPECT_TRUE(has(log, "~environment"));
    EXPECT_EQ(runtime.live_objects(), 0);
}

TEST_F(EdgeEngine, TheLoaderRoadCallsTheLoaderOncePerAttempt) {
    standin_runtime runtime(standin_runtime::road::loader);
    ASSERT_TRUE(runtime.ready());
    runtime.configure("loader.CreateCoreWebView2EnvironmentWithOptions", "complete:0x80004005,ok");
    {
        win32_edge_engine engine(true, nullptr);
        EXPECT_EQ(runtime.calls("loader.CreateCoreWebView2EnvironmentWithOptions(").size(), 2u);
        const auto first = runtime.calls("loader.CreateCoreWebView2EnvironmentWithOptions(")[0];
        EXPECT_EQ(first.rfind("loader.CreateCoreWebView2EnvironmentWithOptions((null),", 0), 0u);
        EXPECT_NE(first.find(",no options)"), std::string::npos);
        EXPECT_TRUE(runtime.calls("client.").empty());
        EXPECT_TRUE(has(runtime.log(), "settings.put_AreDevToolsEnabled(1)"));
    }
    EXPECT_EQ(runtime.live_objects(), 0);
}

TEST_F(EdgeEngine, ALoaderThatReportsNoVersionMeansNoRuntime) {
    standin_runtime runtime(standin_runtime::road::loader);
    webhost_test::register_runtime_folder(HKEY_CURRENT_USER, webhost_test::with_backslashes(VANTREL_STANDIN_RUNTIME));
    for (const char* outcome : {"fail:0x80070002", "null"}) {
        runtime.configure("loader.GetAvailableCoreWebView2BrowserVersionString", outcome);
        EXPECT_EQ(construction_error().code(), error_code::missing_dependency) << outcome;
    }
}

TEST_F(EdgeEngine, FailedStepsAreRetriedUpToFiveAttemptsInAll) {
    standin_runtime runtime;
    runtime.configure("client.CreateWebViewEnvironmentWithOptionsInternal",
                      "complete:0x80004005,null,ok");
    runtime.configure("environment.CreateCoreWebView2Controller", "complete:0x80004005,null,ok");
    {
        // Environment: failure, null; controller: failure, null; then the fifth attempt works.
        win32_edge_engine engine(false, nullptr);
        EXPECT_EQ(runtime.calls("client.CreateWebViewEnvironmentWithOptionsInternal(").size(), 5u);
    }
    runtime.configure("client.CreateWebViewEnvironmentWithOptionsInternal", "complete:0x80004005");
    const auto error = construction_error();
    EXPECT_EQ(error.code(), error_code::invalid_state);
    EXPECT_STREQ(error.what(), "");
    EXPECT_EQ(runtime.calls("client.CreateWebViewEnvironmentWithOptionsInternal(").size(), 10u);
}

TEST_F(EdgeEngine, ANullBrowserWithSuccessIsAFailedStep) {
    standin_runtime runtime;
    runtime.configure("controller.get_CoreWebView2", "null,ok");
    win32_edge_engine engine(false, nullptr);
    EXPECT_EQ(runtime.calls("client.CreateWebViewEnvironmentWithOptionsInternal(").size(), 2u);
    EXPECT_FALSE(engine.eval("1").has_error());
}

TEST_F(EdgeEngine, AbortAndInvalidStateEndTheChainWithAFailure) {
    standin_runtime runtime;
    runtime.configure("environment.CreateCoreWebView2Controller", "complete:0x80004004");
    EXPECT_EQ(construction_error().code(), error_code::invalid_state);
    EXPECT_EQ(runtime.calls("client.CreateWebViewEnvironmentWithOptionsInternal(").size(), 1u);

    runtime.configure("environment.CreateCoreWebView2Controller", "complete:0x8007139F");
    EXPECT_EQ(construction_error().code(), error_code::invalid_state);

    runtime.configure("environment.CreateCoreWebView2Controller", "ok");
    runtime.configure("client.CreateWebViewEnvironmentWithOptionsInternal", "fail:0x8007139F");
    EXPECT_EQ(construction_error().code(), error_code::invalid_state);
    EXPECT_EQ(runtime.calls("client.CreateWebViewEnvironmentWithOptionsInternal(").size(), 3u);
}

TEST_F(EdgeEngine, ARuntimeThatNeverAnswersEndsTheWait) {
    standin_runtime runtime;
    engine_wait_limits.embed = std::chrono::milliseconds(200);
    runtime.configure("environment.CreateCoreWebView2Controller", "never");
    const auto error = construction_error();
    EXPECT_EQ(error.code(), error_code::invalid_state);
    EXPECT_STREQ(error.what(), "WebView2 did not answer");
}

TEST_F(EdgeEngine, AQuitDuringTheWaitCancels) {
    standin_runtime runtime;
    runtime.configure("environment.CreateCoreWebView2Controller", "defer");
    PostQuitMessage(0);
    EXPECT_EQ(construction_error().code(), error_code::canceled);
    // The controller that comes later finds no wait and no engine.
    runtime.raise("release_deferred");
    drain_thread_queue();
    EXPECT_EQ(runtime.calls("browser.add_WebMessageReceived(").size(), 0u);
}

namespace {
void CALLBACK close_engine_window(HWND, UINT, UINT_PTR timer, DWORD) {
    if (const HWND window = FindWindowExW(nullptr, nullptr, L"webhost", nullptr)) {
        KillTimer(nullptr, timer);
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
}
}  // namespace

TEST_F(EdgeEngine, ClosingTheWindowWhileTheBrowserIsMadeCancels) {
    standin_runtime runtime;
    runtime.configure("environment.CreateCoreWebView2Controller", "never");
    const UINT_PTR timer = SetTimer(nullptr, 0, 10, close_engine_window);
    EXPECT_EQ(construction_error().code(), error_code::canceled);
    KillTimer(nullptr, timer);
}

TEST_F(EdgeEngine, SettingsThatFailEndConstruction) {
    standin_runtime runtime;
    const struct {
        const char* step;
        const char* outcome;
        const char* message;
    } cases[] = {
        {"browser.get_Settings", "fail", "get_Settings failed"},
        {"browser.get_Settings", "null", "get_Settings failed"},
        {"settings.put_AreDevToolsEnabled", "sfalse", "put_AreDevToolsEnabled failed"},
        {"settings.put_IsStatusBarEnabled", "fail", "put_IsStatusBarEnabled failed"},
    };
    for (const auto& c : cases) {
        runtime.configure(c.step, c.outcome);
        const auto error = construction_error();
        EXPECT_EQ(error.code(), error_code::unspecified) << c.step;
        EXPECT_STREQ(error.what(), c.message);
        runtime.configure(c.step, "ok");
    }
    EXPECT_EQ(runtime.live_objects(), 0);
}

TEST_F(EdgeEngine, PageMessagesReachTheBindingsAndRepliesReachThePage) {
    standin_runtime runtime;
    win32_edge_engine engine(false, nullptr);
    ASSERT_FALSE(engine.bind("echo", [](std::string params) { return params; }).has_error());
    EXPECT_EQ(runtime.raise("web_message", R"({"id":"7","method":"echo","params":[1,"\u00e9"]})"), "");
    runtime.raise("web_message_json", R"({"id":"8","method":"echo","params":[]})");
    engine.deplete_run_loop_event_queue();
    engine.deplete_run_loop_event_queue();
    const auto replies = runtime.calls("browser.ExecuteScript(window.__webhost__.onReply(");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], "browser.ExecuteScript(window.__webhost__.onReply(\"7\", 0, \"[1,\\\"\\\\u00e9\\\"]\"))");
}

TEST_F(EdgeEngine, OnlyAClipboardReadWhoseKindWasReadIsGranted) {
    standin_runtime runtime;
    win32_edge_engine engine(false, nullptr);
    EXPECT_EQ(runtime.raise("permission", "6"), "state=1");
    EXPECT_EQ(runtime.raise("permission", "1"), "state=unset");
    EXPECT_EQ(runtime.raise("permission", "!6"), "state=unset");
}

TEST_F(EdgeEngine, CallbackHandlersServeTheLockDownThroughTheController) {
    standin_runtime runtime;
    win32_edge_engine engine(false, nullptr);
    ICoreWebView2Controller* controller = engine.get_controller().value();
    ComPtr<ICoreWebView2> browser;
    ASSERT_EQ(controller->get_CoreWebView2(&browser), S_OK);

    auto alive = std::make_shared<int>(0);
    EventRegistrationToken navigation{}, frame{}, window{};
    auto cancel_web = Callback<ICoreWebView2NavigationStartingEventHandler>(
        [alive](ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) -> HRESULT {
            co_task_string uri;
            args->get_Uri(uri.put());
            args->put_Cancel(std::wstring(uri.get()).rfind(L"about:", 0) == 0 ? FALSE : TRUE);
            return S_OK;
        });
    ASSERT_EQ(browser->add_NavigationStarting(cancel_web.Get(), &navigation), S_OK);
    ASSERT_EQ(browser->add_FrameNavigationStarting(cancel_web.Get(), &frame), S_OK);
    ASSERT_EQ(browser->add_NewWindowRequested(
                  Callback<ICoreWebView2NewWindowRequestedEventHandler>(
                      [](ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs* args) {
                          return args->put_Handled(TRUE);
                      })
                      .Get(),
                  &window),
              S_OK);
    EXPECT_EQ(runtime.raise("navigation", "https://example.com/"), "cancel=1");
    EXPECT_EQ(runtime.raise("navigation", "about:blank"), "cancel=0");
    EXPECT_EQ(runtime.raise("frame_navigation", "https://example.com/"), "cancel=1");
    EXPECT_EQ(runtime.raise("new_window", "https://example.com/"), "handled=1");

    // COM's rules: IUnknown and the handler's own interface give one pointer, others nothing.
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(cancel_web->QueryInterface(__uuidof(IUnknown), &unknown), S_OK);
    EXPECT_EQ(unknown.Get(), static_cast<IUnknown*>(cancel_web.Get()));
    void* other = &other;
    EXPECT_EQ(cancel_web->QueryInterface(__uuidof(ICoreWebView2NewWindowRequestedEventHandler), &other),
              E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    unknown.Reset();
    browser->remove_NavigationStarting(navigation);
    browser->remove_FrameNavigationStarting(frame);
    EXPECT_EQ(alive.use_count(), 2);
    cancel_web.Reset();
    EXPECT_EQ(alive.use_count(), 1);  // the last reference took the handler with it
}

TEST_F(EdgeEngine, OurHandlerAnswersIUnknownAndItsFourInterfaces) {
    auto handler = adopt(new webview2_com_handler(nullptr, nullptr, nullptr));
    const IID answered[] = {__uuidof(IUnknown), __uuidof(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler),
                            __uuidof(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler),
                            __uuidof(ICoreWebView2WebMessageReceivedEventHandler),
                            __uuidof(ICoreWebView2PermissionRequestedEventHandler)};
    for (const IID& iid : answered) {
        void* out = nullptr;
        EXPECT_EQ(handler->QueryInterface(iid, &out), S_OK);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(static_cast<IUnknown*>(out)->Release(), 1u);
    }
    void* out = &out;
    EXPECT_EQ(handler->QueryInterface(__uuidof(ICoreWebView2NavigationStartingEventHandler), &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(handler->QueryInterface(__uuidof(IUnknown), nullptr), E_POINTER);
}

TEST_F(EdgeEngine, UserScriptsAreRegisteredAgainInOrderOnEachBind) {
    standin_runtime runtime;
    win32_edge_engine engine(false, nullptr);
    std::ignore = engine.bind("b", [](std::string) { return std::string(); });
    std::ignore = engine.bind("a", [](std::string) { return std::string(); });
    const auto log = runtime.log();
    std::vector<std::string> scripts;
    for (const auto& line : log) {
        if (line.rfind("browser.AddScriptToExecuteOnDocumentCreated(", 0) == 0) {
            scripts.push_back(line.find("postMessage") != std::string::npos ? "bootstrap"
                              : line.find("[\"a\",\"b\"]") != std::string::npos ? "bind a,b"
                              : line.find("[\"b\"]") != std::string::npos       ? "bind b"
                                                                                : "other");
        } else if (line.rfind("browser.RemoveScriptToExecuteOnDocumentCreated(", 0) == 0) {
            scripts.push_back(line.substr(line.find('(')));
        }
    }
    EXPECT_EQ(scripts, (std::vector<std::string>{"bootstrap", "bind b", "(script-1)", "(script-2)", "bootstrap",
                                                 "bind a,b"}));
}

TEST_F(EdgeEngine, ScriptRegistrationOutcomes) {
    standin_runtime runtime;
    engine_wait_limits.user_script = std::chrono::milliseconds(200);
    win32_edge_engine engine(false, nullptr);
    const struct {
        const char* outcome;
        bool named;
    } cases[] = {{"sync", true}, {"ok", true}, {"complete:0x80004005", false}, {"fail", false}, {"never", false}};
    for (const auto& c : cases) {
        runtime.configure("browser.AddScriptToExecuteOnDocumentCreated", c.outcome);
        const user_script script = engine.add_user_script_impl("var x = 1;");
        EXPECT_EQ(script.code, "var x = 1;");
        EXPECT_EQ(script.registration->code, L"var x = 1;");
        EXPECT_EQ(!script.registration->id.empty(), c.named) << c.outcome;
    }
    runtime.configure("browser.AddScriptToExecuteOnDocumentCreated", "ok");
    EXPECT_EQ(engine.add_user_script_impl("\xff").registration->code, L"");
}

namespace {
standin_runtime* timer_runtime = nullptr;
int timer_ticks = 0;
void CALLBACK release_on_tick(HWND, UINT, UINT_PTR, DWORD) {
    if (++timer_ticks == 3) timer_runtime->raise("release_deferred");
}
void CALLBACK quit_on_tick(HWND, UINT, UINT_PTR, DWORD) {
    if (++timer_ticks == 1) {
        PostQuitMessage(5);
        timer_runtime->raise("release_deferred");
    }
}
}  // namespace

TEST_F(EdgeEngine, TheScriptWaitLetsTimersThroughAndKeepsAQuit) {
    standin_runtime runtime;
    timer_runtime = &runtime;
    win32_edge_engine engine(false, nullptr);
    runtime.configure("browser.AddScriptToExecuteOnDocumentCreated", "defer");

    // The answer comes only from a timer: a wait that starves timers would give up empty.
    timer_ticks = 0;
    UINT_PTR timer = SetTimer(nullptr, 0, 10, release_on_tick);
    EXPECT_EQ(engine.add_user_script_impl("a").registration->id.empty(), false);
    KillTimer(nullptr, timer);
    EXPECT_GE(timer_ticks, 3);

    timer_ticks = 0;
    timer = SetTimer(nullptr, 0, 10, quit_on_tick);
    EXPECT_FALSE(engine.add_user_script_impl("b").registration->id.empty());
    KillTimer(nullptr, timer);
    // The quit taken during the wait still ends the loop.
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 5u);
}

TEST_F(EdgeEngine, JobsFromAWorkerRunOnTheEngineThreadInOrder) {
    standin_runtime runtime;
    win32_edge_engine engine(false, nullptr);
    const DWORD ui_thread = GetCurrentThreadId();
    std::vector<int> order;
    bool all_on_ui = true;
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i) {
            std::ignore = engine.dispatch([&, i] {
                order.push_back(i);
                all_on_ui = all_on_ui && GetCurrentThreadId() == ui_thread;
                if (i == 199) std::ignore = engine.terminate();
            });
        }
    });
    std::ignore = engine.run();
    worker.join();
    ASSERT_EQ(order.size(), 200u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_TRUE(all_on_ui);
}

TEST_F(EdgeEngine, AJobThatCannotBePostedIsFreedAndReported) {
    standin_runtime runtime;
    win32_edge_engine engine(false, nullptr);
    DestroyWindow(FindWindowExW(HWND_MESSAGE, nullptr, L"webhost_message", nullptr));
    auto held = std::make_shared<int>(0);
    const auto posted = engine.post_job([held] {});
    EXPECT_TRUE(posted.has_error());
    EXPECT_EQ(held.use_count(), 1);
}

TEST_F(EdgeEngine, JobsDrainedAtTeardownFindNoBrowser) {
    standin_runtime runtime;
    std::optional<result<void>> evaluated;
    {
        win32_edge_engine engine(false, nullptr);
        std::ignore = engine.dispatch([&] { evaluated = engine.eval("late()"); });
        std::ignore = engine.resolve("9", 0, "");
    }
    ASSERT_TRUE(evaluated.has_value());
    EXPECT_EQ(evaluated->error().code, error_code::invalid_state);
    EXPECT_TRUE(runtime.calls("browser.ExecuteScript(late()").empty());
    EXPECT_TRUE(runtime.calls("browser.ExecuteScript(window.__webhost__.onReply(").empty());
}

TEST_F(EdgeEngine, AnIdentifierThatComesAfterTheWaitIsStillRemoved) {
    standin_runtime runtime;
    engine_wait_limits.user_script = std::chrono::milliseconds(200);
    win32_edge_engine engine(false, nullptr);  // the bootstrap is script-1
    const auto none = [](std::string) { return std::string(); };
    const auto removed = [&] { return runtime.calls("browser.RemoveScriptToExecuteOnDocumentCreated("); };

    // The bind script's answer (script-2) comes after the wait gave up; the record keeps it.
    runtime.configure("browser.AddScriptToExecuteOnDocumentCreated", "defer,ok");
    ASSERT_FALSE(engine.bind("a", none).has_error());
    runtime.raise("release_deferred");
    drain_thread_queue();
    ASSERT_FALSE(engine.bind("b", none).has_error());  // bootstrap script-3, bind script-4
    EXPECT_EQ(removed(), (std::vector<std::string>{"browser.RemoveScriptToExecuteOnDocumentCreated(script-1)",
                                                   "browser.RemoveScriptToExecuteOnDocumentCreated(script-2)"}));

    // The record is replaced before its answer (script-6) comes: the script goes when it does.
    runtime.configure("browser.AddScriptToExecuteOnDocumentCreated", "ok,defer,ok");
    ASSERT_FALSE(engine.bind("c", none).has_error());
    ASSERT_FALSE(engine.bind("d", none).has_error());
    runtime.raise("release_deferred");
    drain_thread_queue();
    EXPECT_TRUE(has(removed(), "browser.RemoveScriptToExecuteOnDocumentCreated(script-6)"));
}

namespace {
// Counts how many copies of it are destroyed.
struct counted {
    explicit counted(std::shared_ptr<std::atomic<int>> n) : destroyed(std::move(n)) {}
    counted(const counted& other) : destroyed(other.destroyed) {}
    ~counted() { ++*destroyed; }
    std::shared_ptr<std::atomic<int>> destroyed;
};

// Runs body on a thread of its own; false when it has not returned within a minute.
bool returns(std::function<void()> body) {
    const HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread other([body = std::move(body), finished] {
        body();
        SetEvent(finished);
    });
    if (WaitForSingleObject(finished, 60000) != WAIT_OBJECT_0) {
        other.detach();  // still stuck: it keeps the event
        return false;
    }
    other.join();
    CloseHandle(finished);
    return true;
}
}  // namespace

TEST_F(EdgeEngine, DestroyedOffItsThreadTheEngineReturnsAndFreesItsJobs) {
    standin_runtime runtime;
    auto engine = std::make_unique<win32_edge_engine>(false, nullptr);
    auto destroyed = std::make_shared<std::atomic<int>>(0);
    std::atomic<int> ran{0};
    {
        const counted token(destroyed);
        for (int i = 0; i < 3; ++i) ASSERT_FALSE(engine->dispatch([token, &ran] { ++ran; }).has_error());
    }
    const int before = destroyed->load();

    // The destroying thread keeps its own apartment: the engine's COM was not its to end.
    HRESULT still_single_threaded = S_OK;
    ASSERT_TRUE(returns([&] {
        const HRESULT own = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        engine.reset();
        still_single_threaded = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(still_single_threaded)) CoUninitialize();
        if (SUCCEEDED(own)) CoUninitialize();
    }));
    EXPECT_EQ(still_single_threaded, RPC_E_CHANGED_MODE);
    EXPECT_EQ(destroyed->load(), before + 3);
    // The windows go on their own thread; the jobs' messages run nothing there.
    drain_thread_queue();
    EXPECT_EQ(ran.load(), 0);
}

namespace {
// A drain that never ends would keep the test in its loop for good: this ends the run instead.
void CALLBACK drain_never_ended(HWND, UINT, UINT_PTR, DWORD) {
    std::fputs("The teardown's drain did not end within a minute.\n", stderr);
    std::fflush(stderr);
    std::_Exit(1);
}
}  // namespace

TEST_F(EdgeEngine, AJobThatDestroysTheMessageWindowEndsTheDrain) {
    standin_runtime runtime;
    // Far beyond the watchdog: only a drain that waits for the lost marker reaches either.
    engine_wait_limits.drain = std::chrono::minutes(5);
    auto destroyed = std::make_shared<std::atomic<int>>(0);
    std::atomic<int> ran{0};
    int before = 0;
    const UINT_PTR watchdog = SetTimer(nullptr, 0, 60000, drain_never_ended);
    {
        win32_edge_engine engine(false, nullptr);
        ASSERT_FALSE(engine.dispatch([] {
            DestroyWindow(FindWindowExW(HWND_MESSAGE, nullptr, L"webhost_message", nullptr));
        }).has_error());
        {
            const counted token(destroyed);
            for (int i = 0; i < 2; ++i) ASSERT_FALSE(engine.dispatch([token, &ran] { ++ran; }).has_error());
        }
        before = destroyed->load();
    }
    KillTimer(nullptr, watchdog);
    // Queued behind the job that took their window: freed, never run.
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(destroyed->load(), before + 2);
}

TEST_F(EdgeEngine, ClosingTheWindowEndsTheLoopAndTeardownPostsNoSecondQuit) {
    standin_runtime runtime;
    {
        win32_edge_engine engine(false, nullptr);
        PostMessageW(engine.window().value(), WM_CLOSE, 0, 0);
        std::ignore = engine.run();
        EXPECT_EQ(engine.window().error().code, error_code::invalid_state);
        EXPECT_EQ(engine.widget().error().code, error_code::invalid_state);
        EXPECT_EQ(open_window_count.load(), windows_before);
    }
    EXPECT_FALSE(drain_thread_queue());
}

TEST_F(EdgeEngine, SetSizeScalesFixesAndStoresLimits) {
    standin_runtime runtime;
    win32_edge_engine engine(false, nullptr);
    const HWND window = engine.window().value();
    ASSERT_FALSE(engine.set_size(880, 580, size_hint::fixed).has_error());
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
    EXPECT_EQ(client_size(window).cx, 880);
    EXPECT_EQ(client_size(window).cy, 580);
    const auto widget = client_size(engine.widget().value());
    EXPECT_EQ(widget.cx, 880);
    EXPECT_EQ(widget.cy, 580);
    EXPECT_TRUE(has(runtime.log(), "controller.put_Bounds(0,0,880,580)"));

    ASSERT_FALSE(engine.set_size(300, 200, size_hint::min).has_error());
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX), WS_THICKFRAME | WS_MAXIMIZEBOX);
    EXPECT_EQ(client_size(window).cx, 880);
    std::ignore = engine.set_size(1000, 800, size_hint::max);
    std::ignore = engine.set_size(700, 500, size_hint::none);
    EXPECT_EQ(client_size(window).cx, 700);
    MINMAXINFO info{};
    info.ptMinTrackSize = {1, 1};
    SendMessageW(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMaxTrackSize.x, 1000);
    EXPECT_EQ(info.ptMaxSize.y, 800);
    EXPECT_EQ(info.ptMinTrackSize.x, 300);

    // Negative sizes go to the system unchanged, which keeps the window at its own minimum.
    EXPECT_FALSE(engine.set_size(-40, -30, size_hint::none).has_error());
    EXPECT_LT(client_size(window).cx, 700);
}

TEST_F(EdgeEngine, DpiMessagesScaleTheClientAreaAndKeepThePosition) {
    standin_runtime runtime;
    win32_edge_engine engine(false, nullptr);
    const HWND window = engine.window().value();
    std::ignore = engine.set_size(880, 580, size_hint::fixed);
    SIZE proposed{};
    EXPECT_EQ(SendMessageW(window, WM_GETDPISCALEDSIZE, 120, reinterpret_cast<LPARAM>(&proposed)), TRUE);
    EXPECT_EQ(proposed.cx, 1100);
    EXPECT_EQ(proposed.cy, 725);

    // Wine keeps the window's real DPI at 96, so its frame stays the 96-DPI one: the window
    // gets the outer size that the scaled client area needs at the new DPI.
    RECT before{};
    GetWindowRect(window, &before);
    RECT suggested{0, 0, 10, 10};
    const SIZE client = client_size(window);
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    RECT after{};
    GetWindowRect(window, &after);
    const size_2d expected = window_size_for_client(window, client.cx * 144 / 96, client.cy * 144 / 96, 144);
    EXPECT_EQ(after.right - after.left, expected.width);
    EXPECT_EQ(after.bottom - after.top, expected.height);
    EXPECT_EQ(after.left, before.left);
    EXPECT_EQ(after.top, before.top);
    // The engine now lays out for 144: a scaled size for 144 is the client area itself.
    const SIZE at_144 = client_size(window);
    EXPECT_EQ(SendMessageW(window, WM_GETDPISCALEDSIZE, 144, reinterpret_cast<LPARAM>(&proposed)), TRUE);
    EXPECT_EQ(proposed.cx, at_144.cx);
    EXPECT_EQ(proposed.cy, at_144.cy);
}

TEST_F(EdgeEngine, ActivationMovesFocusIntoTheBrowser) {
    standin_runtime runtime;
    win32_edge_engine engine(false, nullptr);
    const HWND window = engine.window().value();
    const auto focus_moves = [&] { return runtime.calls("controller.MoveFocus(").size(); };
    const auto start = focus_moves();
    EXPECT_EQ(SendMessageW(window, WM_ACTIVATE, WA_INACTIVE, 0), 0);
    EXPECT_EQ(focus_moves(), start);
    SendMessageW(window, WM_ACTIVATE, WA_CLICKACTIVE, 0);
    EXPECT_EQ(focus_moves(), start + 1);
    EXPECT_EQ(SendMessageW(FindWindowExW(HWND_MESSAGE, nullptr, L"webhost_message", nullptr), WM_APP, 0, 0), 0);
}

TEST_F(EdgeEngine, AGivenParentWindowIsBorrowedNotOwned) {
    standin_runtime runtime;
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"test_parent";
    RegisterClassW(&wc);
    HWND parent = CreateWindowExW(0, L"test_parent", L"parent", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr,
                                  wc.hInstance, nullptr);
    ASSERT_NE(parent, nullptr);
    for (void* given : {static_cast<void*>(parent), static_cast<void*>(&parent)}) {
        {
            win32_edge_engine engine(false, given);
            EXPECT_EQ(engine.window().value(), parent);
            EXPECT_EQ(GetParent(engine.widget().value()), parent);
            EXPECT_EQ(engine_windows(), 0);
            EXPECT_EQ(open_window_count.load(), windows_before);
            EXPECT_TRUE(runtime.calls("controller.MoveFocus(").empty());
        }
        EXPECT_TRUE(IsWindow(parent));
    }
    DestroyWindow(parent);
}

TEST_F(EdgeEngine, AMultithreadedApartmentIsRefused) {
    standin_runtime runtime;
    std::optional<webhost::exception> error;
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        error = construction_error();
        CoUninitialize();
    }).join();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code(), error_code::invalid_state);
    EXPECT_STREQ(error->what(), "CoInitializeEx already called with a different concurrency model");
}

TEST_F(EdgeEngine, ARuntimeThatMayNotUnloadStaysLoaded) {
    standin_runtime runtime;
    runtime.configure("DllCanUnloadNow", "fail");
    { win32_edge_engine engine(false, nullptr); }
    runtime.let_go();
    const HMODULE kept = GetModuleHandleW(L"EmbeddedBrowserWebView.dll");
    EXPECT_NE(kept, nullptr);
    if (kept != nullptr) FreeLibrary(kept);
}
