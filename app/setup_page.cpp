#include "setup_page.h"

#include <objbase.h>
#include <shellapi.h>

#include <array>
#include <string_view>
#include <tuple>
#include <utility>

#include "folders.h"
#include "install.h"
#include "setup_documents.h"
#include "text.h"
#include "uninstall.h"

using webhost::detail::engine_base;

const std::string busy_reply = R"({"error":"Already working.","ok":false})";
const std::string job_failure_reply =
    R"({"error":"Setup stopped before finishing. Some steps may have completed; retry to finish.","notes":[],"ok":false})";

// Shared by the page, its bindings, the worker and the jobs the worker posts. `page` and the
// engine are touched on the main thread only; the worker only dispatches through the engine.
struct setup_page_state {
    explicit setup_page_state(engine_base& e) : engine(e) {}
    engine_base& engine;
    std::atomic<bool> busy{false};
    setup_page* page = nullptr;  // null once the page is gone
};

namespace {

const char* const stopped_text = "Setup stopped before finishing. Some steps may have completed; retry to finish.";

using operation_fn = std::function<op_result(const progress_fn&)>;

struct setup_job {
    std::shared_ptr<setup_page_state> state;
    std::string id;
    bool uninstall = false;
    json options;  // carried, never read: the operations take no options
    operation_fn operation;
};

void shell_open(const std::wstring& target, const std::wstring& folder) {
    ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, folder.empty() ? nullptr : folder.c_str(),
                  SW_SHOWNORMAL);
}

void drag_window(HWND window) {
    ReleaseCapture();
    SendMessageW(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
}

void minimize_window(HWND window) {
    ShowWindow(window, SW_MINIMIZE);
}

// Main thread, posted by report_progress.
void eval_progress_script(const setup_page_state& state, const std::string& script) {
    // After the loop the browser may already be released.
    if (state.page == nullptr) return;
    // A step the page cannot show is skipped.
    std::ignore = state.engine.eval(script);
}

// Main thread, posted by run_setup_job.
void finish_job(setup_page_state& state, const std::string& id, const std::string& reply) {
    state.busy.exchange(false);
    if (state.page == nullptr) return;
    // busy is clear already: the page can ask again, whatever became of this reply.
    std::ignore = state.engine.resolve(id, 0, reply);
}

// Worker thread. A step that cannot be shown is skipped: the operation must not fail because
// of its progress display.
void report_progress(const std::shared_ptr<setup_page_state>& state, int pct, const std::string& label) noexcept {
    try {
        std::string script = progress_script(pct, label);
        std::ignore = state->engine.dispatch(
            [state, script = std::move(script)] { eval_progress_script(*state, script); });
    } catch (...) {
    }
}

// The worker thread's body. Nothing may escape a thread's body, and the completion is always
// posted, so that busy is cleared and the page's call settled whatever happened.
void run_setup_job(setup_job job) noexcept {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::string reply;
    try {
        const std::shared_ptr<setup_page_state>& state = job.state;
        const progress_fn progress = [&state](int pct, const std::string& label) {
            report_progress(state, pct, label);
        };
        op_result result;
        result.record = json::object();
        try {
            result = job.operation(progress);
        } catch (...) {
            result = op_result{};
            result.record = json::object();
            result.error = stopped_text;
        }
        reply = page_json(result_to_json(result));
    } catch (...) {
        reply.clear();
    }
    CoUninitialize();

    bool posted = false;
    try {
        if (reply.empty()) reply = job_failure_reply;
        const std::shared_ptr<setup_page_state> state = job.state;
        posted = !state->engine
                      .dispatch([state, id = std::move(job.id), reply = std::move(reply)] {
                          finish_job(*state, id, reply);
                      })
                      .has_error();
    } catch (...) {
    }
    // Without its completion the page could never start another job nor close.
    if (!posted) job.state->busy.exchange(false);
}

}  // namespace

page_platform windows_platform() {
    return page_platform{shell_open, drag_window, minimize_window, run_install, run_uninstall};
}

std::string page_action(const std::string& request) {
    const json parsed = json::parse(request, nullptr, false, false);
    if (!parsed.is_array() || parsed.size() != 1 || !parsed[0].is_string()) return {};
    return parsed[0].get<std::string>();
}

json install_options(const std::string& request) {
    const json parsed = json::parse(request, nullptr, false, false);
    if (parsed.is_array() && !parsed.empty() && parsed[0].is_object()) return parsed[0];
    return json::object();
}

const wchar_t* web_destination(const std::string& key) {
    // The maker's addresses come from the product's one domain.
    static const std::array<std::pair<std::string_view, std::wstring>, 3> destinations{{
        {"site", L"https://" + utf8_to_wide(maker_domain) + L"/"},
        {"python", L"https://www.python.org/downloads/windows/"},
        {"help", L"https://" + utf8_to_wide(maker_domain) + L"/download"},
    }};
    for (const auto& [name, address] : destinations) {
        if (name == key) return address.c_str();
    }
    return nullptr;
}

std::string page_json(const json& document) {
    return document.dump(-1, ' ', false, json::error_handler_t::strict);
}

std::string progress_script(int pct, const std::string& label) {
    return "window.setupProgress&&window.setupProgress(" + page_json(json{{"label", label}, {"pct", pct}}) + ")";
}

setup_page::setup_page(engine_base& engine, page_platform platform)
    : state_(std::make_shared<setup_page_state>(engine)), platform_(std::move(platform)) {
    state_->page = this;
}

setup_page::~setup_page() {
    end_page();
}

void setup_page::end_page() {
    state_->page = nullptr;
    if (worker_.joinable()) worker_.join();
}

bool setup_page::busy() const {
    return state_->busy.load();
}

void setup_page::bind_functions() {
    engine_base& engine = state_->engine;
    const auto window = engine.window();
    window_ = window.has_value() ? window.value() : nullptr;

    // The bindings outlive this object inside the engine: each reaches the page only while it
    // is there.
    const std::shared_ptr<setup_page_state> state = state_;
    // A bind is refused only for a name bound already, and each is bound once here.
    std::ignore = engine.bind("setupInfo", [state](std::string request) {
        return state->page ? state->page->handle_setup_info(request) : std::string("null");
    });
    std::ignore = engine.bind("setupOpen", [state](std::string request) {
        return state->page ? state->page->handle_setup_open(request) : std::string("null");
    });
    std::ignore = engine.bind("setupWindow", [state](std::string request) {
        return state->page ? state->page->handle_setup_window(request) : std::string("null");
    });
    std::ignore = engine.bind(
        "setupInstall",
        [state](std::string id, std::string request, void*) {
            if (state->page) state->page->handle_setup_install(id, request);
        },
        nullptr);
    std::ignore = engine.bind(
        "setupUninstall",
        [state](std::string id, std::string request, void*) {
            if (state->page) state->page->handle_setup_uninstall(id, request);
        },
        nullptr);
}

std::string setup_page::handle_setup_info(const std::string&) {
    // An exception here reaches the synchronous binding, which rejects the call.
    return page_json(build_setup_info());
}

std::string setup_page::handle_setup_open(const std::string& request) {
    try {
        const std::string action = page_action(request);
        if (action.empty()) return "null";
        if (action == "app" || action == "folder") {
            const std::filesystem::path folder = install_dir();
            // A relative name would be looked up from the current folder, or along the path.
            if (!folder.is_absolute()) return "null";
            if (action == "app") {
                platform_.open((folder / product_info.companion_exe).wstring(), folder.wstring());
            } else {
                platform_.open(folder.wstring(), {});
            }
        } else if (const wchar_t* address = web_destination(action)) {
            platform_.open(address, {});
        }
    } catch (...) {
    }
    return "null";
}

std::string setup_page::handle_setup_window(const std::string& request) {
    try {
        const std::string action = page_action(request);
        if (window_ == nullptr) return "null";
        if (action == "drag") {
            platform_.drag(window_);
        } else if (action == "minimize") {
            platform_.minimize(window_);
        } else if (action == "close") {
            // Closing the page mid-job would leave the user without its outcome.
            // terminate only posts the quit message.
            if (!state_->busy.load()) std::ignore = state_->engine.terminate();
        }
    } catch (...) {
    }
    return "null";
}

void setup_page::handle_setup_install(const std::string& id, const std::string& request) {
    json options;
    try {
        options = install_options(request);
    } catch (...) {
        options = json::object();
    }
    start_worker(id, false, std::move(options));
}

void setup_page::handle_setup_uninstall(const std::string& id, const std::string&) {
    start_worker(id, true, json::object());
}

void setup_page::start_worker(const std::string& id, bool uninstall, json options) {
    engine_base& engine = state_->engine;
    if (state_->busy.exchange(true)) {
        try {
            // The page's call stays pending if even this cannot be queued.
            std::ignore = engine.resolve(id, 0, busy_reply);
        } catch (...) {
        }
        return;
    }
    try {
        if (worker_.joinable()) worker_.join();
        setup_job job{state_, id, uninstall, std::move(options),
                      uninstall ? platform_.uninstall : platform_.install};
        worker_ = platform_.start_thread([job = std::move(job)]() mutable { run_setup_job(std::move(job)); });
    } catch (...) {
        // No job runs: leaving busy set would refuse every later request and the page's close.
        state_->busy.exchange(false);
        try {
            std::ignore = engine.resolve(id, 0, job_failure_reply);
        } catch (...) {
        }
    }
}
