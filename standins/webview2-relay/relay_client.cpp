#include "relay_client.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <utility>

#include <nlohmann/json.hpp>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace relay {
namespace {

using json = nlohmann::json;

constexpr UINT line_message = WM_APP + 1;    // lParam: std::string*, one line from the driver
constexpr UINT closed_message = WM_APP + 2;  // lParam: std::string*, why the connection ended
// A line this long is a broken driver, not a page: the connection is ended.
constexpr std::size_t line_limit = 256u << 20;

std::wstring wide_field(const json& object, const char* name) {
    auto it = object.find(name);
    return it != object.end() && it->is_string() ? to_wide(it->get_ref<const std::string&>()) : std::wstring{};
}

std::uint64_t number_field(const json& object, const char* name) {
    auto it = object.find(name);
    return it != object.end() && it->is_number_unsigned() ? it->get<std::uint64_t>() : 0;
}

reply reply_from(const json& message) {
    reply r;
    auto ok = message.find("ok");
    r.ok = ok != message.end() && ok->is_boolean() && ok->get<bool>();
    r.error = wide_field(message, "error");
    if (!r.ok && r.error.empty()) r.error = L"the driver gave no reason";
    r.navigation_id = number_field(message, "navigationId");
    r.script_id = wide_field(message, "scriptId");
    r.json = wide_field(message, "json");
    if (auto it = message.find("exception"); it != message.end() && it->is_string()) {
        r.exception = to_wide(it->get_ref<const std::string&>());
    }
    return r;
}

std::wstring unique_class_name() {
    static std::atomic<unsigned> counter{0};
    return L"VantrelRelayClient." + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++counter);
}

}  // namespace

std::uint16_t parse_address(std::wstring_view text) noexcept {
    constexpr std::wstring_view host = L"127.0.0.1:";
    if (text.substr(0, host.size()) != host) return 0;
    const std::wstring_view digits = text.substr(host.size());
    if (digits.empty() || digits.size() > 5) return 0;
    unsigned port = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9') return 0;
        port = port * 10 + static_cast<unsigned>(c - L'0');
    }
    return port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
}

std::uint16_t port_from_environment() noexcept {
    wchar_t buffer[64];
    const DWORD n = GetEnvironmentVariableW(address_variable, buffer, static_cast<DWORD>(std::size(buffer)));
    if (n == 0 || n >= std::size(buffer)) return 0;
    return parse_address(std::wstring_view(buffer, n));
}

// Unpaired surrogates and invalid bytes become U+FFFD: the system's own replacement.
std::string to_utf8(std::wstring_view text) {
    if (text.empty()) return {};
    if (text.size() > INT_MAX / 3) throw std::length_error("text too long for the relay");
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring to_wide(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > INT_MAX) throw std::length_error("text too long for the relay");
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), size);
    return out;
}

namespace detail {

unique_socket& unique_socket::operator=(unique_socket&& o) noexcept {
    if (this != &o) {
        if (s_ != INVALID_SOCKET) closesocket(s_);
        s_ = o.release();
    }
    return *this;
}

unique_socket::~unique_socket() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
}

window_class::window_class(const wchar_t* name, WNDPROC proc) : name_(name) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = reinterpret_cast<HINSTANCE>(&__ImageBase);
    wc.lpszClassName = name_.c_str();
    if (!RegisterClassExW(&wc)) throw error("RegisterClassExW failed", static_cast<int>(GetLastError()));
}

// A class left registered by a DLL that is later unloaded would point into freed code.
window_class::~window_class() {
    UnregisterClassW(name_.c_str(), reinterpret_cast<HINSTANCE>(&__ImageBase));
}

winsock_session::winsock_session() {
    WSADATA data;
    if (const int e = WSAStartup(MAKEWORD(2, 2), &data)) throw error("WSAStartup failed", e);
}

winsock_session::~winsock_session() {
    WSACleanup();
}

}  // namespace detail

client::client(std::uint16_t port, handlers on) : on_(std::move(on)) {
    if (port == 0) throw error("no relay address", 0);
    socket_ = detail::unique_socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (socket_.get() == INVALID_SOCKET) throw error("socket failed", WSAGetLastError());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
        throw error("cannot connect to the relay driver", WSAGetLastError());
    }
    const BOOL no_delay = TRUE;
    setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay), sizeof no_delay);

    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_) throw error("CreateEventW failed", static_cast<int>(GetLastError()));
    network_.reset(WSACreateEvent());  // WSA_INVALID_EVENT is null
    if (!network_) {
        throw error("WSACreateEvent failed", WSAGetLastError());
    }
    // The socket becomes non-blocking here: the reader waits on the event, send_all on select.
    if (WSAEventSelect(socket_.get(), network_.get(), FD_READ | FD_CLOSE) == SOCKET_ERROR) {
        throw error("WSAEventSelect failed", WSAGetLastError());
    }

    class_ = std::make_unique<detail::window_class>(unique_class_name().c_str(), &client::window_proc);
    window_.reset(CreateWindowExW(0, class_->name(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  reinterpret_cast<HINSTANCE>(&__ImageBase), this));
    if (!window_) throw error("CreateWindowExW failed", static_cast<int>(GetLastError()));

    reader_ = std::thread([this] { read_loop(); });
}

client::~client() {
    *alive_ = false;
    SetEvent(stop_.get());
    if (reader_.joinable()) reader_.join();
    // Lines the reader posted but the loop never took: their payloads are ours to free.
    MSG msg;
    while (PeekMessageW(&msg, window_.get(), line_message, closed_message, PM_REMOVE)) {
        delete reinterpret_cast<std::string*>(msg.lParam);
    }
    // Open requests are dropped without a call: their owners are going away with the client.
}

bool client::navigate(std::wstring_view uri, reply_fn done) {
    return request("navigate", "uri", uri, std::move(done));
}

bool client::navigate_to_string(std::wstring_view html, reply_fn done) {
    return request("navigateToString", "html", html, std::move(done));
}

bool client::add_script(std::wstring_view script, reply_fn done) {
    return request("addScript", "script", script, std::move(done));
}

bool client::remove_script(std::wstring_view script_id, reply_fn done) {
    return request("removeScript", "scriptId", script_id, std::move(done));
}

bool client::execute_script(std::wstring_view script, reply_fn done) {
    return request("executeScript", "script", script, std::move(done));
}

bool client::post_web_message_as_json(std::wstring_view message, reply_fn done) {
    return request("postWebMessage", "json", message, std::move(done));
}

bool client::post_web_message_as_string(std::wstring_view text, reply_fn done) {
    return request("postWebMessage", "string", text, std::move(done));
}

bool client::screenshot(std::wstring_view path, reply_fn done) {
    return request("screenshot", "path", path, std::move(done));
}

bool client::close(reply_fn done) {
    json fields = json::object();
    return request("close", fields, std::move(done));
}

bool client::request(const char* op, const char* field, std::wstring_view value, reply_fn done) {
    json fields{{field, to_utf8(value)}};
    return request(op, fields, std::move(done));
}

bool client::request(const char* op, json& fields, reply_fn done) {
    if (closed_ || GetCurrentThreadId() != owner_thread_) return false;
    const std::uint64_t id = next_id_;
    fields["id"] = id;
    fields["op"] = op;
    std::string line = fields.dump(-1, ' ', false, json::error_handler_t::replace);
    line += '\n';
    if (!send_all(line)) {
        // Reported from the loop like any other end, never from inside this call.
        shutdown(socket_.get(), SD_BOTH);
        post_closed("sending to the relay driver failed");
        return false;
    }
    ++next_id_;
    pending_.emplace(id, std::move(done));
    return true;
}

bool client::send_all(std::string_view bytes) {
    while (!bytes.empty()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), 1u << 20));
        const int sent = ::send(socket_.get(), bytes.data(), chunk, 0);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(socket_.get(), &writable);
        timeval wait{30, 0};
        if (select(0, nullptr, &writable, nullptr, &wait) != 1) return false;
    }
    return true;
}

bool client::post(UINT message, std::unique_ptr<std::string> payload) noexcept {
    while (!PostMessageW(window_.get(), message, 0, reinterpret_cast<LPARAM>(payload.get()))) {
        // A full queue (Windows holds 10,000 posts) drains as the owner's loop runs; the
        // owner itself cannot wait for that.
        if (GetLastError() != ERROR_NOT_ENOUGH_QUOTA || GetCurrentThreadId() == owner_thread_) return false;
        if (WaitForSingleObject(stop_.get(), 10) == WAIT_OBJECT_0) return false;
    }
    payload.release();
    return true;
}

void client::post_closed(std::string reason) noexcept {
    try {
        post(closed_message, std::make_unique<std::string>(std::move(reason)));
    } catch (...) {
        // Out of memory: the end goes unreported, as nothing more can be done.
    }
}

void client::read_loop() noexcept {
    try {
        std::string pending;
        std::string chunk(64 * 1024, '\0');
        const HANDLE events[] = {stop_.get(), network_.get()};
        for (;;) {
            const DWORD woke = WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, FALSE);
            if (woke == WSA_WAIT_EVENT_0) return;  // the client is being destroyed
            if (woke != WSA_WAIT_EVENT_0 + 1) {
                post_closed("waiting for the relay driver failed");
                return;
            }
            WSANETWORKEVENTS happened;
            WSAEnumNetworkEvents(socket_.get(), network_.get(), &happened);
            for (;;) {
                const int n = recv(socket_.get(), chunk.data(), static_cast<int>(chunk.size()), 0);
                if (n == 0) {
                    post_closed("the relay driver closed the connection");
                    return;
                }
                if (n < 0) {
                    if (WSAGetLastError() == WSAEWOULDBLOCK) break;
                    post_closed("the relay connection failed");
                    return;
                }
                const std::size_t scanned = pending.size();  // holds no line end
                pending.append(chunk.data(), static_cast<std::size_t>(n));
                std::size_t start = 0;
                for (std::size_t end, from = scanned; (end = pending.find('\n', from)) != std::string::npos;
                     start = from = end + 1) {
                    auto line = std::make_unique<std::string>(pending, start, end - start);
                    if (!post(line_message, std::move(line))) return;
                }
                pending.erase(0, start);
                if (pending.size() > line_limit) {
                    post_closed("the relay driver sent a line that is too long");
                    return;
                }
            }
        }
    } catch (...) {
        post_closed("the relay reader ran out of memory");
    }
}

LRESULT CALLBACK client::window_proc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam) noexcept {
    if (msg == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return DefWindowProcW(window, msg, wparam, lparam);
    }
    if (msg != line_message && msg != closed_message) return DefWindowProcW(window, msg, wparam, lparam);
    std::unique_ptr<std::string> payload(reinterpret_cast<std::string*>(lparam));
    auto* self = reinterpret_cast<client*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self || !payload) return 0;
    try {
        if (msg == line_message) {
            self->on_line(*payload);
        } else {
            self->on_closed(to_wide(*payload));
        }
    } catch (...) {
        // A callback's exception must not unwind through the system's dispatch.
    }
    return 0;
}

void client::on_line(std::string_view line) {
    if (closed_) return;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const json message = json::parse(line, nullptr, false);
    if (message.is_discarded() || !message.is_object()) {
        on_closed(L"the relay driver sent a line that is not JSON");
        return;
    }
    if (auto id = message.find("id"); id != message.end()) {
        if (!id->is_number_unsigned()) return;  // the driver could not read one of our lines
        auto it = pending_.find(id->get<std::uint64_t>());
        if (it == pending_.end()) return;
        reply_fn done = std::move(it->second);
        pending_.erase(it);
        if (done) done(reply_from(message));
        return;
    }
    auto event = message.find("event");
    if (event == message.end() || !event->is_string()) return;
    const std::string& name = event->get_ref<const std::string&>();
    if (name == "webMessage") {
        web_message m;
        m.json = wide_field(message, "json");
        if (auto text = message.find("string"); text != message.end() && text->is_string()) {
            m.text = to_wide(text->get_ref<const std::string&>());
        }
        m.source = wide_field(message, "source");
        // A copy: the handler may destroy the client, and with it on_.
        if (auto handler = on_.web_message) handler(m);
    } else if (name == "navigationCompleted") {
        navigation_completed n;
        n.navigation_id = number_field(message, "navigationId");
        auto success = message.find("success");
        n.success = success != message.end() && success->is_boolean() && success->get<bool>();
        n.uri = wide_field(message, "uri");
        n.error = wide_field(message, "error");
        if (auto handler = on_.navigation_completed) handler(n);
    }
    // Events this client does not know are left alone: the driver may grow.
}

void client::on_closed(const std::wstring& reason) {
    if (closed_) return;
    closed_ = true;
    shutdown(socket_.get(), SD_BOTH);  // the driver sees the end as well
    const std::shared_ptr<bool> alive = alive_;
    auto open = std::move(pending_);
    pending_.clear();
    for (auto& [id, done] : open) {
        if (!done) continue;
        reply r;
        r.error = L"connection closed";
        done(r);
        if (!*alive) return;
    }
    if (auto handler = on_.closed) handler(reason);
}

}  // namespace relay
