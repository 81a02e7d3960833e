// The program's end of the relay against the real driver and Chromium. Started by
// relay.test.mjs, which runs the driver and checks its side (screenshot, processes).
#include <gtest/gtest.h>

#include "relay_client.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// The program's own GetMessageW loop until `done`, bounded so that a lost reply fails the
// test instead of hanging it.
bool pump_until(const std::function<bool()>& done, ULONGLONG limit_ms = 120000) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, nullptr);
    bool reached = done();
    MSG msg;
    while (!reached && GetTickCount64() < deadline && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        reached = done();
    }
    KillTimer(nullptr, timer);
    return reached;
}

struct recorder {
    std::vector<relay::web_message> messages;
    std::vector<relay::navigation_completed> navigations;
    std::vector<std::wstring> closed;
    std::vector<DWORD> threads;

    relay::handlers handlers() {
        relay::handlers h;
        h.web_message = [this](const relay::web_message& m) {
            messages.push_back(m);
            threads.push_back(GetCurrentThreadId());
        };
        h.navigation_completed = [this](const relay::navigation_completed& n) {
            navigations.push_back(n);
            threads.push_back(GetCurrentThreadId());
        };
        h.closed = [this](const std::wstring& reason) {
            closed.push_back(reason);
            threads.push_back(GetCurrentThreadId());
        };
        return h;
    }
};

// One request's answer, taken from inside the loop.
struct answer {
    bool arrived = false;
    relay::reply reply;
    DWORD thread = 0;
    relay::client::reply_fn fn() {
        return [this](const relay::reply& r) {
            arrived = true;
            reply = r;
            thread = GetCurrentThreadId();
        };
    }
};

relay::reply wait_for(answer& a) {
    EXPECT_TRUE(pump_until([&] { return a.arrived; })) << "no reply";
    return a.reply;
}

const wchar_t* const page_document =
    L"<!doctype html><html><head><meta charset='utf-8'>"
    L"<meta http-equiv='Content-Security-Policy' content=\"default-src 'none'; style-src 'unsafe-inline'; "
    L"script-src 'unsafe-inline'; img-src data:\">"
    L"<style>body{margin:0;background:#1d3557;color:#f1faee;font:28px sans-serif}</style></head>"
    L"<body><h1 id='title'>Relay page \u00e9\u20ac</h1><script>"
    L"window.__pageSawInit = window.__relayInit;"
    L"chrome.webview.addEventListener('message', function (e) {"
    L"  chrome.webview.postMessage({ echo: e.data, type: typeof e.data });"
    L"});"
    L"chrome.webview.postMessage('ready');"
    L"chrome.webview.postMessage({ kind: 'hello', n: 1, text: '\u00fc\u20ac\U0001F600' });"
    L"</script></body></html>";

std::uint64_t navigate_and_wait(recorder& events, const std::function<bool(relay::client::reply_fn)>& start) {
    answer started;
    EXPECT_TRUE(start(started.fn()));
    const relay::reply r = wait_for(started);
    EXPECT_TRUE(r.ok) << relay::to_utf8(r.error);
    EXPECT_NE(r.navigation_id, 0u);
    const bool completed = pump_until([&] {
        for (const auto& n : events.navigations) {
            if (n.navigation_id == r.navigation_id) return true;
        }
        return false;
    });
    EXPECT_TRUE(completed) << "no navigation completion";
    return r.navigation_id;
}

std::wstring script_json(relay::client& client, const std::wstring& script) {
    answer a;
    EXPECT_TRUE(client.execute_script(script, a.fn()));
    const relay::reply r = wait_for(a);
    EXPECT_TRUE(r.ok) << relay::to_utf8(r.error);
    EXPECT_FALSE(r.exception) << relay::to_utf8(script) << ": " << relay::to_utf8(r.exception.value_or(L""));
    return r.json;
}

}  // namespace

TEST(relay_text, address_is_loopback_with_a_port) {
    EXPECT_EQ(relay::parse_address(L"127.0.0.1:4567"), 4567);
    EXPECT_EQ(relay::parse_address(L"127.0.0.1:65535"), 65535);
    EXPECT_EQ(relay::parse_address(L"127.0.0.1:65536"), 0);
    EXPECT_EQ(relay::parse_address(L"127.0.0.1:0"), 0);
    EXPECT_EQ(relay::parse_address(L"127.0.0.1:"), 0);
    EXPECT_EQ(relay::parse_address(L"127.0.0.1:12a"), 0);
    EXPECT_EQ(relay::parse_address(L"127.0.0.1:123456"), 0);
    EXPECT_EQ(relay::parse_address(L"10.0.0.1:4567"), 0);
    EXPECT_EQ(relay::parse_address(L"localhost:4567"), 0);
    EXPECT_EQ(relay::parse_address(L""), 0);
}

TEST(relay_text, utf8_at_the_edge) {
    const std::wstring text = L"a\u00e9\u20ac\U0001F600";
    EXPECT_EQ(relay::to_utf8(text), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(relay::to_wide(relay::to_utf8(text)), text);
    // A lone surrogate cannot be UTF-8: it crosses as U+FFFD rather than as broken bytes.
    EXPECT_EQ(relay::to_utf8(std::wstring(L"x") + wchar_t(0xD800) + L"y"), "x\xEF\xBF\xBDy");
    EXPECT_EQ(relay::to_wide("x\xFFy"), L"x\uFFFDy");
}

TEST(relay_text, no_driver_is_a_connect_error) {
    // Port 1 on loopback has no listener here.
    EXPECT_THROW(relay::client(1, {}), relay::error);
    EXPECT_THROW(relay::client(0, {}), relay::error);
}

class relay_session : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        events = std::make_unique<recorder>();
        const std::uint16_t port = relay::port_from_environment();
        ASSERT_NE(port, 0) << "VANTREL_WEBVIEW2_RELAY is not set: run this through relay.test.mjs";
        client = std::make_unique<relay::client>(port, events->handlers());
    }
    static void TearDownTestSuite() {
        client.reset();
        events.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(client) << "no relay connection";
    }

    static std::wstring removed_id;
    static std::unique_ptr<recorder> events;
    static std::unique_ptr<relay::client> client;
};

std::wstring relay_session::removed_id;
std::unique_ptr<recorder> relay_session::events;
std::unique_ptr<relay::client> relay_session::client;

TEST_F(relay_session, init_scripts_run_in_the_string_document_before_its_own_scripts) {
    answer first, second;
    ASSERT_TRUE(client->add_script(L"window.__relayInit = 'ran first';", first.fn()));
    ASSERT_TRUE(client->add_script(L"window.__relaySecond = (window.__relayInit || '') + ' then second';", second.fn()));
    ASSERT_TRUE(wait_for(first).ok);
    ASSERT_TRUE(wait_for(second).ok);
    EXPECT_FALSE(first.reply.script_id.empty());
    EXPECT_NE(first.reply.script_id, second.reply.script_id);
    removed_id = second.reply.script_id;

    navigate_and_wait(*events, [&](auto fn) { return client->navigate_to_string(page_document, fn); });
    EXPECT_EQ(script_json(*client, L"window.__pageSawInit"), L"\"ran first\"");
    EXPECT_EQ(script_json(*client, L"window.__relaySecond"), L"\"ran first then second\"");
    EXPECT_EQ(script_json(*client, L"document.getElementById('title').textContent"), L"\"Relay page \u00e9\u20ac\"");
    ASSERT_FALSE(events->navigations.empty());
    EXPECT_TRUE(events->navigations.back().success) << relay::to_utf8(events->navigations.back().error);
}

TEST_F(relay_session, page_messages_reach_the_program_as_json_and_as_string) {
    ASSERT_TRUE(pump_until([&] { return events->messages.size() >= 2; }));
    const relay::web_message& ready = events->messages[0];
    EXPECT_EQ(ready.json, L"\"ready\"");
    ASSERT_TRUE(ready.text);
    EXPECT_EQ(*ready.text, L"ready");
    const relay::web_message& hello = events->messages[1];
    EXPECT_EQ(hello.json, L"{\"kind\":\"hello\",\"n\":1,\"text\":\"\u00fc\u20ac\U0001F600\"}");
    EXPECT_FALSE(hello.text) << "an object is not a string message";
}

TEST_F(relay_session, script_results_as_webview2_gives_them) {
    struct expected {
        const wchar_t* script;
        const wchar_t* json;
    };
    const expected cases[] = {
        {L"6 * 7", L"42"},
        {L"1.5", L"1.5"},
        {L"'say \"hi\"\\n' + '\u00e9'", L"\"say \\\"hi\\\"\\n\u00e9\""},
        {L"({ a: [1, 'b'], c: null })", L"{\"a\":[1,\"b\"],\"c\":null}"},
        {L"undefined", L"null"},
        {L"var declared = 3", L"null"},
        {L"declared + 1", L"4"},  // a global eval: the var above became a global
        {L"function f() { return 7; } f()", L"7"},
        {L"Promise.resolve(5)", L"{}"},  // not awaited
        {L"var o = {}; o.self = o; o", L"null"},
    };
    // All sent at once: the answers come back one each, in order.
    std::vector<answer> answers(std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        ASSERT_TRUE(client->execute_script(cases[i].script, answers[i].fn()));
    }
    ASSERT_TRUE(pump_until([&] { return answers.back().arrived; }));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        ASSERT_TRUE(answers[i].arrived) << relay::to_utf8(cases[i].script);
        EXPECT_TRUE(answers[i].reply.ok) << relay::to_utf8(cases[i].script);
        EXPECT_EQ(answers[i].reply.json, cases[i].json) << relay::to_utf8(cases[i].script);
        EXPECT_FALSE(answers[i].reply.exception) << relay::to_utf8(cases[i].script);
        EXPECT_EQ(answers[i].thread, GetCurrentThreadId());
    }

    answer thrown;
    ASSERT_TRUE(client->execute_script(L"throw new TypeError('boom')", thrown.fn()));
    const relay::reply r = wait_for(thrown);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.json, L"null");
    ASSERT_TRUE(r.exception);
    EXPECT_EQ(*r.exception, L"TypeError: boom");

    answer broken;
    ASSERT_TRUE(client->execute_script(L"this is not a script", broken.fn()));
    ASSERT_TRUE(wait_for(broken).exception);
    EXPECT_NE(broken.reply.exception->find(L"SyntaxError"), std::wstring::npos);
}

TEST_F(relay_session, host_messages_reach_the_page_listener) {
    const std::size_t before = events->messages.size();
    answer as_json, as_string, invalid;
    ASSERT_TRUE(client->post_web_message_as_json(L"{\"ping\":[1,2]}", as_json.fn()));
    ASSERT_TRUE(client->post_web_message_as_string(L"{\"ping\":\u00e9}", as_string.fn()));
    ASSERT_TRUE(client->post_web_message_as_json(L"{not json", invalid.fn()));
    EXPECT_TRUE(wait_for(as_json).ok);
    EXPECT_TRUE(wait_for(as_string).ok);
    EXPECT_FALSE(wait_for(invalid).ok);
    EXPECT_FALSE(invalid.reply.error.empty());
    ASSERT_TRUE(pump_until([&] { return events->messages.size() >= before + 2; }));
    EXPECT_EQ(events->messages[before].json, L"{\"echo\":{\"ping\":[1,2]},\"type\":\"object\"}");
    // A string message stays a string, even when it looks like JSON.
    EXPECT_EQ(events->messages[before + 1].json, L"{\"echo\":\"{\\\"ping\\\":\u00e9}\",\"type\":\"string\"}");
}

TEST_F(relay_session, screenshot_of_the_document) {
    answer shot, outside;
    ASSERT_TRUE(client->screenshot(L"screens\\string-document.png", shot.fn()));
    ASSERT_TRUE(client->screenshot(L"..\\outside.png", outside.fn()));
    EXPECT_TRUE(wait_for(shot).ok) << relay::to_utf8(shot.reply.error);
    EXPECT_FALSE(wait_for(outside).ok);
}

TEST_F(relay_session, a_removed_script_stays_out_of_later_documents) {
    answer removed, unknown;
    ASSERT_FALSE(removed_id.empty());
    ASSERT_TRUE(client->remove_script(removed_id, removed.fn()));
    ASSERT_TRUE(client->remove_script(L"no such script", unknown.fn()));
    EXPECT_TRUE(wait_for(removed).ok);
    EXPECT_TRUE(wait_for(unknown).ok);
    // The current document keeps what already ran.
    EXPECT_EQ(script_json(*client, L"typeof window.__relaySecond"), L"\"string\"");

    navigate_and_wait(*events, [&](auto fn) { return client->navigate_to_string(page_document, fn); });
    EXPECT_EQ(script_json(*client, L"typeof window.__relaySecond"), L"\"undefined\"");
    EXPECT_EQ(script_json(*client, L"window.__pageSawInit"), L"\"ran first\"");
    EXPECT_EQ(script_json(*client, L"typeof declared"), L"\"undefined\"") << "a fresh window each time";
}

TEST_F(relay_session, large_documents_and_results_cross_whole) {
    // Over the 2 MiB a data: URL may hold, and over any socket buffer.
    // Hidden: laying out one long word would only cost browser time.
    std::wstring big = L"<!doctype html><meta charset='utf-8'><body><p id='big' hidden>";
    big.append(3u << 20, L'x');
    big += L"\u00e9</p></body>";
    navigate_and_wait(*events, [&](auto fn) { return client->navigate_to_string(big, fn); });
    ASSERT_FALSE(events->navigations.empty());
    EXPECT_TRUE(events->navigations.back().success);
    EXPECT_EQ(script_json(*client, L"document.getElementById('big').textContent.length"), std::to_wstring((3u << 20) + 1));
    EXPECT_EQ(script_json(*client, L"document.getElementById('big').textContent.slice(-2)"), L"\"x\u00e9\"");

    // A reply that arrives in many reads.
    const std::wstring result = script_json(*client, L"'y'.repeat(1 << 21) + '\u20ac'");
    ASSERT_EQ(result.size(), (1u << 21) + 3);
    EXPECT_EQ(result.substr(result.size() - 3), L"y\u20ac\"");
    EXPECT_EQ(result.find_first_not_of(L'y', 1), result.size() - 2);
}

TEST_F(relay_session, calls_from_another_thread_are_refused) {
    bool sent = true;
    std::thread([&] { sent = client->execute_script(L"1", {}); }).join();
    EXPECT_FALSE(sent);
}

TEST_F(relay_session, navigate_to_a_blank_page) {
    const std::uint64_t id =
        navigate_and_wait(*events, [&](auto fn) { return client->navigate(L"about:blank", fn); });
    ASSERT_FALSE(events->navigations.empty());
    EXPECT_EQ(events->navigations.back().navigation_id, id);
    EXPECT_EQ(events->navigations.back().uri, L"about:blank");
    EXPECT_EQ(script_json(*client, L"location.href"), L"\"about:blank\"");
    EXPECT_EQ(script_json(*client, L"typeof chrome.webview.postMessage"), L"\"function\"");
}

TEST_F(relay_session, close_ends_the_run_and_fails_what_is_still_open) {
    answer closing, late;
    ASSERT_TRUE(client->close(closing.fn()));
    // Sent after the close: the driver never answers it, and the end of the connection does.
    ASSERT_TRUE(client->execute_script(L"1", late.fn()));
    EXPECT_TRUE(wait_for(closing).ok);
    ASSERT_TRUE(pump_until([&] { return !events->closed.empty(); }));
    EXPECT_EQ(events->closed.size(), 1u);
    ASSERT_TRUE(late.arrived);
    EXPECT_FALSE(late.reply.ok);
    EXPECT_EQ(late.reply.error, L"connection closed");
    EXPECT_FALSE(client->is_open());
    EXPECT_FALSE(client->execute_script(L"1", [](const relay::reply&) { ADD_FAILURE() << "called after the end"; }));
    for (DWORD thread : events->threads) EXPECT_EQ(thread, GetCurrentThreadId());
}

// Run on its own by the driver's hang-up test: the program goes without asking to close.
TEST(relay_hangup, program_leaves_without_closing) {
    recorder events;
    const std::uint16_t port = relay::port_from_environment();
    ASSERT_NE(port, 0);
    bool called = false;
    {
        relay::client client(port, events.handlers());
        navigate_and_wait(events, [&](auto fn) { return client.navigate_to_string(page_document, fn); });
        ASSERT_TRUE(pump_until([&] { return events.messages.size() >= 2; }));
        // One answer waits in the queue (the destructor frees it), one request is still open,
        // when the client goes: neither is called on a dead owner.
        ASSERT_TRUE(client.execute_script(L"1", [&](const relay::reply&) { called = true; }));
        const ULONGLONG deadline = GetTickCount64() + 120000;
        MSG msg;
        while (!PeekMessageW(&msg, nullptr, WM_APP, 0xBFFF, PM_NOREMOVE) && GetTickCount64() < deadline) {
            MsgWaitForMultipleObjectsEx(0, nullptr, 100, QS_POSTMESSAGE, MWMO_INPUTAVAILABLE);
        }
        ASSERT_TRUE(client.execute_script(L"2", [&](const relay::reply&) { called = true; }));
    }
    EXPECT_FALSE(called);
    EXPECT_TRUE(events.closed.empty());
}

// Run on its own against a driver that answers with a line that is not JSON.
TEST(relay_protocol, a_line_that_is_not_json_ends_the_connection) {
    recorder events;
    relay::client client(relay::port_from_environment(), events.handlers());
    answer open;
    ASSERT_TRUE(client.execute_script(L"1", open.fn()));
    ASSERT_TRUE(pump_until([&] { return !events.closed.empty(); }));
    // The event before it came whole, though it arrived in two pieces.
    ASSERT_EQ(events.messages.size(), 1u);
    EXPECT_EQ(events.messages[0].json, L"{\"split\":true}");
    EXPECT_NE(events.closed[0].find(L"not JSON"), std::wstring::npos) << relay::to_utf8(events.closed[0]);
    ASSERT_TRUE(open.arrived) << "an open request must not wait forever";
    EXPECT_FALSE(open.reply.ok);
    EXPECT_EQ(open.reply.error, L"connection closed");
    EXPECT_FALSE(client.is_open());
    pump_until([&] { return events.closed.size() > 1; }, 500);
    EXPECT_EQ(events.closed.size(), 1u) << "the end is reported once";
}

// The stand-in ends the program's run from the closed handler: the client may go right there.
TEST(relay_protocol, the_closed_handler_may_destroy_the_client) {
    recorder events;
    relay::handlers handlers = events.handlers();
    std::unique_ptr<relay::client> client;
    int ended = 0;
    handlers.closed = [&](const std::wstring&) {
        ++ended;
        client.reset();
    };
    client = std::make_unique<relay::client>(relay::port_from_environment(), handlers);
    answer first, second;
    ASSERT_TRUE(client->execute_script(L"1", first.fn()));
    ASSERT_TRUE(client->execute_script(L"2", second.fn()));
    ASSERT_TRUE(pump_until([&] { return !client; }));
    EXPECT_EQ(ended, 1);
    EXPECT_TRUE(first.arrived);
    EXPECT_TRUE(second.arrived);
}
