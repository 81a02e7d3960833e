#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "bootstrap.h"
#include "recording_engine.h"

using namespace webhost::detail;
using webhost_test::recording_engine;

namespace {

const std::string bootstrap = "bootstrap";

// An engine as construction leaves it: the bootstrap script registered first.
struct EngineBase : ::testing::Test {
    recording_engine engine;
    void SetUp() override { engine.add_user_script(bootstrap); }

    static binding_callback recorder(std::vector<std::string>* calls) {
        return [calls](std::string id, std::string params, void* arg) {
            calls->push_back(id + "|" + params + "|" + (arg ? static_cast<const char*>(arg) : "null"));
        };
    }
};

std::string bind_script_of(const std::string& names) {
    return "(function() {\n  'use strict';\n  var methods = " + names +
           ";\n  methods.forEach(function(name) {\n    window.__webhost__.onBind(name);\n  });\n})()";
}

}  // namespace

TEST_F(EngineBase, BindScriptListsNamesInByteOrder) {
    EXPECT_EQ(engine.build_bind_script(), bind_script_of("[]"));
    for (const char* name : {"setupInfo", "setupOpen", "setupWindow", "setupInstall", "setupUninstall"}) {
        ASSERT_FALSE(engine.bind(name, [](std::string) { return std::string(); }).has_error());
    }
    const std::string expected =
        bind_script_of(R"(["setupInfo","setupInstall","setupOpen","setupUninstall","setupWindow"])");
    EXPECT_EQ(engine.build_bind_script(), expected);
    ASSERT_EQ(engine.scripts().size(), 2u);
    EXPECT_EQ(engine.scripts().front().code, bootstrap);
    EXPECT_EQ(engine.scripts().back().code, expected);
    EXPECT_EQ(engine.current_bind_script(), &engine.scripts().back());
}

TEST_F(EngineBase, NamesCompareAsUnsignedBytesAndAreQuoted) {
    std::ignore = engine.bind("\xc3\xa9t\xc3\xa9", recorder(nullptr), nullptr);
    std::ignore = engine.bind("z", recorder(nullptr), nullptr);
    std::ignore = engine.bind("a\"b", recorder(nullptr), nullptr);
    std::ignore = engine.bind("ab", recorder(nullptr), nullptr);
    std::ignore = engine.bind("a", recorder(nullptr), nullptr);
    EXPECT_EQ(engine.build_bind_script(), bind_script_of("[\"a\",\"a\\\"b\",\"ab\",\"z\",\"\xc3\xa9t\xc3\xa9\"]"));
}

TEST_F(EngineBase, FirstBindAddsTheBindScriptAndEvaluatesOnBind) {
    ASSERT_FALSE(engine.bind("setupInfo", recorder(nullptr), nullptr).has_error());
    EXPECT_EQ(engine.registered, (std::vector<std::string>{bootstrap, bind_script_of(R"(["setupInfo"])")}));
    EXPECT_TRUE(engine.removed.empty());
    EXPECT_EQ(engine.evaluated,
              std::vector<std::string>{"if (window.__webhost__) {\nwindow.__webhost__.onBind(\"setupInfo\")\n}"});
}

TEST_F(EngineBase, EveryLaterBindReregistersAllScriptsBootstrapFirst) {
    std::ignore = engine.bind("b", recorder(nullptr), nullptr);
    std::ignore = engine.bind("a", recorder(nullptr), nullptr);
    std::ignore = engine.bind("c", recorder(nullptr), nullptr);
    const std::vector<std::string> expected{
        bootstrap, bind_script_of(R"(["b"])"),
        bootstrap, bind_script_of(R"(["a","b"])"),
        bootstrap, bind_script_of(R"(["a","b","c"])"),
    };
    EXPECT_EQ(engine.registered, expected);
    // Each swap forgets every registration in list order first.
    EXPECT_EQ(engine.removed, (std::vector<std::wstring>{L"script-1", L"script-2", L"script-3", L"script-4"}));
    ASSERT_EQ(engine.scripts().size(), 2u);
    EXPECT_EQ(engine.scripts().front().code, bootstrap);
    EXPECT_EQ(engine.scripts().front().registration->id, L"script-5");
    EXPECT_EQ(engine.current_bind_script(), &engine.scripts().back());
    EXPECT_EQ(engine.current_bind_script()->registration->id, L"script-6");
    EXPECT_EQ(engine.current_bind_script()->code, bind_script_of(R"(["a","b","c"])"));
}

TEST_F(EngineBase, DuplicateBindChangesNothing) {
    std::vector<std::string> first, second;
    ASSERT_FALSE(engine.bind("setupInfo", recorder(&first), nullptr).has_error());
    const auto registered = engine.registered;
    const auto evaluated = engine.evaluated;

    const auto again = engine.bind("setupInfo", recorder(&second), nullptr);
    ASSERT_TRUE(again.has_error());
    EXPECT_EQ(again.error().code, error_code::duplicate);
    EXPECT_EQ(again.error().message, "");
    const auto sync_again = engine.bind("setupInfo", [](std::string) { return std::string("x"); });
    ASSERT_TRUE(sync_again.has_error());
    EXPECT_EQ(sync_again.error().code, error_code::duplicate);
    EXPECT_EQ(engine.registered, registered);
    EXPECT_EQ(engine.evaluated, evaluated);

    engine.on_message(R"({"id":"1","method":"setupInfo","params":[]})");
    engine.run_jobs();
    EXPECT_EQ(first, std::vector<std::string>{"1|[]|null"});
    EXPECT_TRUE(second.empty());
}

TEST_F(EngineBase, FailedRegistrationsGetTheNewCodeOnlyInTheBindScriptsRecord) {
    engine.fail_registrations = true;
    std::ignore = engine.bind("a", recorder(nullptr), nullptr);
    std::ignore = engine.bind("b", recorder(nullptr), nullptr);
    ASSERT_EQ(engine.scripts().size(), 2u);
    EXPECT_EQ(engine.scripts().front().code, bootstrap);
    EXPECT_EQ(engine.scripts().back().code, bind_script_of(R"(["a","b"])"));
    EXPECT_EQ(engine.current_bind_script(), &engine.scripts().back());
    std::ignore = engine.bind("c", recorder(nullptr), nullptr);
    EXPECT_EQ(engine.scripts().front().code, bootstrap);
    EXPECT_EQ(engine.current_bind_script()->code, bind_script_of(R"(["a","b","c"])"));
}

TEST_F(EngineBase, SwapOfAnUnlistedScriptMatchesByRegistration) {
    const auto& bootstrap_record = engine.scripts().front();
    // A stranger that carries the bootstrap's identifier selects the bootstrap's record.
    user_script stranger("other", std::make_unique<script_registration>(*bootstrap_record.registration));
    user_script* swapped = engine.swap_user_script(stranger, "new bootstrap");
    ASSERT_EQ(swapped, &engine.scripts().front());
    EXPECT_EQ(swapped->code, "new bootstrap");

    user_script nobody("x", std::make_unique<script_registration>(script_registration{L"none", L"x", {}}));
    EXPECT_EQ(engine.swap_user_script(nobody, "y"), nullptr);
    EXPECT_EQ(engine.scripts().front().code, "new bootstrap");
}

TEST_F(EngineBase, MessagesCallTheBindingLaterWithIdParamsAndArg) {
    std::vector<std::string> calls;
    char tag[] = "tag";
    std::ignore = engine.bind("setupInstall", recorder(&calls), tag);
    engine.on_message(R"({"id":"a1","method":"setupInstall","params":[{"x":[1,2]}]})");
    EXPECT_TRUE(calls.empty());  // never inside on_message
    engine.on_message(R"({"id":"a2","method":"setupInstall"})");
    engine.on_message(R"({"method":"setupInstall","params":[3]})");
    ASSERT_EQ(engine.pending(), 3u);
    engine.run_jobs();
    EXPECT_EQ(calls, (std::vector<std::string>{"a1|[{\"x\":[1,2]}]|tag", "a2||tag", "|[3]|tag"}));
}

TEST_F(EngineBase, UnreadableOrUnboundMessagesAreDropped) {
    std::vector<std::string> calls;
    std::ignore = engine.bind("setupInfo", recorder(&calls), nullptr);
    for (const std::string message :
         {R"({"id":"1","method":"setupOther","params":[]})", R"({"id":"1","params":[]})",
          R"({"id":"1","method":"","params":[]})", R"({"id":"1","method":"setupinfo"})",
          R"({"id":"1","method":"setupInfo\u0041"})", "not json", "",
          R"({"inner":{"method":"setupInfo"}})"}) {
        engine.on_message(message);
    }
    EXPECT_EQ(engine.pending(), 0u);
    EXPECT_TRUE(calls.empty());
}

TEST_F(EngineBase, JobHoldsItsOwnCopyOfTheBinding) {
    std::vector<std::string> calls;
    std::ignore = engine.bind("setupInfo", recorder(&calls), nullptr);
    engine.on_message(R"({"id":"1","method":"setupInfo","params":[]})");
    engine.on_message(R"({"id":"2","method":"setupInfo","params":[]})");
    // Replacing the table's entry before the jobs run does not redirect them.
    std::vector<std::string> other;
    engine.bound().at("setupInfo").callback = recorder(&other);
    engine.run_jobs();
    EXPECT_EQ(calls, (std::vector<std::string>{"1|[]|null", "2|[]|null"}));
    EXPECT_TRUE(other.empty());
}

TEST_F(EngineBase, ThrowingCallbackIsContainedInItsJob) {
    std::vector<std::string> calls;
    std::ignore = engine.bind("bad", [](std::string, std::string, void*) { throw std::runtime_error("x"); }, nullptr);
    std::ignore = engine.bind("bad2", [](std::string, std::string, void*) { throw 42; }, nullptr);
    std::ignore = engine.bind("good", recorder(&calls), nullptr);
    engine.on_message(R"({"id":"1","method":"bad","params":[]})");
    engine.on_message(R"({"id":"2","method":"bad2","params":[]})");
    engine.on_message(R"({"id":"3","method":"good","params":[]})");
    EXPECT_NO_THROW(engine.run_jobs());
    EXPECT_EQ(calls, std::vector<std::string>{"3|[]|null"});
}

TEST_F(EngineBase, SynchronousFunctionRepliesWithItsResult) {
    std::vector<std::string> seen;
    std::ignore = engine.bind("echo", [&seen](std::string params) {
        seen.push_back(params);
        return std::string(R"({"ok":true})");
    });
    engine.evaluated.clear();
    engine.on_message(R"({"id":"c1","method":"echo","params":["a\"b"]})");
    engine.run_jobs();  // the call, then the reply job that it queued
    EXPECT_EQ(seen, std::vector<std::string>{R"(["a\"b"])"});
    EXPECT_EQ(engine.evaluated,
              std::vector<std::string>{R"(window.__webhost__.onReply("c1", 0, "{\"ok\":true}"))"});
}

TEST_F(EngineBase, ThrowingSynchronousFunctionRejectsTheCall) {
    std::ignore = engine.bind("boom", [](std::string) -> std::string { throw std::runtime_error("went \"wrong\""); });
    std::ignore = engine.bind("odd", [](std::string) -> std::string { throw 7; });
    engine.evaluated.clear();
    engine.on_message(R"({"id":"c1","method":"boom","params":[]})");
    engine.on_message(R"({"id":"c2","method":"odd","params":[]})");
    EXPECT_NO_THROW(engine.run_jobs());
    // The message as a JSON string, quoted once more as the script's string literal.
    EXPECT_EQ(engine.evaluated,
              (std::vector<std::string>{R"(window.__webhost__.onReply("c1", 1, "\"went \\\"wrong\\\"\""))",
                                        R"(window.__webhost__.onReply("c2", 1, "\"Unknown error\""))"}));
}

TEST_F(EngineBase, ReplyScripts) {
    engine.evaluated.clear();
    EXPECT_FALSE(engine.resolve("id1", 0, "").has_error());
    EXPECT_FALSE(engine.resolve("id2", 0, "true").has_error());
    EXPECT_FALSE(engine.resolve("id3", -1, "\"x\"").has_error());
    EXPECT_FALSE(engine.resolve("q\"\n", 2147483647, "{}").has_error());
    EXPECT_FALSE(engine.resolve("m", -2147483647 - 1, "[\n]").has_error());
    EXPECT_TRUE(engine.evaluated.empty());  // evaluated only when the jobs run
    engine.run_jobs();
    EXPECT_EQ(engine.evaluated, (std::vector<std::string>{
                                    R"(window.__webhost__.onReply("id1", 0, undefined))",
                                    R"(window.__webhost__.onReply("id2", 0, "true"))",
                                    R"(window.__webhost__.onReply("id3", -1, "\"x\""))",
                                    R"(window.__webhost__.onReply("q\"\n", 2147483647, "{}"))",
                                    R"(window.__webhost__.onReply("m", -2147483648, "[\n]"))",
                                }));
}

TEST(WindowCount, DestroyedRules) {
    recording_engine engine;
    ASSERT_EQ(open_window_count.load(), 0u);
    engine.note_window_created();
    EXPECT_EQ(open_window_count.load(), 1u);
    engine.note_window_destroyed();
    EXPECT_EQ(open_window_count.load(), 0u);
    EXPECT_EQ(engine.terminations, 1);

    engine.note_window_created();
    engine.note_window_created();
    engine.note_window_destroyed();
    EXPECT_EQ(open_window_count.load(), 1u);
    EXPECT_EQ(engine.terminations, 1);
    engine.note_window_destroyed();
    EXPECT_EQ(engine.terminations, 2);

    engine.note_window_destroyed();  // already 0: stays 0 and terminates
    EXPECT_EQ(open_window_count.load(), 0u);
    EXPECT_EQ(engine.terminations, 3);

    engine.note_window_created();
    engine.note_window_destroyed(true);
    engine.note_window_destroyed(true);
    EXPECT_EQ(open_window_count.load(), 0u);
    EXPECT_EQ(engine.terminations, 3);
}

TEST(WindowCount, ConcurrentDestructionNeverWraps) {
    recording_engine engine;
    ASSERT_EQ(open_window_count.load(), 0u);
    constexpr int threads = 8, rounds = 20000;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < threads * rounds / 2; ++i) engine.note_window_created();
        // Twice as many decrements as windows: the surplus must find 0 and leave it there.
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&engine] {
                for (int i = 0; i < rounds; ++i) engine.note_window_destroyed(true);
            });
        }
        for (auto& t : pool) t.join();
        ASSERT_EQ(open_window_count.load(), 0u);
    }
}

TEST(Dispatch, JobsFromOtherThreadsRunOnTheEngineThreadInTheirOrder) {
    recording_engine engine;
    constexpr int threads = 4, per_thread = 500;
    const auto engine_thread = std::this_thread::get_id();
    std::vector<std::vector<int>> seen(threads);
    std::size_t ran = 0;
    int elsewhere = 0;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                std::ignore = engine.dispatch([&, t, i] {
                    if (std::this_thread::get_id() != engine_thread) ++elsewhere;
                    seen[t].push_back(i);
                    ++ran;
                });
            }
        });
    }
    EXPECT_TRUE(engine.run_jobs_until([&] { return ran == threads * per_thread; }));
    for (auto& t : pool) t.join();
    EXPECT_EQ(elsewhere, 0);
    std::vector<int> in_order(per_thread);
    for (int i = 0; i < per_thread; ++i) in_order[i] = i;
    for (const auto& one : seen) EXPECT_EQ(one, in_order);
    // Nothing more comes: the wait gives up at its deadline instead of hanging.
    EXPECT_FALSE(engine.run_jobs_until([] { return false; }, std::chrono::milliseconds(20)));
}

TEST_F(EngineBase, UnbindRebuildsTheBindScriptAndDeliversAQueuedCallOnce) {
    std::vector<std::string> calls;
    std::ignore = engine.bind("a", recorder(&calls), nullptr);
    std::ignore = engine.bind("b", recorder(&calls), nullptr);
    const auto evaluated = engine.evaluated.size();
    const auto missing = engine.unbind("c");
    ASSERT_TRUE(missing.has_error());
    EXPECT_EQ(missing.error().code, error_code::not_found);
    EXPECT_EQ(missing.error().message, "");
    EXPECT_EQ(engine.evaluated.size(), evaluated);

    engine.on_message(R"({"id":"1","method":"a","params":[]})");
    ASSERT_FALSE(engine.unbind("a").has_error());
    EXPECT_EQ(engine.evaluated.back(), "if (window.__webhost__) {\nwindow.__webhost__.onUnbind(\"a\")\n}");
    EXPECT_EQ(engine.current_bind_script()->code, bind_script_of(R"(["b"])"));
    ASSERT_EQ(engine.scripts().size(), 2u);
    EXPECT_EQ(engine.scripts().front().code, bootstrap);
    engine.on_message(R"({"id":"2","method":"a","params":[]})");
    engine.run_jobs();
    EXPECT_EQ(calls, std::vector<std::string>{"1|[]|null"});
    EXPECT_TRUE(engine.unbind("a").has_error());
}
