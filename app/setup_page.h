#pragma once
// What the page may ask of Setup: the five page functions, and the worker thread that runs an
// install or uninstall off the window's thread and reports into the page.
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "engine_base.h"
#include "product.h"

// Everything the page functions and the worker reach beyond the engine. The defaults are the
// real shell, window and Setup operations; tests put recorders in their place.
struct page_platform {
    // Opens `target` in the shell; `folder` is the working folder, empty for none.
    std::function<void(const std::wstring& target, const std::wstring& folder)> open;
    std::function<void(HWND)> drag;
    std::function<void(HWND)> minimize;
    // Run on the worker thread.
    std::function<op_result(const progress_fn&)> install;
    std::function<op_result(const progress_fn&)> uninstall;
    // Starts the worker thread; throws std::system_error when none can be made.
    std::function<std::thread(std::function<void()>)> start_thread = [](std::function<void()> body) {
        return std::thread(std::move(body));
    };
};
page_platform windows_platform();

// The action of a setupOpen or setupWindow request: its only element when the request is a
// JSON array holding exactly one string, otherwise "".
std::string page_action(const std::string& request);
// setupInstall's options: a copy of element 0 when it is an object, otherwise an empty object.
json install_options(const std::string& request);
// The fixed web address for a setupOpen key, or null. Nothing the page sends becomes an
// address or a path of its own.
const wchar_t* web_destination(const std::string& key);
// The script that hands one progress step to the page; throws when the label is not UTF-8.
std::string progress_script(int pct, const std::string& label);
// Compact, UTF-8, strict: the form of every document sent to the page.
std::string page_json(const json& document);

extern const std::string busy_reply;
// The reply when a job could not run or report to its end.
extern const std::string job_failure_reply;

struct setup_page_state;

// Owned by the interactive run, built after the engine (so destroyed before it). Its page
// functions refer to the engine; the worker never outlives this object.
class setup_page {
public:
    explicit setup_page(webhost::detail::engine_base& engine, page_platform platform = windows_platform());
    ~setup_page();
    setup_page(const setup_page&) = delete;
    setup_page& operator=(const setup_page&) = delete;

    // Binds setupInfo, setupOpen, setupWindow, setupInstall and setupUninstall, in this order.
    // The engine's top-level window is taken now.
    void bind_functions();

    // Once the message loop has ended: the page receives nothing more (progress and replies
    // still queued become no-ops, busy is still cleared), and a running job is waited for.
    void end_page();

    bool busy() const;

private:
    std::string handle_setup_info(const std::string& request);
    std::string handle_setup_open(const std::string& request);
    std::string handle_setup_window(const std::string& request);
    void handle_setup_install(const std::string& id, const std::string& request);
    void handle_setup_uninstall(const std::string& id, const std::string& request);
    void start_worker(const std::string& id, bool uninstall, json options);

    // Shared with the page functions' bindings, the worker and what it posts, so that each can
    // see whether the page is gone however long the engine keeps them.
    std::shared_ptr<setup_page_state> state_;
    page_platform platform_;
    HWND window_ = nullptr;
    std::thread worker_;
};
