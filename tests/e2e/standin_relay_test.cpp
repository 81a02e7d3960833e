// The browser engine on the stand-in runtime in relay mode: its page is a real Chromium page
// behind the driver. Started by standin_relay.test.mjs, one case per driver (one connection
// each); this side checks what the program sees, the Node side what the page did.
#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "callback.h"
#include "standin_runtime.h"
#include "webview2.h"
#include "win32_edge_engine.h"
#include "win32_owners.h"

using Microsoft::WRL::ComPtr;
using webhost::detail::Callback;
using webhost::detail::win32_edge_engine;

namespace {

// A run that loses its page must fail the case, not hang it.
constexpr UINT watchdog_ms = 60000;

struct watchdog {
    static inline bool fired = false;
    UINT_PTR timer;
    watchdog() : timer(SetTimer(nullptr, 0, watchdog_ms, &watchdog::expire)) { fired = false; }
    ~watchdog() { KillTimer(nullptr, timer); }
    static void CALLBACK expire(HWND, UINT, UINT_PTR, DWORD) {
        fired = true;
        PostQuitMessage(0);
    }
};

ComPtr<ICoreWebView2> browser_of(win32_edge_engine& engine) {
    ComPtr<ICoreWebView2> browser;
    const auto controller = engine.get_controller();
    if (controller.has_value()) controller.value()->get_CoreWebView2(&browser);
    return browser;
}

// Every top-level navigation the program is asked about, cancelled when `cancel` says so.
struct navigation_log {
    std::vector<std::wstring> uris;
    bool cancel = false;
    void attach(ICoreWebView2* browser) {
        EventRegistrationToken token{};
        browser->add_NavigationStarting(
            Callback<ICoreWebView2NavigationStartingEventHandler>(
                [this](ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) -> HRESULT {
                    webhost::detail::co_task_string uri;
                    args->get_Uri(uri.put());
                    uris.push_back(uri.get() == nullptr ? L"" : uri.get());
                    if (cancel) args->put_Cancel(TRUE);
                    return S_OK;
                })
                .Get(),
            &token);
    }
};

const char* const page_head =
    "<!doctype html><html><head><meta charset='utf-8'>"
    "<style>body{margin:0;background:#14213d;color:#fca311;font:30px sans-serif}</style></head><body>";

}  // namespace

// Each case: the stand-in runtime (in relay mode, from the environment) and an engine on it.
class standin_relay : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(runtime.ready());
        engine.emplace(false, nullptr);
    }
    // The engine's browser, every navigation it is asked about logged in `navigations`.
    ComPtr<ICoreWebView2> watched_browser() {
        ComPtr<ICoreWebView2> browser = browser_of(*engine);
        if (browser) navigations.attach(browser.Get());
        return browser;
    }

    webhost_test::standin_runtime runtime;
    std::optional<win32_edge_engine> engine;
    navigation_log navigations;
};

// A string document with the host's bridge and an init script: the page calls a bound
// function, gets its reply, and tells the host what it saw.
TEST_F(standin_relay, a_string_document_talks_to_the_program) {
    const ComPtr<ICoreWebView2> browser = watched_browser();
    ASSERT_TRUE(browser);

    std::vector<std::string> echoed;
    std::string report;
    std::ignore = engine->bind("hostEcho", [&](std::string request) {
        echoed.push_back(request);
        return std::string(R"({"seen":)") + request + "}";
    });
    std::ignore = engine->bind("hostDone", [&](std::string request) {
        report = request;
        std::ignore = engine->terminate();
        return std::string("null");
    });
    engine->add_user_script("window.__initRan = typeof window.__webhost__;");
    std::ignore = engine->set_html(std::string(page_head) +
                     "<h1>Relay \xC3\xA9\xE2\x82\xAC</h1><script>"
                     "hostEcho('h\xC3\xA9llo \xE2\x82\xAC', 2).then(function (r) {"
                     "  return hostDone({ init: window.__initRan, reply: r, origin: location.origin });"
                     "});</script></body></html>");
    const watchdog guard;
    std::ignore = engine->run();
    ASSERT_FALSE(watchdog::fired) << "the page never reported";

    ASSERT_EQ(echoed.size(), 1u);
    EXPECT_EQ(echoed[0], "[\"h\xC3\xA9llo \xE2\x82\xAC\",2]");
    EXPECT_EQ(report,
              "[{\"init\":\"object\",\"reply\":{\"seen\":[\"h\xC3\xA9llo \xE2\x82\xAC\",2]},"
              "\"origin\":\"https://document.relay.invalid\"}]");
    ASSERT_EQ(navigations.uris.size(), 1u);
    EXPECT_EQ(navigations.uris[0].rfind(L"data:text/html;charset=utf-8;base64,", 0), 0u);
}

// A navigation that the program cancels never reaches the page; scripts still run there.
TEST_F(standin_relay, a_cancelled_navigation_stays_off_the_page) {
    navigations.cancel = true;
    const ComPtr<ICoreWebView2> browser = watched_browser();
    ASSERT_TRUE(browser);
    std::ignore = engine->set_html(std::string(page_head) + "<script>document.title = 'loaded';</script></body></html>");

    // Once the navigation has been asked about, the page is looked at.
    std::wstring where;
    std::ignore = engine->dispatch([&] {
        browser->ExecuteScript(L"location.href + '|' + document.title",
                               Callback<ICoreWebView2ExecuteScriptCompletedHandler>([&](HRESULT hr, LPCWSTR json) {
                                   EXPECT_EQ(hr, S_OK);
                                   where = json == nullptr ? L"(none)" : json;
                                   std::ignore = engine->terminate();
                                   return S_OK;
                               }).Get());
    });
    const watchdog guard;
    std::ignore = engine->run();
    ASSERT_FALSE(watchdog::fired) << "no answer from the page";
    ASSERT_EQ(navigations.uris.size(), 1u);
    EXPECT_EQ(where, L"\"about:blank|\"");
}

// The driver ends the run (the Node side hangs up on the page's message): the window closes
// and the loop ends, as when a user closes it.
TEST_F(standin_relay, the_window_closes_when_the_driver_hangs_up) {
    const auto window = engine->window();
    ASSERT_TRUE(window.has_value());
    const HWND top = window.value();
    std::ignore = engine->set_html(std::string(page_head) + "<script>chrome.webview.postMessage('hang up');</script></body></html>");
    const watchdog guard;
    std::ignore = engine->run();
    ASSERT_FALSE(watchdog::fired) << "the run outlived the driver";
    EXPECT_FALSE(IsWindow(top));
    EXPECT_TRUE(engine->window().has_error());
}
