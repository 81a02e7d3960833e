#pragma once
// The program's end of the WebView2 relay: requests go to the Node driver over loopback as
// newline-delimited JSON, and what comes back (replies, events, the end of the connection)
// is handed to callbacks inside the creating thread's own message loop, as WebView2 delivers
// its completions. Build and test only; never part of the product.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json_fwd.hpp>

namespace relay {

inline constexpr wchar_t address_variable[] = L"VANTREL_WEBVIEW2_RELAY";

// "127.0.0.1:<port>" gives the port; anything else (another host, no port, 0) gives 0.
std::uint16_t parse_address(std::wstring_view text) noexcept;
// The port named by the environment variable, 0 when it is unset or not an address.
std::uint16_t port_from_environment() noexcept;

std::string to_utf8(std::wstring_view text);
std::wstring to_wide(std::string_view text);

class error : public std::runtime_error {
public:
    error(const char* what, int code) : std::runtime_error(what), code_(code) {}
    int code() const noexcept { return code_; }  // the Win32/Winsock error
private:
    int code_;
};

// The driver's answer to one request. A request still open when the connection ends gets
// ok == false and the error "connection closed".
struct reply {
    bool ok = false;
    std::wstring error;
    std::uint64_t navigation_id = 0;       // navigate, navigate_to_string
    std::wstring script_id;                // add_script
    std::wstring json;                     // execute_script: the result, "null" for undefined
    std::optional<std::wstring> exception; // execute_script: the script threw this
};

struct web_message {
    std::wstring json;                     // what get_WebMessageAsJson gives
    std::optional<std::wstring> text;      // what TryGetWebMessageAsString gives, when a string
    std::wstring source;
};

struct navigation_completed {
    std::uint64_t navigation_id = 0;
    bool success = false;
    std::wstring uri;
    std::wstring error;
};

struct handlers {
    std::function<void(const web_message&)> web_message;
    std::function<void(const navigation_completed&)> navigation_completed;
    // Once, when the connection ends (the driver closed it, it broke, or a line was not JSON).
    std::function<void(const std::wstring& reason)> closed;
};

namespace detail {
class unique_socket {
public:
    unique_socket() = default;
    explicit unique_socket(SOCKET s) noexcept : s_(s) {}
    unique_socket(unique_socket&& o) noexcept : s_(o.release()) {}
    unique_socket& operator=(unique_socket&& o) noexcept;
    ~unique_socket();
    SOCKET get() const noexcept { return s_; }
    SOCKET release() noexcept { SOCKET s = s_; s_ = INVALID_SOCKET; return s; }
private:
    SOCKET s_ = INVALID_SOCKET;
};
struct handle_closer {
    void operator()(HANDLE h) const noexcept { CloseHandle(h); }
};
using unique_handle = std::unique_ptr<std::remove_pointer_t<HANDLE>, handle_closer>;
struct network_event_closer {
    void operator()(WSAEVENT e) const noexcept { WSACloseEvent(e); }
};
using unique_network_event = std::unique_ptr<std::remove_pointer_t<WSAEVENT>, network_event_closer>;
struct window_destroyer {
    void operator()(HWND w) const noexcept { DestroyWindow(w); }
};
using unique_window = std::unique_ptr<std::remove_pointer_t<HWND>, window_destroyer>;
class window_class {
public:
    window_class(const wchar_t* name, WNDPROC proc);
    ~window_class();
    window_class(const window_class&) = delete;
    window_class& operator=(const window_class&) = delete;
    const wchar_t* name() const noexcept { return name_.c_str(); }
private:
    std::wstring name_;
};
class winsock_session {
public:
    winsock_session();
    ~winsock_session();
    winsock_session(const winsock_session&) = delete;
    winsock_session& operator=(const winsock_session&) = delete;
};
}  // namespace detail

// Every call and every callback belongs to the thread that created the client, which must
// run a message loop. The calls return false when the connection has already ended or when
// made from another thread (the callback is then never called); otherwise the callback runs
// once, from that loop.
class client {
public:
    using reply_fn = std::function<void(const reply&)>;

    // Connects to 127.0.0.1:port; throws relay::error when it cannot.
    client(std::uint16_t port, handlers on);
    ~client();
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    bool navigate(std::wstring_view uri, reply_fn done = {});
    bool navigate_to_string(std::wstring_view html, reply_fn done = {});
    bool add_script(std::wstring_view script, reply_fn done = {});
    bool remove_script(std::wstring_view script_id, reply_fn done = {});
    bool execute_script(std::wstring_view script, reply_fn done = {});
    bool post_web_message_as_json(std::wstring_view json, reply_fn done = {});
    bool post_web_message_as_string(std::wstring_view text, reply_fn done = {});
    // A PNG of the page, at a path relative to the driver's screenshot folder.
    bool screenshot(std::wstring_view path, reply_fn done = {});
    // Asks the driver to end the run; the connection then closes.
    bool close(reply_fn done = {});

    bool is_open() const noexcept { return !closed_; }

private:
    static LRESULT CALLBACK window_proc(HWND, UINT, WPARAM, LPARAM) noexcept;
    bool request(const char* op, const char* field, std::wstring_view value, reply_fn done);
    bool request(const char* op, nlohmann::json& fields, reply_fn done);
    bool send_all(std::string_view bytes);
    bool post(UINT message, std::unique_ptr<std::string> payload) noexcept;
    void post_closed(std::string reason) noexcept;
    void read_loop() noexcept;
    void on_line(std::string_view line);
    void on_closed(const std::wstring& reason);

    handlers on_;
    detail::winsock_session winsock_;
    detail::unique_socket socket_;
    detail::unique_handle stop_;              // set by the destructor: the reader ends
    detail::unique_network_event network_;    // the socket's readiness, for the reader
    std::unique_ptr<detail::window_class> class_;
    detail::unique_window window_;
    std::thread reader_;
    std::map<std::uint64_t, reply_fn> pending_;
    std::uint64_t next_id_ = 1;
    DWORD owner_thread_ = GetCurrentThreadId();
    bool closed_ = false;
    // Cleared by the destructor, so that a callback that destroys the client ends dispatch.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace relay
