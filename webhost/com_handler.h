#pragma once
// The COM object that takes the browser's creation through its two steps (environment, then
// controller), retries a failed step up to the attempt limit, and afterwards receives the
// page's messages and permission requests.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "webview2.h"

namespace webhost::detail {

// The invalid-state result: ends the attempts without a retry.
inline constexpr HRESULT invalid_state_result = static_cast<HRESULT>(0x8007139F);

class webview2_com_handler final : public ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                                   public ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                                   public ICoreWebView2WebMessageReceivedEventHandler,
                                   public ICoreWebView2PermissionRequestedEventHandler {
public:
    using message_callback = std::function<void(std::string)>;
    // Called once when the chain ends: with the controller and the browser, or two nulls.
    using completion_callback = std::function<void(ICoreWebView2Controller*, ICoreWebView2*)>;

    webview2_com_handler(HWND window, message_callback on_message, completion_callback on_completion);
    webview2_com_handler(const webview2_com_handler&) = delete;
    webview2_com_handler& operator=(const webview2_com_handler&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE Invoke(HRESULT result, ICoreWebView2Environment* environment) override;
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT result, ICoreWebView2Controller* controller) override;
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender, ICoreWebView2WebMessageReceivedEventArgs* args) override;
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender, ICoreWebView2PermissionRequestedEventArgs* args) override;

    void set_attempt(std::function<HRESULT()> attempt) { attempt_ = std::move(attempt); }
    // Makes attempts while fewer than the limit were made; ends the chain when they are spent.
    void run_attempts();
    std::uint32_t attempt_count() const noexcept { return attempt_count_; }

    // After this no completion reaches its callback (the wait that wanted it is over).
    void end_creation() noexcept;
    // Unregisters from the browser with the kept tokens and lets no callback through any more.
    void detach(ICoreWebView2* browser) noexcept;

    static constexpr std::uint32_t attempt_limit = 5;

private:
    ~webview2_com_handler() = default;
    void complete(ICoreWebView2Controller* controller, ICoreWebView2* browser);

    HWND window_;
    message_callback on_message_;
    completion_callback on_completion_;
    std::atomic<ULONG> count_{1};
    std::function<HRESULT()> attempt_;
    std::uint32_t attempt_count_ = 0;
    bool creation_over_ = false;
    EventRegistrationToken message_token_{};
    EventRegistrationToken permission_token_{};
    bool message_registered_ = false;
    bool permission_registered_ = false;
};

// The page's text in UTF-8; empty when it is not valid UTF-16.
std::string narrow_strict(const wchar_t* text);

}  // namespace webhost::detail
