#pragma once
// The WebView2 engine: a top-level window (made or given), a child window that hosts the
// browser, and a message-only window through which jobs from any thread reach the UI thread.

#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>

#include "com_handler.h"
#include "engine_base.h"
#include "webview2.h"
#include "win32_owners.h"
#include "window.h"

namespace webhost::detail {

// How long the engine's nested waits for the browser may last: a runtime that accepts a
// request and never answers must not hang the program.
struct wait_limits {
    std::chrono::milliseconds embed{std::chrono::seconds(60)};
    std::chrono::milliseconds user_script{std::chrono::seconds(10)};
    // The teardown's run of the jobs still queued.
    std::chrono::milliseconds drain{std::chrono::seconds(10)};
};
extern wait_limits engine_wait_limits;

// The user-data folder: the program's file name inside the roaming application data folder;
// nothing when the joined path does not fit MAX_PATH.
std::optional<std::wstring> user_data_folder_for(const std::wstring& app_data, const std::wstring& program_path);
// user_data_folder_for this program and this user's roaming folder.
result<std::wstring> default_user_data_folder();

class win32_edge_engine : public engine_base {
public:
    // window: null (the engine makes and owns its window), an HWND, or the address of an HWND.
    // user_data_folder: the browser's data folder; empty for the default of user_data_folder_for.
    // Throws webhost::exception when the runtime, a window or the browser is unavailable.
    win32_edge_engine(bool debug, void* window, std::wstring user_data_folder = {});
    ~win32_edge_engine() override;
    win32_edge_engine(const win32_edge_engine&) = delete;
    win32_edge_engine& operator=(const win32_edge_engine&) = delete;

    result<void> navigate(const std::string& url) override;
    result<HWND> window() override;
    result<HWND> widget() override;
    result<ICoreWebView2Controller*> get_controller() override;
    result<void> run() override;
    result<void> terminate() override;
    result<void> post_job(std::function<void()> job) override;
    result<void> set_title(const std::string& title) override;
    result<void> set_size(int width, int height, size_hint hint) override;
    result<void> set_html(const std::string& html) override;
    result<void> eval(const std::string& js) override;
    user_script add_user_script_impl(const std::string& code) override;
    void clear_user_scripts(const std::list<user_script>& scripts) override;
    bool same_user_script(const user_script& first, const user_script& second) override;

    // Runs the thread's messages until everything queued before this call has run (within
    // the drain limit). A quit taken here is posted again, so the loop outside still ends.
    void deplete_run_loop_event_queue();

    // Keeps the title bar dark (or light) whatever the app theme, also across theme changes.
    void force_title_bar_theme(bool dark);

    static LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept;
    static LRESULT CALLBACK widget_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept;
    static LRESULT CALLBACK message_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept;
    static LRESULT CALLBACK default_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept;

private:
    void construct(bool debug, void* window);
    result<void> embed(HWND widget, bool debug, std::function<void(std::string)> on_page_message);
    HRESULT environment_attempt(const std::wstring& user_data_folder);
    void drain_queue(bool keep_quit);
    // Jobs whose message can no longer be delivered are freed, never run.
    void free_pending_jobs() noexcept;
    void teardown() noexcept;

    com_apartment com;
    HWND main_window = nullptr;
    HWND widget_window = nullptr;
    std::atomic<HWND> message_window{nullptr};
    size_2d min_size;
    size_2d max_size;
    Microsoft::WRL::ComPtr<ICoreWebView2> browser;
    Microsoft::WRL::ComPtr<ICoreWebView2Controller> controller;
    Microsoft::WRL::ComPtr<webview2_com_handler> com_handler;
    unique_module loader_module;
    // The runtime's client library: kept while anything it handed out may still be in use.
    unique_module runtime_module;
    int dpi = 0;
    bool owns_window = false;
    std::optional<bool> forced_dark;
    // Posted and not yet run: freed at teardown when their message never arrives.
    std::mutex pending_jobs_lock;
    std::unordered_set<std::function<void()>*> pending_jobs;
    // Reached by a script registration's late answer while the browser is still held.
    std::shared_ptr<int> scripts_alive = std::make_shared<int>(0);
    std::wstring chosen_user_data_folder;
};

}  // namespace webhost::detail
