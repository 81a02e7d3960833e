// Checks, while this file compiles, that every WebView2 method we call (or implement) sits in
// the vtable slot that the runtime expects. Under the Itanium C++ ABI that mingw-w64 uses, a
// pointer to a virtual member function holds 1 + 8 * slot (on x64); with optimisation the
// comparison folds to a constant and a mismatch leaves a call to a function marked as an
// error. This file is always compiled with -O2 (see CMakeLists.txt).

#include <cstdint>
#include <cstring>

#include "webview2.h"

void webview2_slot_differs_from_the_runtime() __attribute__((error("a WebView2 method is not in its vtable slot")));

namespace {
template <typename Member>
inline std::intptr_t member_bits(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(std::intptr_t));
    std::intptr_t bits;
    std::memcpy(&bits, &member, sizeof bits);
    return bits;
}

#define WEBVIEW2_SLOT(member, slot) \
    if (member_bits(&member) != 1 + static_cast<std::intptr_t>(sizeof(void*)) * (slot)) \
        webview2_slot_differs_from_the_runtime();

static_assert(sizeof(EventRegistrationToken) == 8 && alignof(EventRegistrationToken) == 8);
static_assert(sizeof(RECT) == 16 && sizeof(BOOL) == 4 && sizeof(wchar_t) == 2);
static_assert(sizeof(COREWEBVIEW2_PERMISSION_KIND) == 4 && sizeof(COREWEBVIEW2_MOVE_FOCUS_REASON) == 4);

}  // namespace

// Never called; it exists so that the checks are compiled.
extern "C" void webhost_webview2_slot_checks() {
    WEBVIEW2_SLOT(ICoreWebView2::get_Settings, 3)
    WEBVIEW2_SLOT(ICoreWebView2::Navigate, 5)
    WEBVIEW2_SLOT(ICoreWebView2::NavigateToString, 6)
    WEBVIEW2_SLOT(ICoreWebView2::add_NavigationStarting, 7)
    WEBVIEW2_SLOT(ICoreWebView2::remove_NavigationStarting, 8)
    WEBVIEW2_SLOT(ICoreWebView2::add_FrameNavigationStarting, 17)
    WEBVIEW2_SLOT(ICoreWebView2::remove_FrameNavigationStarting, 18)
    WEBVIEW2_SLOT(ICoreWebView2::add_PermissionRequested, 23)
    WEBVIEW2_SLOT(ICoreWebView2::remove_PermissionRequested, 24)
    WEBVIEW2_SLOT(ICoreWebView2::AddScriptToExecuteOnDocumentCreated, 27)
    WEBVIEW2_SLOT(ICoreWebView2::RemoveScriptToExecuteOnDocumentCreated, 28)
    WEBVIEW2_SLOT(ICoreWebView2::ExecuteScript, 29)
    WEBVIEW2_SLOT(ICoreWebView2::add_WebMessageReceived, 34)
    WEBVIEW2_SLOT(ICoreWebView2::remove_WebMessageReceived, 35)
    WEBVIEW2_SLOT(ICoreWebView2::add_NewWindowRequested, 44)
    WEBVIEW2_SLOT(ICoreWebView2::remove_NewWindowRequested, 45)

    WEBVIEW2_SLOT(ICoreWebView2Controller::put_IsVisible, 4)
    WEBVIEW2_SLOT(ICoreWebView2Controller::put_Bounds, 6)
    WEBVIEW2_SLOT(ICoreWebView2Controller::MoveFocus, 12)
    WEBVIEW2_SLOT(ICoreWebView2Controller::Close, 24)
    WEBVIEW2_SLOT(ICoreWebView2Controller::get_CoreWebView2, 25)

    WEBVIEW2_SLOT(ICoreWebView2Settings::put_IsStatusBarEnabled, 10)
    WEBVIEW2_SLOT(ICoreWebView2Settings::put_AreDevToolsEnabled, 12)
    WEBVIEW2_SLOT(ICoreWebView2Settings::put_AreDefaultContextMenusEnabled, 14)
    WEBVIEW2_SLOT(ICoreWebView2Settings::put_AreHostObjectsAllowed, 16)
    WEBVIEW2_SLOT(ICoreWebView2Settings::put_IsZoomControlEnabled, 18)

    WEBVIEW2_SLOT(ICoreWebView2Environment::CreateCoreWebView2Controller, 3)

    WEBVIEW2_SLOT(ICoreWebView2WebMessageReceivedEventArgs::TryGetWebMessageAsString, 5)
    WEBVIEW2_SLOT(ICoreWebView2PermissionRequestedEventArgs::get_PermissionKind, 4)
    WEBVIEW2_SLOT(ICoreWebView2PermissionRequestedEventArgs::put_State, 7)
    WEBVIEW2_SLOT(ICoreWebView2NavigationStartingEventArgs::get_Uri, 3)
    WEBVIEW2_SLOT(ICoreWebView2NavigationStartingEventArgs::put_Cancel, 8)
    WEBVIEW2_SLOT(ICoreWebView2NewWindowRequestedEventArgs::put_Handled, 6)

    WEBVIEW2_SLOT(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler::Invoke, 3)
    WEBVIEW2_SLOT(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler::Invoke, 3)
    WEBVIEW2_SLOT(ICoreWebView2WebMessageReceivedEventHandler::Invoke, 3)
    WEBVIEW2_SLOT(ICoreWebView2PermissionRequestedEventHandler::Invoke, 3)
    WEBVIEW2_SLOT(ICoreWebView2NavigationStartingEventHandler::Invoke, 3)
    WEBVIEW2_SLOT(ICoreWebView2NewWindowRequestedEventHandler::Invoke, 3)
    WEBVIEW2_SLOT(ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler::Invoke, 3)
    WEBVIEW2_SLOT(ICoreWebView2ExecuteScriptCompletedHandler::Invoke, 3)
}
