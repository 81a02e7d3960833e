#include <gtest/gtest.h>

#include <objbase.h>

#include <cstring>
#include <functional>
#include <string>

#include "standin_runtime.h"
#include "webhost.h"

namespace {

void nothing(webhost_t, void*) {}
void no_call(const char*, const char*, void*) {}

}  // namespace

// Without an engine: the argument tests come before the handle test, and a null handle is
// refused with invalid_argument (or null) without anything else happening.
TEST(HandleInterface, ArgumentChecksAndCodes) {
    const webhost_t none = nullptr;
    const struct {
        const char* call;
        std::function<int()> run;
        int expected;
    } cases[] = {
        {"destroy(null)", [&] { return webhost_destroy(none); }, -2},
        {"run(null)", [&] { return webhost_run(none); }, -2},
        {"terminate(null)", [&] { return webhost_terminate(none); }, -2},
        {"dispatch(null, null fn)", [&] { return webhost_dispatch(none, nullptr, nullptr); }, -2},
        {"dispatch(null, fn)", [&] { return webhost_dispatch(none, nothing, nullptr); }, -2},
        {"set_title(null, null)", [&] { return webhost_set_title(none, nullptr); }, -2},
        {"set_title(null, text)", [&] { return webhost_set_title(none, "t"); }, -2},
        {"set_size(null)", [&] { return webhost_set_size(none, 1, 2, WEBHOST_HINT_NONE); }, -2},
        {"navigate(null, null)", [&] { return webhost_navigate(none, nullptr); }, -2},
        {"navigate(null, \"\")", [&] { return webhost_navigate(none, ""); }, -2},
        {"set_html(null, null)", [&] { return webhost_set_html(none, nullptr); }, -2},
        {"add_script(null, null)", [&] { return webhost_add_script(none, nullptr); }, -2},
        {"add_script(null, js)", [&] { return webhost_add_script(none, "1"); }, -2},
        {"eval(null, null)", [&] { return webhost_eval(none, nullptr); }, -2},
        {"bind(null, null name)", [&] { return webhost_bind(none, nullptr, no_call, nullptr); }, -2},
        {"bind(null, name, null fn)", [&] { return webhost_bind(none, "f", nullptr, nullptr); }, -2},
        {"bind(null, name, fn)", [&] { return webhost_bind(none, "f", no_call, nullptr); }, -2},
        {"unbind(null, null)", [&] { return webhost_unbind(none, nullptr); }, -2},
        {"unbind(null, name)", [&] { return webhost_unbind(none, "f"); }, -2},
        {"reply(null, null id)", [&] { return webhost_reply(none, nullptr, 0, ""); }, -2},
        {"reply(null, id, null result)", [&] { return webhost_reply(none, "1", 0, nullptr); }, -2},
        {"reply(null, id, result)", [&] { return webhost_reply(none, "1", 0, ""); }, -2},
    };
    for (const auto& c : cases) EXPECT_EQ(c.run(), c.expected) << c.call;
    EXPECT_EQ(webhost_get_window(none), nullptr);
    for (int kind : {0, 1, 2, 3, -1}) {
        EXPECT_EQ(webhost_native_handle(none, static_cast<webhost_native_handle_kind>(kind)), nullptr);
    }
}

TEST(HandleInterface, VersionIsOneConstantRecord) {
    const webhost_version_info_t* version = webhost_version();
    ASSERT_EQ(version, webhost_version());
    EXPECT_EQ(version->version.major, 0u);
    EXPECT_EQ(version->version.minor, 12u);
    EXPECT_EQ(version->version.patch, 0u);
    EXPECT_STREQ(version->version_number, "0.12.0");
    EXPECT_STREQ(version->pre_release, "");
    EXPECT_STREQ(version->build_metadata, "");
}

TEST(HandleInterface, CreateGivesNullWithoutARuntime) {
    webhost_test::remove_every_runtime();
    EXPECT_EQ(webhost_create(0, nullptr), nullptr);
}

namespace {
struct calls {
    int count = 0;
    std::string last_id;
};
void count_call(const char* id, const char*, void* arg) {
    auto* seen = static_cast<calls*>(arg);
    ++seen->count;
    seen->last_id = id;
}
void stop(webhost_t w, void*) { webhost_terminate(w); }
}  // namespace

// With an engine on the stand-in: codes of the operations, handles, empty navigation, reply
// shapes and unbinding.
TEST(HandleInterface, OperationsOnAWorkingEngine) {
    webhost_test::standin_runtime runtime;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    webhost_t w = webhost_create(0, nullptr);
    ASSERT_NE(w, nullptr);

    void* window = webhost_native_handle(w, WEBHOST_NATIVE_HANDLE_KIND_UI_WINDOW);
    EXPECT_NE(window, nullptr);
    EXPECT_EQ(webhost_get_window(w), window);
    EXPECT_EQ(GetParent(static_cast<HWND>(webhost_native_handle(w, WEBHOST_NATIVE_HANDLE_KIND_UI_WIDGET))),
              static_cast<HWND>(window));
    EXPECT_NE(webhost_native_handle(w, WEBHOST_NATIVE_HANDLE_KIND_BROWSER_CONTROLLER), nullptr);
    EXPECT_EQ(webhost_native_handle(w, static_cast<webhost_native_handle_kind>(3)), nullptr);
    EXPECT_EQ(webhost_native_handle(w, static_cast<webhost_native_handle_kind>(-1)), nullptr);

    EXPECT_EQ(webhost_navigate(w, ""), 0);
    EXPECT_EQ(runtime.calls("browser.Navigate(").back(), "browser.Navigate(about:blank)");
    EXPECT_EQ(webhost_set_title(w, "T\xc3\xa9"), 0);
    wchar_t title[8] = {};
    GetWindowTextW(static_cast<HWND>(window), title, 8);
    EXPECT_STREQ(title, L"T\u00e9");

    calls first, second;
    EXPECT_EQ(webhost_bind(w, "f", count_call, &first), 0);
    EXPECT_EQ(webhost_bind(w, "f", count_call, &second), 1);
    EXPECT_EQ(webhost_unbind(w, "never bound"), 2);
    EXPECT_TRUE(runtime.calls("browser.ExecuteScript(if (window.__webhost__) {\\nwindow.__webhost__.onUnbind(").empty());

    // A page call reaches the first binding only: the second bind of the name was refused.
    runtime.raise("web_message", R"({"id":"9","method":"f","params":[]})");

    EXPECT_EQ(webhost_reply(w, "5", 0, nullptr), -2);
    EXPECT_EQ(webhost_reply(w, "5", 0, ""), 0);
    EXPECT_EQ(webhost_reply(w, "6", -1, "true"), 0);
    webhost_dispatch(w, stop, nullptr);
    webhost_run(w);
    const auto replies = runtime.calls("browser.ExecuteScript(window.__webhost__.onReply(");
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], "browser.ExecuteScript(window.__webhost__.onReply(\"5\", 0, undefined))");
    EXPECT_EQ(replies[1], "browser.ExecuteScript(window.__webhost__.onReply(\"6\", -1, \"true\"))");

    EXPECT_EQ(webhost_destroy(w), 0);
    CoUninitialize();
    EXPECT_EQ(first.count, 1);
    EXPECT_EQ(first.last_id, "9");
    EXPECT_EQ(second.count, 0);
}
