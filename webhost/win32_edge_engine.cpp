#include "win32_edge_engine.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <memory>
#include <tuple>
#include <utility>

#include "bootstrap.h"
#include "callback.h"
#include "exception.h"
#include "runtime.h"
#include "text.h"

using Microsoft::WRL::ComPtr;

namespace webhost::detail {

wait_limits engine_wait_limits;

namespace {

constexpr wchar_t main_class[] = L"webhost";
constexpr wchar_t widget_class[] = L"webhost_widget";
constexpr wchar_t message_class[] = L"webhost_message";

failure_info no_object() { return {error_code::invalid_state, {}}; }

// Pumps the thread's messages until done() holds, the limit passes or GetMessageW fails. A
// quit is the end of the wait (cancel), kept and posted again once the wait is over (keep),
// or dropped (drop).
enum class wait_end { done, quit, timed_out, failed };
enum class on_quit { cancel, keep, drop };

template <typename Done>
wait_end pump_until(Done done, std::chrono::milliseconds limit, on_quit quit_rule) {
    if (done()) return wait_end::done;
    const UINT_PTR timer = SetTimer(nullptr, 0, static_cast<UINT>(limit.count()), nullptr);
    std::optional<WPARAM> quit;
    wait_end end = wait_end::done;
    while (!done()) {
        MSG msg;
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got < 0) {
            end = wait_end::failed;
            break;
        }
        if (got == 0) {
            if (quit_rule == on_quit::cancel) {
                end = wait_end::quit;
                break;
            }
            if (quit_rule == on_quit::keep) quit = msg.wParam;
            continue;
        }
        if (msg.message == WM_TIMER && msg.hwnd == nullptr && timer != 0 && msg.wParam == timer) {
            end = wait_end::timed_out;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (timer != 0) KillTimer(nullptr, timer);
    if (quit) PostQuitMessage(static_cast<int>(*quit));
    return end;
}

template <typename Function>
Function user32_function(const char* name) {
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name)));
}

void choose_dpi_awareness() {
    using set_context_fn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
    if (const auto set_context = user32_function<set_context_fn>("SetProcessDpiAwarenessContext")) {
        DPI_AWARENESS_CONTEXT context = DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2;
        using get_version_fn = LONG(WINAPI*)(OSVERSIONINFOW*);
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        const auto get_version =
            ntdll == nullptr ? nullptr
                             : reinterpret_cast<get_version_fn>(
                                   reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
        if (get_version != nullptr) {
            OSVERSIONINFOW info{};
            info.dwOSVersionInfoSize = sizeof info;
            if (get_version(&info) == 0) {
                const bool below = info.dwMajorVersion != 10   ? info.dwMajorVersion < 10
                                   : info.dwMinorVersion != 0 ? false
                                                              : info.dwBuildNumber < 15063;
                if (below) context = DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE;
            }
        }
        if (!set_context(context)) GetLastError();
        return;
    }
    const unique_module shcore = load_system_library(L"shcore.dll");
    using set_awareness_fn = HRESULT(WINAPI*)(int);
    if (const auto set_awareness = shcore.function<set_awareness_fn>("SetProcessDpiAwareness")) {
        set_awareness(2);
        return;
    }
    using set_aware_fn = BOOL(WINAPI*)();
    if (const auto set_aware = user32_function<set_aware_fn>("SetProcessDPIAware")) set_aware();
}

// The program's own path, however long.
std::optional<std::wstring> program_path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return std::nullopt;
        // A full buffer means truncation (and no terminating NUL under Wine).
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768) return std::nullopt;
        path.resize(path.size() * 2);
    }
}

void register_class(const wchar_t* name, WNDPROC procedure, HINSTANCE instance, HICON icon) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hIcon = icon;
    wc.lpszClassName = name;
    // A second engine finds the class registered.
    RegisterClassExW(&wc);
}

// At WM_NCCREATE: the engine given to CreateWindowExW becomes the window's.
win32_edge_engine* attach_engine(HWND window, LPARAM lparam) {
    auto* engine = static_cast<win32_edge_engine*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(engine));
    return engine;
}

win32_edge_engine* engine_of(HWND window) {
    return reinterpret_cast<win32_edge_engine*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

bool owned_by_this_thread(HWND window) {
    return GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

// Only the thread that made a window can destroy it: a teardown on another thread leaves the
// close to that thread's next message loop (the window's procedure is the default one by now).
void destroy_window(HWND window) {
    if (owned_by_this_thread(window)) DestroyWindow(window);
    else PostMessageW(window, WM_CLOSE, 0, 0);
}

}  // namespace

std::optional<std::wstring> user_data_folder_for(const std::wstring& app_data, const std::wstring& program_path) {
    if (app_data.empty() || app_data.size() >= MAX_PATH) return std::nullopt;
    const wchar_t* file_name = PathFindFileNameW(program_path.c_str());
    if (file_name == nullptr || *file_name == L'\0' || std::wcslen(file_name) >= MAX_PATH) return std::nullopt;
    wchar_t joined[MAX_PATH] = {};
    if (PathCombineW(joined, app_data.c_str(), file_name) == nullptr || joined[0] == L'\0') return std::nullopt;
    return std::wstring(joined);
}

result<std::wstring> default_user_data_folder() {
    const auto path = program_path();
    if (!path) return failure_info{error_code::unspecified, "GetModuleFileNameW failed"};
    wchar_t app_data[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, app_data))) {
        return failure_info{error_code::unspecified, "SHGetFolderPathW failed"};
    }
    const auto folder = user_data_folder_for(app_data, *path);
    if (!folder) return failure_info{error_code::unspecified, "PathCombineW failed"};
    return *folder;
}

win32_edge_engine::win32_edge_engine(bool debug, void* window, std::wstring user_data_folder)
    : chosen_user_data_folder(std::move(user_data_folder)) {
    try {
        construct(debug, window);
    } catch (...) {
        // No window made so far may reach this engine once the exception has left.
        teardown();
        throw;
    }
}

void win32_edge_engine::construct(bool debug, void* window) {
    // From System32 only: a copy planted beside a downloaded program must not be loaded.
    loader_module = load_system_library(L"WebView2Loader.dll");
    owns_window = window == nullptr;
    if (!runtime_available(loader_module.get())) {
        throw exception(error_code::missing_dependency, "WebView2 is unavailable");
    }
    const HINSTANCE instance = GetModuleHandleW(nullptr);

    if (owns_window) {
        const HRESULT hr = com.initialize(COINIT_APARTMENTTHREADED);
        if (hr == RPC_E_CHANGED_MODE) {
            throw exception(error_code::invalid_state,
                            "CoInitializeEx already called with a different concurrency model");
        }
        if (hr != S_OK && hr != S_FALSE) throw exception(error_code::unspecified, "Unexpected result from CoInitializeEx");
        choose_dpi_awareness();
        const HICON icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(32512), IMAGE_ICON,
                                                         GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                                                         LR_DEFAULTCOLOR));
        register_class(main_class, main_window_proc, instance, icon);
        CreateWindowExW(0, main_class, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr, nullptr,
                        instance, this);
        if (main_window == nullptr) throw exception(error_code::invalid_state, "Window is null");
        note_window_created();
        dpi = dpi_of_window(main_window);
        // A size this small is never refused.
        std::ignore = set_size(640, 480, size_hint::none);
    } else {
        const HWND given = static_cast<HWND>(window);
        main_window = IsWindow(given) ? given : *static_cast<HWND*>(window);
        dpi = dpi_of_window(main_window);
    }

    register_class(widget_class, widget_window_proc, instance, nullptr);
    CreateWindowExW(WS_EX_CONTROLPARENT, widget_class, nullptr, WS_CHILD, 0, 0, 0, 0, main_window, nullptr, instance,
                    this);
    if (widget_window == nullptr) throw exception(error_code::invalid_state, "Widget window is null");

    register_class(message_class, message_window_proc, instance, nullptr);
    CreateWindowExW(0, message_class, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
    if (message_window.load() == nullptr) throw exception(error_code::invalid_state, "Message window is null");

    if (owns_window) {
        ShowWindow(main_window, SW_SHOW);
        UpdateWindow(main_window);
        SetFocus(main_window);
    }

    auto on_page_message = [this](std::string message) { on_message(message); };
    const result<void> embedded = embed(widget_window, debug, std::move(on_page_message));
    if (embedded.has_error()) throw exception(embedded.error());
}

win32_edge_engine::~win32_edge_engine() { teardown(); }

void win32_edge_engine::teardown() noexcept {
    // Handlers first: nothing the runtime still calls may reach this engine.
    scripts_alive.reset();
    if (com_handler) com_handler->detach(browser.Get());
    if (controller) controller->Close();
    com_handler.Reset();
    browser.Reset();
    controller.Reset();

    if (widget_window != nullptr) SetWindowLongPtrW(widget_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(default_window_proc));
    if (main_window != nullptr && owns_window) {
        SetWindowLongPtrW(main_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(default_window_proc));
    }
    if (widget_window != nullptr) {
        destroy_window(widget_window);
        widget_window = nullptr;
    }
    if (main_window != nullptr) {
        if (owns_window) {
            destroy_window(main_window);
            note_window_destroyed(true);
        }
        main_window = nullptr;
    }
    // Jobs posted so far run now (without a browser) rather than leak with the window; only
    // on the engine's own thread, the one whose queue holds them.
    if (const HWND messages = message_window.load(); messages != nullptr && owned_by_this_thread(messages)) {
        drain_queue(false);
    }
    if (const HWND messages = message_window.exchange(nullptr)) {
        SetWindowLongPtrW(messages, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(default_window_proc));
        destroy_window(messages);
    }
    free_pending_jobs();
    loader_module.reset();
    if (runtime_module) {
        // Everything it handed out is released; it says whether it may go.
        const auto can_unload = runtime_module.function<DllCanUnloadNow_fn>("DllCanUnloadNow");
        if (can_unload == nullptr || can_unload() == S_OK) {
            runtime_module.reset();
        } else {
            runtime_module.release();
        }
    }
    com.reset();
}

result<void> win32_edge_engine::embed(HWND widget, bool debug, std::function<void(std::string)> on_page_message) {
    std::wstring user_data = chosen_user_data_folder;
    if (user_data.empty()) {
        auto folder = default_user_data_folder();
        if (!folder) return folder.error();
        user_data = folder.value();
    }

    bool waiting = true;
    auto on_completion = [this, &waiting](ICoreWebView2Controller* made, ICoreWebView2* made_browser) {
        if (made != nullptr && made_browser != nullptr) {
            controller = made;
            browser = made_browser;
        }
        waiting = false;
    };
    com_handler = adopt(new webview2_com_handler(widget, std::move(on_page_message), std::move(on_completion)));
    com_handler->set_attempt([this, folder = user_data]() { return environment_attempt(folder); });
    com_handler->run_attempts();

    const wait_end end = pump_until([&waiting] { return !waiting; }, engine_wait_limits.embed, on_quit::cancel);
    // The wait is over: a completion that comes later must not reach it.
    com_handler->end_creation();
    if (end == wait_end::quit) return failure_info{error_code::canceled, {}};
    if (end == wait_end::timed_out) return failure_info{error_code::invalid_state, "WebView2 did not answer"};
    if (!browser || !controller) return no_object();

    ComPtr<ICoreWebView2Settings> settings;
    if (browser->get_Settings(&settings) != S_OK || !settings) {
        return failure_info{error_code::unspecified, "get_Settings failed"};
    }
    if (settings->put_AreDevToolsEnabled(debug ? TRUE : FALSE) != S_OK) {
        return failure_info{error_code::unspecified, "put_AreDevToolsEnabled failed"};
    }
    if (settings->put_IsStatusBarEnabled(FALSE) != S_OK) {
        return failure_info{error_code::unspecified, "put_IsStatusBarEnabled failed"};
    }

    add_user_script(build_bootstrap_script(edge_post_function));

    if (widget_window != nullptr && controller) {
        RECT bounds;
        if (GetClientRect(widget_window, &bounds)) controller->put_Bounds(bounds);
    }
    controller->put_IsVisible(TRUE);
    ShowWindow(widget, SW_SHOW);
    UpdateWindow(widget);
    if (owns_window) controller->MoveFocus(COREWEBVIEW2_MOVE_FOCUS_REASON_PROGRAMMATIC);
    return {};
}

HRESULT win32_edge_engine::environment_attempt(const std::wstring& user_data_folder) {
    if (const auto create =
            loader_module.function<CreateCoreWebView2EnvironmentWithOptions_fn>("CreateCoreWebView2EnvironmentWithOptions")) {
        return create(nullptr, user_data_folder.c_str(), nullptr, com_handler.Get());
    }
    const runtime_client client = locate_installed_runtime();
    if (!client.found) return -1;
    if (!runtime_module) {
        // By its full path; its own dependencies from its folder or System32 only.
        runtime_module.reset(LoadLibraryExW(client.dll_path.c_str(), nullptr,
                                            LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
        if (!runtime_module) return -1;
    }
    if (const auto create = runtime_module.function<CreateWebViewEnvironmentWithOptionsInternal_fn>(
            "CreateWebViewEnvironmentWithOptionsInternal")) {
        // The module stays loaded: the completion that this call promises runs in it.
        return create(true, client.runtime_type, user_data_folder.c_str(), nullptr, com_handler.Get());
    }
    const auto can_unload = runtime_module.function<DllCanUnloadNow_fn>("DllCanUnloadNow");
    if (can_unload == nullptr || can_unload() == S_OK) runtime_module.reset();
    else runtime_module.release();
    return -1;
}

result<void> win32_edge_engine::navigate(const std::string& url) {
    if (!browser) return no_object();
    browser->Navigate(widen_strict(url).c_str());
    return {};
}

result<HWND> win32_edge_engine::window() {
    if (main_window == nullptr) return no_object();
    return main_window;
}

result<HWND> win32_edge_engine::widget() {
    if (widget_window == nullptr) return no_object();
    return widget_window;
}

result<ICoreWebView2Controller*> win32_edge_engine::get_controller() {
    if (!controller) return no_object();
    return controller.Get();
}

result<void> win32_edge_engine::run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return {};
}

result<void> win32_edge_engine::terminate() {
    PostQuitMessage(0);
    return {};
}

result<void> win32_edge_engine::post_job(std::function<void()> job) {
    const HWND target = message_window.load();
    if (target == nullptr) return no_object();
    auto posted = std::make_unique<std::function<void()>>(std::move(job));
    {
        const std::lock_guard<std::mutex> lock(pending_jobs_lock);
        pending_jobs.insert(posted.get());
    }
    // wParam names the engine, so that a foreign WM_APP is never taken for a job.
    if (!PostMessageW(target, WM_APP, reinterpret_cast<WPARAM>(this), reinterpret_cast<LPARAM>(posted.get()))) {
        const std::lock_guard<std::mutex> lock(pending_jobs_lock);
        pending_jobs.erase(posted.get());
        return failure_info{error_code::unspecified, "PostMessageW failed"};
    }
    posted.release();  // pending_jobs owns it now, until the message window runs it
    return {};
}

result<void> win32_edge_engine::set_title(const std::string& title) {
    if (main_window == nullptr) return no_object();
    SetWindowTextW(main_window, widen_strict(title).c_str());
    return {};
}

result<void> win32_edge_engine::set_size(int width, int height, size_hint hint) {
    if (main_window == nullptr) return no_object();
    const bool limit = hint == size_hint::max || hint == size_hint::min;
    // Refused before anything changes: a size whose scaling does not fit an int.
    const int window_dpi = limit ? 0 : dpi_of_window(main_window);
    const auto client = limit ? std::optional<size_2d>() : scale_size(width, height, window_dpi, 96);
    if (!limit && !client) return failure_info{error_code::invalid_argument, "Size out of range"};

    const LONG style = GetWindowLongW(main_window, GWL_STYLE);
    constexpr LONG sizing = WS_THICKFRAME | WS_MAXIMIZEBOX;
    SetWindowLongW(main_window, GWL_STYLE, hint == size_hint::fixed ? (style & ~sizing) : (style | sizing));
    if (hint == size_hint::max) {
        max_size = {width, height};
        return {};
    }
    if (hint == size_hint::min) {
        min_size = {width, height};
        return {};
    }
    dpi = window_dpi;
    const size_2d outer = window_size_for_client(main_window, client->width, client->height, dpi);
    SetWindowPos(main_window, nullptr, 0, 0, outer.width, outer.height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    return {};
}

void win32_edge_engine::force_title_bar_theme(bool dark) {
    forced_dark = dark;
    if (main_window != nullptr) set_title_bar_dark(main_window, dark);
}

result<void> win32_edge_engine::set_html(const std::string& html) {
    if (!browser) return no_object();
    browser->NavigateToString(widen_strict(html).c_str());
    return {};
}

result<void> win32_edge_engine::eval(const std::string& js) {
    if (!browser) return no_object();
    browser->ExecuteScript(widen_strict(js).c_str(), nullptr);
    return {};
}

user_script win32_edge_engine::add_user_script_impl(const std::string& code) {
    auto registration = std::make_unique<script_registration>();
    registration->code = widen_strict(code);
    if (!browser) return user_script(code, std::move(registration));

    // Shared with the handler: a completion after the wait gave up finds it still there.
    struct outcome {
        bool done = false;
        std::wstring id;
        // Set once the wait has given up: the record whose `id` a late answer fills.
        std::weak_ptr<script_registration*> record;
    };
    auto state = std::make_shared<outcome>();
    auto handler = Callback<ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler>(
        [this, state, alive = std::weak_ptr<int>(scripts_alive)](HRESULT hr, LPCWSTR id) -> HRESULT {
            const bool named = SUCCEEDED(hr) && id != nullptr;
            if (!state->done) {
                if (named) state->id = id;
                state->done = true;
                return S_OK;
            }
            // Late: the record keeps the identifier, so that the script can still be removed;
            // when the record is gone already, the script is removed now.
            if (!named) return S_OK;
            if (const auto record = state->record.lock()) {
                (*record)->id = id;
                (*record)->late_answer.reset();
            } else if (!alive.expired() && browser) {
                browser->RemoveScriptToExecuteOnDocumentCreated(id);
            }
            return S_OK;
        });
    if (handler && SUCCEEDED(browser->AddScriptToExecuteOnDocumentCreated(registration->code.c_str(), handler.Get()))) {
        pump_until([&state] { return state->done; }, engine_wait_limits.user_script, on_quit::keep);
        if (!state->done) {
            auto record = std::make_shared<script_registration*>(registration.get());
            state->record = record;
            registration->late_answer = std::move(record);
        }
    }
    state->done = true;
    registration->id = state->id;
    return user_script(code, std::move(registration));
}

void win32_edge_engine::clear_user_scripts(const std::list<user_script>& scripts) {
    if (!browser) return;
    for (const auto& script : scripts) {
        if (!script.registration) continue;
        browser->RemoveScriptToExecuteOnDocumentCreated(script.registration->id.c_str());
        // Removed: an identifier that comes only now is removed as soon as it comes.
        script.registration->late_answer.reset();
    }
}

bool win32_edge_engine::same_user_script(const user_script& first, const user_script& second) {
    if (!first.registration || !second.registration) return first.registration == second.registration;
    return first.registration->id == second.registration->id;
}

void win32_edge_engine::deplete_run_loop_event_queue() { drain_queue(true); }

void win32_edge_engine::drain_queue(bool keep_quit) {
    auto done = std::make_shared<bool>(false);
    if (post_job([done] { *done = true; }).has_error()) return;
    // A job that destroys the message window takes the marker with it: the wait ends then.
    pump_until([this, &done] { return *done || message_window.load() == nullptr; }, engine_wait_limits.drain,
               keep_quit ? on_quit::keep : on_quit::drop);
}

void win32_edge_engine::free_pending_jobs() noexcept {
    std::unordered_set<std::function<void()>*> left;
    {
        const std::lock_guard<std::mutex> lock(pending_jobs_lock);
        left.swap(pending_jobs);
    }
    for (std::function<void()>* job : left) delete job;
}

LRESULT CALLBACK win32_edge_engine::main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
    if (message == WM_NCCREATE) {
        attach_engine(window, lparam)->main_window = window;
        using get_context_fn = DPI_AWARENESS_CONTEXT(WINAPI*)(HWND);
        using equal_fn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT, DPI_AWARENESS_CONTEXT);
        using enable_fn = BOOL(WINAPI*)(HWND);
        const auto get_context = user32_function<get_context_fn>("GetWindowDpiAwarenessContext");
        const auto equal = user32_function<equal_fn>("AreDpiAwarenessContextsEqual");
        const auto enable = user32_function<enable_fn>("EnableNonClientDpiScaling");
        if (get_context != nullptr && equal != nullptr && enable != nullptr) {
            const DPI_AWARENESS_CONTEXT context = get_context(window);
            if (context != nullptr && equal(context, DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE)) enable(window);
        }
        apply_title_bar_theme(window);
        return DefWindowProcW(window, message, wparam, lparam);
    }
    win32_edge_engine* engine = engine_of(window);
    if (engine == nullptr) return DefWindowProcW(window, message, wparam, lparam);

    switch (message) {
    case WM_DESTROY:
        engine->main_window = nullptr;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        engine->note_window_destroyed(false);
        return 0;
    case WM_SIZE:
        if (engine->widget_window != nullptr) {
            RECT client;
            if (GetClientRect(GetParent(engine->widget_window), &client)) {
                MoveWindow(engine->widget_window, client.left, client.top, client.right - client.left,
                           client.bottom - client.top, TRUE);
            }
        }
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wparam) != WA_INACTIVE && engine->controller) {
            engine->controller->MoveFocus(COREWEBVIEW2_MOVE_FOCUS_REASON_PROGRAMMATIC);
        }
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_SETTINGCHANGE:
        if (lparam != 0 && lstrcmpW(reinterpret_cast<LPCWSTR>(lparam), L"ImmersiveColorSet") == 0) {
            // A theme its owner chose stays; only the system's is followed.
            if (engine->forced_dark) set_title_bar_dark(engine->main_window, *engine->forced_dark);
            else apply_title_bar_theme(engine->main_window);
        }
        return 0;
    case WM_GETMINMAXINFO:
        apply_size_limits(*reinterpret_cast<MINMAXINFO*>(lparam), engine->min_size, engine->max_size);
        return 0;
    case WM_DPICHANGED: {
        const int new_dpi = HIWORD(wparam);
        RECT client;
        if (!GetClientRect(window, &client)) return 0;
        const auto scaled = scale_size(client.right - client.left, client.bottom - client.top, new_dpi, engine->dpi);
        if (!scaled) return 0;
        const size_2d outer = window_size_for_client(window, scaled->width, scaled->height, new_dpi);
        SetWindowPos(window, nullptr, 0, 0, outer.width, outer.height,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
        engine->dpi = new_dpi;
        return 0;
    }
    case WM_GETDPISCALEDSIZE: {
        RECT client;
        if (!GetClientRect(window, &client)) return FALSE;
        const auto scaled = scale_size(client.right - client.left, client.bottom - client.top,
                                       static_cast<int>(wparam), engine->dpi);
        if (!scaled) return FALSE;
        auto* size = reinterpret_cast<SIZE*>(lparam);
        size->cx = scaled->width;
        size->cy = scaled->height;
        return TRUE;
    }
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

LRESULT CALLBACK win32_edge_engine::widget_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
    if (message == WM_NCCREATE) {
        attach_engine(window, lparam)->widget_window = window;
        return DefWindowProcW(window, message, wparam, lparam);
    }
    win32_edge_engine* engine = engine_of(window);
    if (engine == nullptr) return DefWindowProcW(window, message, wparam, lparam);
    switch (message) {
    case WM_DESTROY:
        engine->widget_window = nullptr;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return 0;
    case WM_SIZE:
        if (engine->widget_window != nullptr && engine->controller) {
            RECT client;
            if (GetClientRect(engine->widget_window, &client)) engine->controller->put_Bounds(client);
        }
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

LRESULT CALLBACK win32_edge_engine::message_window_proc(HWND window, UINT message, WPARAM wparam,
                                                        LPARAM lparam) noexcept {
    if (message == WM_NCCREATE) {
        attach_engine(window, lparam)->message_window.store(window);
        return DefWindowProcW(window, message, wparam, lparam);
    }
    win32_edge_engine* engine = engine_of(window);
    if (engine == nullptr) return DefWindowProcW(window, message, wparam, lparam);
    switch (message) {
    case WM_DESTROY:
        engine->message_window.store(nullptr);
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return 0;
    case WM_APP:
        if (lparam != 0 && wparam == reinterpret_cast<WPARAM>(engine)) {
            auto* const posted = reinterpret_cast<std::function<void()>*>(lparam);
            {
                // Not among the engine's pending jobs: not one of its own, or already freed.
                const std::lock_guard<std::mutex> lock(engine->pending_jobs_lock);
                if (engine->pending_jobs.erase(posted) == 0) return 0;
            }
            std::unique_ptr<std::function<void()>> job(posted);
            // An exception must not unwind through the system's message dispatch.
            try {
                if (*job) (*job)();
            } catch (...) {
            }
        }
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

LRESULT CALLBACK win32_edge_engine::default_window_proc(HWND window, UINT message, WPARAM wparam,
                                                        LPARAM lparam) noexcept {
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace webhost::detail
