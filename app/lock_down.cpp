#include "lock_down.h"

#include <wrl/client.h>

#include "callback.h"
#include "webview2.h"
#include "win32_owners.h"

using Microsoft::WRL::ComPtr;
using webhost::detail::Callback;

void lock_down(ICoreWebView2Controller* controller, std::shared_ptr<navigation_gate> gate) {
    if (controller == nullptr || gate == nullptr) return;
    ComPtr<ICoreWebView2> browser;
    if (FAILED(controller->get_CoreWebView2(&browser)) || !browser) return;

    ComPtr<ICoreWebView2Settings> settings;
    if (SUCCEEDED(browser->get_Settings(&settings)) && settings) {
        settings->put_AreDevToolsEnabled(FALSE);
        settings->put_AreDefaultContextMenusEnabled(FALSE);
        settings->put_IsStatusBarEnabled(FALSE);
        settings->put_IsZoomControlEnabled(FALSE);
        settings->put_AreHostObjectsAllowed(FALSE);
    }

    // The browser keeps each handler for as long as it lives; nothing removes them, so the
    // tokens are not kept.
    EventRegistrationToken token{};
    const auto allow_local_navigation = Callback<ICoreWebView2NavigationStartingEventHandler>(
        [gate](ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) -> HRESULT {
            if (args == nullptr) return S_OK;
            win32::unique_cotaskmem<wchar_t> uri;
            args->get_Uri(uri.put());
            // An address that cannot be read is no document of ours.
            const wchar_t* text = uri.get();
            if (!gate->admit(text == nullptr ? L"" : text)) args->put_Cancel(TRUE);
            return S_OK;
        });
    if (allow_local_navigation) browser->add_NavigationStarting(allow_local_navigation.Get(), &token);

    const auto cancel_frame_navigation = Callback<ICoreWebView2NavigationStartingEventHandler>(
        [](ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) -> HRESULT {
            if (args != nullptr) args->put_Cancel(TRUE);
            return S_OK;
        });
    if (cancel_frame_navigation) browser->add_FrameNavigationStarting(cancel_frame_navigation.Get(), &token);

    // Handled without a new window: nothing opens and the Setup window stays on its page.
    const auto block_new_window = Callback<ICoreWebView2NewWindowRequestedEventHandler>(
        [](ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs* args) -> HRESULT {
            if (args != nullptr) args->put_Handled(TRUE);
            return S_OK;
        });
    if (block_new_window) browser->add_NewWindowRequested(block_new_window.Get(), &token);

    const auto deny_permission = Callback<ICoreWebView2PermissionRequestedEventHandler>(
        [](ICoreWebView2*, ICoreWebView2PermissionRequestedEventArgs* args) -> HRESULT {
            if (args != nullptr) args->put_State(COREWEBVIEW2_PERMISSION_STATE_DENY);
            return S_OK;
        });
    if (deny_permission) browser->add_PermissionRequested(deny_permission.Get(), &token);
}
