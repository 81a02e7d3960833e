// Fake WebView2 objects: each records its calls through the transport and answers with the
// outcome that the test configured; completions arrive through posted messages.

#include <objbase.h>
#include <wrl/client.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "callback.h"
#include "fakes.h"
#include "relay_client.h"
#include "transport.h"

using Microsoft::WRL::ComPtr;

namespace standin {

namespace {

using webhost::detail::adopt;

LPWSTR co_task_copy(const std::wstring& text) {
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    if (copy != nullptr) std::copy(text.c_str(), text.c_str() + text.size() + 1, copy);
    return copy;
}

// A getter's answer: E_POINTER without a place for it.
template <typename T>
HRESULT give(T value, T* out) {
    if (out == nullptr) return E_POINTER;
    *out = value;
    return S_OK;
}

// Text goes out in memory the caller frees with CoTaskMemFree.
HRESULT give_text(const std::wstring& text, LPWSTR* out) {
    if (out == nullptr) return E_POINTER;
    *out = co_task_copy(text);
    return S_OK;
}

// WebView2 reports a string document as a data address of its text.
std::wstring string_document_uri(const std::wstring& html) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string bytes = relay::to_utf8(html);
    std::wstring uri = L"data:text/html;charset=utf-8;base64,";
    uri.reserve(uri.size() + (bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        const unsigned n = static_cast<unsigned char>(bytes[i]) << 16 |
                           (left > 1 ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0u) |
                           (left > 2 ? static_cast<unsigned char>(bytes[i + 2]) : 0u);
        uri += static_cast<wchar_t>(digits[n >> 18 & 63]);
        uri += static_cast<wchar_t>(digits[n >> 12 & 63]);
        uri += left > 1 ? static_cast<wchar_t>(digits[n >> 6 & 63]) : L'=';
        uri += left > 2 ? static_cast<wchar_t>(digits[n & 63]) : L'=';
    }
    return uri;
}

std::string hex(HRESULT hr) {
    char text[16];
    wsprintfA(text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// A COM object of one interface that has a place in the live-object count.
template <typename Interface>
class fake : public webhost::detail::com_object<Interface> {
public:
    explicit fake(std::string name) : name_(std::move(name)) { object_made(); }
    ~fake() override {
        transport::instance().note("~" + name_);
        object_gone();
    }

protected:
    outcome call(const char* method, const std::string& details = {}) {
        return transport::instance().call(name_ + "." + method, details);
    }
    std::string name_;
};

#define NOT_USED(...) \
    override { return E_NOTIMPL; }

HRESULT simple(const outcome& o) {
    if (o.kind == outcome::fail) return o.hr;
    if (o.kind == outcome::s_false) return S_FALSE;
    return S_OK;
}

// Delivers a completion as the outcome says: posted, inline, kept back, never, or failing.
template <typename Handler, typename Deliver>
HRESULT complete_as(const outcome& o, Handler* handler, Deliver deliver) {
    if (o.kind == outcome::fail) return o.hr;
    if (handler == nullptr) return E_POINTER;
    ComPtr<Handler> keep(handler);
    auto job = [keep, deliver, o]() { deliver(keep.Get(), o); };
    switch (o.kind) {
    case outcome::never: keep->AddRef(); break;  // held for good, as a runtime that hangs would
    case outcome::sync: job(); break;
    case outcome::defer: transport::instance().defer(job); break;
    default: transport::instance().post(job); break;
    }
    return S_OK;
}

class fake_settings final : public fake<ICoreWebView2Settings> {
public:
    fake_settings() : fake("settings") {}
#define SETTING(name)                                                                     \
    HRESULT STDMETHODCALLTYPE get_##name(BOOL*) override { return E_NOTIMPL; }          \
    HRESULT STDMETHODCALLTYPE put_##name(BOOL value) override {                           \
        return simple(call("put_" #name, std::to_string(value)));                         \
    }
    SETTING(IsScriptEnabled)
    SETTING(IsWebMessageEnabled)
    SETTING(AreDefaultScriptDialogsEnabled)
    SETTING(IsStatusBarEnabled)
    SETTING(AreDevToolsEnabled)
    SETTING(AreDefaultContextMenusEnabled)
    SETTING(AreHostObjectsAllowed)
    SETTING(IsZoomControlEnabled)
    SETTING(IsBuiltInErrorPageEnabled)
#undef SETTING
};

class fake_web_message_args final : public fake<ICoreWebView2WebMessageReceivedEventArgs> {
public:
    fake_web_message_args(std::wstring text, bool is_string, std::wstring json = {}, std::wstring source = {})
        : fake("web_message_args"), text_(std::move(text)), json_(std::move(json)), source_(std::move(source)),
          is_string_(is_string) {}
    HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* source) override { return give_text(source_, source); }
    HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR* json) override {
        if (json == nullptr) return E_POINTER;
        *json = nullptr;
        if (json_.empty()) return E_NOTIMPL;  // raised by a test, which gives the text only
        *json = co_task_copy(json_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE TryGetWebMessageAsString(LPWSTR* value) override {
        if (value == nullptr) return E_POINTER;
        *value = nullptr;
        if (!is_string_) return E_INVALIDARG;
        *value = co_task_copy(text_);
        return S_OK;
    }

private:
    std::wstring text_;
    std::wstring json_;
    std::wstring source_;
    bool is_string_;
};

class fake_permission_args final : public fake<ICoreWebView2PermissionRequestedEventArgs> {
public:
    fake_permission_args(int kind, bool kind_fails) : fake("permission_args"), kind_(kind), kind_fails_(kind_fails) {}
    HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR*) NOT_USED()
    HRESULT STDMETHODCALLTYPE get_PermissionKind(COREWEBVIEW2_PERMISSION_KIND* kind) override {
        if (kind == nullptr) return E_POINTER;
        // A failing read still writes the kind, so that a caller that ignores the result shows.
        *kind = static_cast<COREWEBVIEW2_PERMISSION_KIND>(kind_);
        return kind_fails_ ? E_FAIL : S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL*) NOT_USED()
    HRESULT STDMETHODCALLTYPE get_State(COREWEBVIEW2_PERMISSION_STATE*) NOT_USED()
    HRESULT STDMETHODCALLTYPE put_State(COREWEBVIEW2_PERMISSION_STATE state) override {
        call("put_State", std::to_string(state));
        state_ = state;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDeferral(ICoreWebView2Deferral**) NOT_USED()
    int state() const { return state_; }

private:
    int kind_;
    bool kind_fails_;
    int state_ = -1;
};

class fake_navigation_args final : public fake<ICoreWebView2NavigationStartingEventArgs> {
public:
    explicit fake_navigation_args(std::wstring uri) : fake("navigation_args"), uri_(std::move(uri)) {}
    HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override { return give_text(uri_, uri); }
    HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL*) NOT_USED()
    HRESULT STDMETHODCALLTYPE get_IsRedirected(BOOL*) NOT_USED()
    HRESULT STDMETHODCALLTYPE get_RequestHeaders(ICoreWebView2HttpRequestHeaders**) NOT_USED()
    HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) override { return give(cancel_, cancel); }
    HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) override {
        cancel_ = cancel;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_NavigationId(UINT64*) NOT_USED()
    BOOL cancel() const { return cancel_; }

private:
    std::wstring uri_;
    BOOL cancel_ = FALSE;
};

class fake_new_window_args final : public fake<ICoreWebView2NewWindowRequestedEventArgs> {
public:
    explicit fake_new_window_args(std::wstring uri) : fake("new_window_args"), uri_(std::move(uri)) {}
    HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override { return give_text(uri_, uri); }
    HRESULT STDMETHODCALLTYPE put_NewWindow(ICoreWebView2*) NOT_USED()
    HRESULT STDMETHODCALLTYPE get_NewWindow(ICoreWebView2**) NOT_USED()
    HRESULT STDMETHODCALLTYPE put_Handled(BOOL handled) override {
        handled_ = handled;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Handled(BOOL* handled) override { return give(handled_, handled); }
    HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL*) NOT_USED()
    HRESULT STDMETHODCALLTYPE GetDeferral(ICoreWebView2Deferral**) NOT_USED()
    HRESULT STDMETHODCALLTYPE get_WindowFeatures(ICoreWebView2WindowFeatures**) NOT_USED()
    BOOL handled() const { return handled_; }

private:
    std::wstring uri_;
    BOOL handled_ = FALSE;
};

// Registered handlers of one event, with their tokens.
template <typename Handler>
class handler_list {
public:
    HRESULT add(Handler* handler, EventRegistrationToken* token, std::int64_t& next_token) {
        if (handler == nullptr || token == nullptr) return E_POINTER;
        token->value = next_token++;
        entries_.push_back({token->value, ComPtr<Handler>(handler)});
        return S_OK;
    }
    void remove(EventRegistrationToken token) {
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->first == token.value) {
                entries_.erase(it);
                return;
            }
        }
    }
    template <typename Args>
    void invoke(ICoreWebView2* sender, Args* args) {
        auto copy = entries_;  // a handler may unregister while it runs
        for (auto& entry : copy) entry.second->Invoke(sender, args);
    }
    void clear() { entries_.clear(); }

private:
    std::vector<std::pair<std::int64_t, ComPtr<Handler>>> entries_;
};

class fake_browser final : public fake<ICoreWebView2>, public event_sink {
public:
    fake_browser() : fake("browser") { transport::instance().set_sink(this); }
    ~fake_browser() override { transport::instance().clear_sink(this); }

    HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) override {
        if (settings == nullptr) return E_POINTER;
        *settings = nullptr;
        const outcome o = call("get_Settings");
        if (o.kind == outcome::fail) return o.hr;
        if (o.kind == outcome::null_result) return S_OK;
        *settings = new fake_settings();
        return o.kind == outcome::s_false ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Source(LPWSTR*) NOT_USED()
    HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) override {
        const outcome o = call("Navigate", narrow(uri));
        if (!relay_) return simple(o);
        if (uri == nullptr) return E_INVALIDARG;
        return start_navigation(uri, std::nullopt);
    }
    HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR html) override {
        const outcome o = call("NavigateToString", narrow(html));
        if (!relay_) return simple(o);
        if (html == nullptr) return E_INVALIDARG;
        return start_navigation(string_document_uri(html), std::wstring(html));
    }
#define EVENT(name, list, Handler)                                                                        \
    HRESULT STDMETHODCALLTYPE add_##name(Handler* handler, EventRegistrationToken* token) override {      \
        const outcome o = call("add_" #name);                                                             \
        if (o.kind == outcome::fail) return o.hr;                                                         \
        return list.add(handler, token, next_token_);                                                     \
    }                                                                                                     \
    HRESULT STDMETHODCALLTYPE remove_##name(EventRegistrationToken token) override {                     \
        call("remove_" #name, std::to_string(token.value));                                              \
        list.remove(token);                                                                               \
        return S_OK;                                                                                      \
    }
    EVENT(NavigationStarting, navigation_starting_, ICoreWebView2NavigationStartingEventHandler)
    HRESULT STDMETHODCALLTYPE add_ContentLoading(ICoreWebView2ContentLoadingEventHandler*, EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_ContentLoading(EventRegistrationToken) NOT_USED()
    HRESULT STDMETHODCALLTYPE add_SourceChanged(ICoreWebView2SourceChangedEventHandler*, EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_SourceChanged(EventRegistrationToken) NOT_USED()
    HRESULT STDMETHODCALLTYPE add_HistoryChanged(ICoreWebView2HistoryChangedEventHandler*, EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_HistoryChanged(EventRegistrationToken) NOT_USED()
    HRESULT STDMETHODCALLTYPE add_NavigationCompleted(ICoreWebView2NavigationCompletedEventHandler*,
                                                      EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_NavigationCompleted(EventRegistrationToken) NOT_USED()
    EVENT(FrameNavigationStarting, frame_navigation_starting_, ICoreWebView2NavigationStartingEventHandler)
    HRESULT STDMETHODCALLTYPE add_FrameNavigationCompleted(ICoreWebView2NavigationCompletedEventHandler*,
                                                           EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_FrameNavigationCompleted(EventRegistrationToken) NOT_USED()
    HRESULT STDMETHODCALLTYPE add_ScriptDialogOpening(ICoreWebView2ScriptDialogOpeningEventHandler*,
                                                      EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_ScriptDialogOpening(EventRegistrationToken) NOT_USED()
    EVENT(PermissionRequested, permission_requested_, ICoreWebView2PermissionRequestedEventHandler)
    HRESULT STDMETHODCALLTYPE add_ProcessFailed(ICoreWebView2ProcessFailedEventHandler*, EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_ProcessFailed(EventRegistrationToken) NOT_USED()
    HRESULT STDMETHODCALLTYPE AddScriptToExecuteOnDocumentCreated(
        LPCWSTR script, ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler* handler) override {
        const outcome o = call("AddScriptToExecuteOnDocumentCreated", narrow(script));
        if (relay_) {
            if (script == nullptr) return E_INVALIDARG;
            ComPtr<ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler> keep(handler);
            relay::client::reply_fn done;
            if (keep) {
                done = [keep](const relay::reply& r) {
                    if (r.ok) keep->Invoke(S_OK, r.script_id.c_str());
                    else keep->Invoke(E_FAIL, nullptr);
                };
            }
            return relay_->add_script(script, std::move(done)) ? S_OK : E_FAIL;
        }
        const std::wstring id = L"script-" + std::to_wstring(next_script_++);
        return complete_as(o, handler,
                           [id](ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler* h, outcome o) {
                               if (o.kind == outcome::complete) h->Invoke(o.hr, nullptr);
                               else h->Invoke(S_OK, id.c_str());
                           });
    }
    HRESULT STDMETHODCALLTYPE RemoveScriptToExecuteOnDocumentCreated(LPCWSTR id) override {
        const outcome o = call("RemoveScriptToExecuteOnDocumentCreated", narrow(id));
        if (!relay_) return simple(o);
        if (id == nullptr) return E_INVALIDARG;
        return relay_->remove_script(id) ? S_OK : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE ExecuteScript(LPCWSTR script, ICoreWebView2ExecuteScriptCompletedHandler* handler) override {
        const outcome o = call("ExecuteScript", narrow(script));
        if (relay_) {
            if (script == nullptr) return E_INVALIDARG;
            ComPtr<ICoreWebView2ExecuteScriptCompletedHandler> keep(handler);
            relay::client::reply_fn done;
            if (keep) {
                // A script that throws completes with "null", as WebView2's does.
                done = [keep](const relay::reply& r) { keep->Invoke(r.ok ? S_OK : E_FAIL, r.ok ? r.json.c_str() : L"null"); };
            }
            return relay_->execute_script(script, std::move(done)) ? S_OK : E_FAIL;
        }
        if (o.kind == outcome::fail || handler == nullptr) return simple(o);
        return complete_as(o, handler, [](ICoreWebView2ExecuteScriptCompletedHandler* h, outcome) {
            h->Invoke(S_OK, L"null");
        });
    }
    HRESULT STDMETHODCALLTYPE CapturePreview(COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT, IStream*,
                                             ICoreWebView2CapturePreviewCompletedHandler*) NOT_USED()
    HRESULT STDMETHODCALLTYPE Reload() NOT_USED()
    HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR json) override {
        const outcome o = call("PostWebMessageAsJson", narrow(json));
        if (!relay_) return simple(o);
        if (json == nullptr) return E_INVALIDARG;
        return relay_->post_web_message_as_json(json) ? S_OK : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE PostWebMessageAsString(LPCWSTR text) override {
        const outcome o = call("PostWebMessageAsString", narrow(text));
        if (!relay_) return simple(o);
        if (text == nullptr) return E_INVALIDARG;
        return relay_->post_web_message_as_string(text) ? S_OK : E_FAIL;
    }
    EVENT(WebMessageReceived, web_message_received_, ICoreWebView2WebMessageReceivedEventHandler)
    HRESULT STDMETHODCALLTYPE CallDevToolsProtocolMethod(LPCWSTR, LPCWSTR,
                                                         ICoreWebView2CallDevToolsProtocolMethodCompletedHandler*) NOT_USED()
    HRESULT STDMETHODCALLTYPE get_BrowserProcessId(UINT32*) NOT_USED()
    HRESULT STDMETHODCALLTYPE get_CanGoBack(BOOL*) NOT_USED()
    HRESULT STDMETHODCALLTYPE get_CanGoForward(BOOL*) NOT_USED()
    HRESULT STDMETHODCALLTYPE GoBack() NOT_USED()
    HRESULT STDMETHODCALLTYPE GoForward() NOT_USED()
    HRESULT STDMETHODCALLTYPE GetDevToolsProtocolEventReceiver(LPCWSTR, ICoreWebView2DevToolsProtocolEventReceiver**) NOT_USED()
    HRESULT STDMETHODCALLTYPE Stop() NOT_USED()
    EVENT(NewWindowRequested, new_window_requested_, ICoreWebView2NewWindowRequestedEventHandler)
#undef EVENT

    std::string raise(const std::string& kind, const std::string& argument) override {
        if (kind == "web_message" || kind == "web_message_json") {
            ComPtr<ICoreWebView2WebMessageReceivedEventArgs> args;
            args = adopt(new fake_web_message_args(widen(argument), kind == "web_message"));
            web_message_received_.invoke(this, args.Get());
            return {};
        }
        if (kind == "permission") {
            // "6" asks for kind 6; "!6" asks for it with a kind that cannot be read.
            const bool fails = !argument.empty() && argument[0] == '!';
            ComPtr<fake_permission_args> args;
            args = adopt(new fake_permission_args(std::stoi(argument.substr(fails ? 1 : 0)), fails));
            permission_requested_.invoke(this, args.Get());
            return args->state() < 0 ? "state=unset" : "state=" + std::to_string(args->state());
        }
        if (kind == "navigation" || kind == "frame_navigation") {
            ComPtr<fake_navigation_args> args;
            args = adopt(new fake_navigation_args(widen(argument)));
            (kind == "navigation" ? navigation_starting_ : frame_navigation_starting_).invoke(this, args.Get());
            return "cancel=" + std::to_string(args->cancel());
        }
        if (kind == "new_window") {
            ComPtr<fake_new_window_args> args;
            args = adopt(new fake_new_window_args(widen(argument)));
            new_window_requested_.invoke(this, args.Get());
            return "handled=" + std::to_string(args->handled());
        }
        return "unknown event";
    }

    // Relay mode: calls go to the driver's real page from now on, and its events come back
    // here. Throws relay::error when the driver cannot be reached. On the UI thread only.
    void connect_relay(std::uint16_t port, HWND parent) {
        relay::handlers on;
        on.web_message = [this](const relay::web_message& m) {
            ComPtr<ICoreWebView2WebMessageReceivedEventArgs> args;
            args = adopt(new fake_web_message_args(m.text.value_or(std::wstring{}), m.text.has_value(), m.json, m.source));
            web_message_received_.invoke(this, args.Get());
        };
        on.navigation_completed = [](const relay::navigation_completed& n) {
            transport::instance().note("relay.navigation_completed(" + std::to_string(n.navigation_id) + "," +
                                       (n.success ? std::string("ok") : narrow(n.error.c_str())) + ")");
        };
        // The driver hung up or Chromium went away: the run ends as when its window is closed.
        on.closed = [parent](const std::wstring& reason) {
            transport::instance().note("relay.closed(" + narrow(reason.c_str()) + ")");
            if (const HWND top = GetAncestor(parent, GA_ROOT)) PostMessageW(top, WM_CLOSE, 0, 0);
        };
        relay_ = std::make_unique<relay::client>(port, std::move(on));
    }

    // The runtime lets its handlers go when the controller closes.
    void close() {
        relay_.reset();
        navigation_starting_.clear();
        frame_navigation_starting_.clear();
        permission_requested_.clear();
        web_message_received_.clear();
        new_window_requested_.clear();
    }

private:
    // As WebView2 does: the navigation starts after the call has returned; NavigationStarting
    // comes first, and only a navigation that no handler cancelled reaches the page.
    HRESULT start_navigation(std::wstring uri, std::optional<std::wstring> document) {
        ComPtr<fake_browser> self(this);
        transport::instance().post([self, uri = std::move(uri), document = std::move(document)] {
            ComPtr<fake_navigation_args> args;
            args = adopt(new fake_navigation_args(uri));
            self->navigation_starting_.invoke(self.Get(), args.Get());
            if (args->cancel()) {
                transport::instance().note("relay.navigation_canceled");
                return;
            }
            if (!self->relay_) return;
            if (document) self->relay_->navigate_to_string(*document);
            else self->relay_->navigate(uri);
        });
        return S_OK;
    }

    handler_list<ICoreWebView2NavigationStartingEventHandler> navigation_starting_;
    handler_list<ICoreWebView2NavigationStartingEventHandler> frame_navigation_starting_;
    handler_list<ICoreWebView2PermissionRequestedEventHandler> permission_requested_;
    handler_list<ICoreWebView2WebMessageReceivedEventHandler> web_message_received_;
    handler_list<ICoreWebView2NewWindowRequestedEventHandler> new_window_requested_;
    std::int64_t next_token_ = 1;
    int next_script_ = 1;
    // Last: it goes first, so that no callback of it finds the handler lists gone.
    std::unique_ptr<relay::client> relay_;
};

class fake_controller final : public fake<ICoreWebView2Controller> {
public:
    explicit fake_controller(HWND parent) : fake("controller"), parent_(parent) {
        browser_ = adopt(new fake_browser());
    }
    void connect_relay(std::uint16_t port) { browser_->connect_relay(port, parent_); }
    ~fake_controller() override { browser_->close(); }

    HRESULT STDMETHODCALLTYPE get_IsVisible(BOOL*) NOT_USED()
    HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL visible) override {
        return simple(call("put_IsVisible", std::to_string(visible)));
    }
    HRESULT STDMETHODCALLTYPE get_Bounds(RECT*) NOT_USED()
    HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) override {
        return simple(call("put_Bounds", std::to_string(bounds.left) + "," + std::to_string(bounds.top) + "," +
                                             std::to_string(bounds.right) + "," + std::to_string(bounds.bottom)));
    }
    HRESULT STDMETHODCALLTYPE get_ZoomFactor(double*) NOT_USED()
    HRESULT STDMETHODCALLTYPE put_ZoomFactor(double) NOT_USED()
    HRESULT STDMETHODCALLTYPE add_ZoomFactorChanged(ICoreWebView2ZoomFactorChangedEventHandler*, EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_ZoomFactorChanged(EventRegistrationToken) NOT_USED()
    HRESULT STDMETHODCALLTYPE SetBoundsAndZoomFactor(RECT, double) NOT_USED()
    HRESULT STDMETHODCALLTYPE MoveFocus(COREWEBVIEW2_MOVE_FOCUS_REASON reason) override {
        return simple(call("MoveFocus", std::to_string(reason)));
    }
    HRESULT STDMETHODCALLTYPE add_MoveFocusRequested(ICoreWebView2MoveFocusRequestedEventHandler*, EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_MoveFocusRequested(EventRegistrationToken) NOT_USED()
    HRESULT STDMETHODCALLTYPE add_GotFocus(ICoreWebView2FocusChangedEventHandler*, EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_GotFocus(EventRegistrationToken) NOT_USED()
    HRESULT STDMETHODCALLTYPE add_LostFocus(ICoreWebView2FocusChangedEventHandler*, EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_LostFocus(EventRegistrationToken) NOT_USED()
    HRESULT STDMETHODCALLTYPE add_AcceleratorKeyPressed(ICoreWebView2AcceleratorKeyPressedEventHandler*,
                                                        EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_AcceleratorKeyPressed(EventRegistrationToken) NOT_USED()
    HRESULT STDMETHODCALLTYPE get_ParentWindow(HWND* parent) override { return give(parent_, parent); }
    HRESULT STDMETHODCALLTYPE put_ParentWindow(HWND) NOT_USED()
    HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() NOT_USED()
    HRESULT STDMETHODCALLTYPE Close() override {
        call("Close");
        browser_->close();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** browser) override {
        if (browser == nullptr) return E_POINTER;
        *browser = nullptr;
        const outcome o = call("get_CoreWebView2");
        if (o.kind == outcome::fail) return o.hr;
        if (o.kind == outcome::null_result) return S_OK;
        browser_.CopyTo(browser);
        return S_OK;
    }

private:
    HWND parent_;
    ComPtr<fake_browser> browser_;
};

class fake_environment final : public fake<ICoreWebView2Environment> {
public:
    fake_environment() : fake("environment") {}
    HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
        HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) override {
        char details[32];
        wsprintfA(details, "%s", IsWindow(parent) ? "window" : "no window");
        return complete_as(call("CreateCoreWebView2Controller", details), handler,
                           [parent](ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* h, outcome o) {
                               if (o.kind == outcome::complete) {
                                   h->Invoke(o.hr, nullptr);
                               } else if (o.kind == outcome::null_result) {
                                   h->Invoke(S_OK, nullptr);
                               } else {
                                   ComPtr<fake_controller> controller;
                                   controller = adopt(new fake_controller(parent));
                                   // Relay mode: connected here, on the thread that asked for
                                   // the controller and runs its message loop.
                                   if (const std::uint16_t port = relay::port_from_environment()) {
                                       try {
                                           controller->connect_relay(port);
                                       } catch (const relay::error& e) {
                                           transport::instance().note(std::string("relay.failed(") + e.what() + ")");
                                           h->Invoke(e.code() != 0 ? HRESULT_FROM_WIN32(e.code()) : E_FAIL, nullptr);
                                           return;
                                       } catch (const std::exception&) {
                                           h->Invoke(E_OUTOFMEMORY, nullptr);
                                           return;
                                       }
                                   }
                                   h->Invoke(S_OK, controller.Get());
                               }
                           });
    }
    HRESULT STDMETHODCALLTYPE CreateWebResourceResponse(IStream*, int, LPCWSTR, LPCWSTR,
                                                        ICoreWebView2WebResourceResponse**) NOT_USED()
    HRESULT STDMETHODCALLTYPE get_BrowserVersionString(LPWSTR* version) override {
        return give_text(L"120.0.2210.91", version);
    }
    HRESULT STDMETHODCALLTYPE add_NewBrowserVersionAvailable(ICoreWebView2NewBrowserVersionAvailableEventHandler*,
                                                             EventRegistrationToken*) NOT_USED()
    HRESULT STDMETHODCALLTYPE remove_NewBrowserVersionAvailable(EventRegistrationToken) NOT_USED()
};

}  // namespace

HRESULT create_environment(const std::string& step, const std::string& details,
                           ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    return complete_as(transport::instance().call(step, details), handler,
                       [](ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* h, outcome o) {
                           if (o.kind == outcome::complete) {
                               h->Invoke(o.hr, nullptr);
                           } else if (o.kind == outcome::null_result) {
                               h->Invoke(S_OK, nullptr);
                           } else {
                               ComPtr<ICoreWebView2Environment> environment;
                               environment = adopt(new fake_environment());
                               h->Invoke(S_OK, environment.Get());
                           }
                       });
}

std::string describe(HRESULT hr) { return hex(hr); }

}  // namespace standin
