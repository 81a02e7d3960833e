#include "com_handler.h"

#include <wrl/client.h>

#include <climits>
#include <cwchar>

#include "win32_owners.h"

using Microsoft::WRL::ComPtr;

namespace webhost::detail {

std::string narrow_strict(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') return {};
    const std::size_t length = std::wcslen(text);
    if (length > static_cast<std::size_t>(INT_MAX)) return {};
    const int units = static_cast<int>(length);
    const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, units, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string narrow(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, units, narrow.data(), needed, nullptr, nullptr) <= 0) {
        return {};
    }
    return narrow;
}

webview2_com_handler::webview2_com_handler(HWND window, message_callback on_message, completion_callback on_completion)
    : window_(window), on_message_(std::move(on_message)), on_completion_(std::move(on_completion)) {}

HRESULT STDMETHODCALLTYPE webview2_com_handler::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    void* answer = nullptr;
    if (iid == __uuidof(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler) || iid == __uuidof(IUnknown)) {
        answer = static_cast<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*>(this);
    } else if (iid == __uuidof(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler)) {
        answer = static_cast<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler*>(this);
    } else if (iid == __uuidof(ICoreWebView2WebMessageReceivedEventHandler)) {
        answer = static_cast<ICoreWebView2WebMessageReceivedEventHandler*>(this);
    } else if (iid == __uuidof(ICoreWebView2PermissionRequestedEventHandler)) {
        answer = static_cast<ICoreWebView2PermissionRequestedEventHandler*>(this);
    }
    *out = answer;
    if (answer == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE webview2_com_handler::AddRef() { return ++count_; }

ULONG STDMETHODCALLTYPE webview2_com_handler::Release() {
    const ULONG left = --count_;
    if (left == 0) delete this;
    return left;
}

void webview2_com_handler::complete(ICoreWebView2Controller* controller, ICoreWebView2* browser) {
    if (creation_over_) return;
    creation_over_ = true;
    // The callback may end the wait that owns it: move it out first.
    auto callback = std::move(on_completion_);
    on_completion_ = nullptr;
    if (callback) callback(controller, browser);
}

void webview2_com_handler::run_attempts() {
    while (!creation_over_ && attempt_count_ < attempt_limit) {
        ++attempt_count_;
        const HRESULT hr = attempt_ ? attempt_() : E_FAIL;
        if (hr == invalid_state_result) {
            complete(nullptr, nullptr);
            return;
        }
        if (SUCCEEDED(hr)) return;
    }
    complete(nullptr, nullptr);
}

void webview2_com_handler::end_creation() noexcept {
    creation_over_ = true;
    on_completion_ = nullptr;
    attempt_ = nullptr;
}

void webview2_com_handler::detach(ICoreWebView2* browser) noexcept {
    end_creation();
    on_message_ = nullptr;
    if (browser != nullptr) {
        if (message_registered_) browser->remove_WebMessageReceived(message_token_);
        if (permission_registered_) browser->remove_PermissionRequested(permission_token_);
    }
    message_registered_ = permission_registered_ = false;
}

HRESULT STDMETHODCALLTYPE webview2_com_handler::Invoke(HRESULT result, ICoreWebView2Environment* environment) {
    if (creation_over_) return S_OK;
    // A success without an environment is a failed step.
    if (SUCCEEDED(result) && environment != nullptr &&
        SUCCEEDED(environment->CreateCoreWebView2Controller(window_, this))) {
        return S_OK;
    }
    run_attempts();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webview2_com_handler::Invoke(HRESULT result, ICoreWebView2Controller* controller) {
    if (creation_over_) return S_OK;
    if (result == E_ABORT || result == invalid_state_result) {
        // No retry, but the chain ends: nothing else would end the wait.
        complete(nullptr, nullptr);
        return S_OK;
    }
    ComPtr<ICoreWebView2> browser;
    if (FAILED(result) || controller == nullptr || FAILED(controller->get_CoreWebView2(&browser)) || !browser) {
        run_attempts();
        return S_OK;
    }
    message_registered_ = SUCCEEDED(browser->add_WebMessageReceived(this, &message_token_));
    permission_registered_ = SUCCEEDED(browser->add_PermissionRequested(this, &permission_token_));
    complete(controller, browser.Get());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webview2_com_handler::Invoke(ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) {
    if (args == nullptr || !on_message_) return S_OK;
    co_task_string text;
    if (FAILED(args->TryGetWebMessageAsString(text.put()))) return S_OK;
    std::string message = narrow_strict(text.get());
    // Copied: the callback may detach this handler.
    auto callback = on_message_;
    try {
        callback(std::move(message));
    } catch (...) {
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webview2_com_handler::Invoke(ICoreWebView2*, ICoreWebView2PermissionRequestedEventArgs* args) {
    if (args == nullptr) return S_OK;
    COREWEBVIEW2_PERMISSION_KIND kind = COREWEBVIEW2_PERMISSION_KIND_UNKNOWN_PERMISSION;
    // A kind that could not be read is not granted.
    if (SUCCEEDED(args->get_PermissionKind(&kind)) && kind == COREWEBVIEW2_PERMISSION_KIND_CLIPBOARD_READ) {
        args->put_State(COREWEBVIEW2_PERMISSION_STATE_ALLOW);
    }
    return S_OK;
}

}  // namespace webhost::detail
