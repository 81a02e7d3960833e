#include "transport.h"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

namespace standin {

namespace {

constexpr UINT post_message = WM_APP + 7;

struct state {
    mutable std::mutex lock;
    std::vector<std::string> log;
    std::map<std::string, std::deque<outcome>> outcomes;
    std::vector<std::function<void()>> deferred;
    event_sink* sink = nullptr;
    HWND poster = nullptr;
    bool class_registered = false;
};

state& shared() {
    static state* s = new state();  // outlives every static destructor that may still post
    return *s;
}

std::atomic<int> live{0};
std::atomic<int> posted{0};

HMODULE this_module() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&this_module), &module);
    return module;
}

LRESULT CALLBACK poster_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == post_message && lparam != 0) {
        std::unique_ptr<std::function<void()>> job(reinterpret_cast<std::function<void()>*>(lparam));
        --posted;
        (*job)();
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

const wchar_t poster_class[] = L"webview2_standin_poster";

outcome parse_outcome(const std::string& text) {
    outcome result;
    const auto colon = text.find(':');
    const std::string name = text.substr(0, colon);
    if (colon != std::string::npos) result.hr = static_cast<HRESULT>(std::stoul(text.substr(colon + 1), nullptr, 0));
    if (name == "fail") result.kind = outcome::fail;
    else if (name == "complete") result.kind = outcome::complete;
    else if (name == "null") result.kind = outcome::null_result;
    else if (name == "never") result.kind = outcome::never;
    else if (name == "sync") result.kind = outcome::sync;
    else if (name == "defer") result.kind = outcome::defer;
    else if (name == "sfalse") result.kind = outcome::s_false;
    else result.kind = outcome::ok;
    if (result.kind == outcome::fail && result.hr == S_OK) result.hr = E_FAIL;
    return result;
}

}  // namespace

transport& transport::instance() {
    static transport* t = new transport();
    return *t;
}

outcome transport::call(const std::string& step, const std::string& details) {
    auto& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    // One line per call: line ends inside a text are written as \n.
    std::string flat;
    for (const char c : details) {
        if (c == '\n') flat += "\\n";
        else flat += c;
    }
    s.log.push_back(step + "(" + flat + ")");
    auto found = s.outcomes.find(step);
    if (found == s.outcomes.end() || found->second.empty()) return {};
    outcome next = found->second.front();
    // The last outcome of a list stays for every later call.
    if (found->second.size() > 1) found->second.pop_front();
    return next;
}

void transport::note(const std::string& event) {
    auto& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    s.log.push_back(event);
}

void transport::configure(const std::string& step, const std::string& outcomes) {
    auto& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    auto& list = s.outcomes[step];
    list.clear();
    std::stringstream stream(outcomes);
    std::string item;
    while (std::getline(stream, item, ',')) list.push_back(parse_outcome(item));
}

void transport::reset() {
    auto& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    s.log.clear();
    s.outcomes.clear();
}

std::string transport::log() const {
    auto& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    std::string text;
    for (const auto& line : s.log) text += line + "\n";
    return text;
}

std::string transport::raise(const std::string& kind, const std::string& argument) {
    auto& s = shared();
    if (kind == "release_deferred") {
        std::vector<std::function<void()>> jobs;
        {
            std::lock_guard<std::mutex> guard(s.lock);
            jobs.swap(s.deferred);
        }
        for (auto& job : jobs) post(std::move(job));
        return std::to_string(jobs.size());
    }
    event_sink* sink;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        sink = s.sink;
    }
    if (sink == nullptr) return "no browser";
    return sink->raise(kind, argument);
}

void transport::set_sink(event_sink* sink) {
    auto& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    s.sink = sink;
}

void transport::clear_sink(event_sink* sink) {
    auto& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.sink == sink) s.sink = nullptr;
}

void transport::post(std::function<void()> job) {
    auto& s = shared();
    if (s.poster == nullptr) {
        if (!s.class_registered) {
            WNDCLASSEXW wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = poster_proc;
            wc.hInstance = this_module();
            wc.lpszClassName = poster_class;
            s.class_registered = RegisterClassExW(&wc) != 0;
        }
        s.poster = CreateWindowExW(0, poster_class, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, this_module(),
                                   nullptr);
    }
    auto heap = std::make_unique<std::function<void()>>(std::move(job));
    ++posted;
    if (s.poster != nullptr && PostMessageW(s.poster, post_message, 0, reinterpret_cast<LPARAM>(heap.get()))) {
        heap.release();
    } else {
        --posted;
    }
}

void transport::defer(std::function<void()> job) {
    auto& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    s.deferred.push_back(std::move(job));
}

int transport::pending() const {
    auto& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    return posted.load() + static_cast<int>(s.deferred.size());
}

void transport::shut_down() {
    auto& s = shared();
    if (s.poster != nullptr) DestroyWindow(s.poster);
    s.poster = nullptr;
    if (s.class_registered) UnregisterClassW(poster_class, this_module());
    s.class_registered = false;
}

int live_objects() { return live.load(); }
void object_made() { ++live; }
void object_gone() { --live; }

std::string narrow(const wchar_t* text) {
    if (text == nullptr) return "(null)";
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<std::size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

}  // namespace standin
