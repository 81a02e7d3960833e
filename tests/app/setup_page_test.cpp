#include <gtest/gtest.h>

#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "bootstrap.h"
#include "folders.h"
#include "json.h"
#include "recording_engine.h"
#include "sandbox.h"
#include "setup_documents.h"
#include "setup_page.h"
#include "text.h"

using namespace webhost::detail;
using testing_support::sandbox_scope;
using webhost_test::recording_engine;
namespace fs = std::filesystem;

namespace {

// A door the worker waits at until the test opens it.
class gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    // False when it stayed shut for a minute: a broken test fails instead of hanging.
    bool wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

const HWND the_window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0x5e7));

const std::string null_reply = "null";
const std::string stopped_reply =
    R"({"error":"Setup stopped before finishing. Some steps may have completed; retry to finish.","notes":[],"ok":false})";

// The maker's home page, from the product's domain.
std::wstring maker_site() { return L"https://" + utf8_to_wide(maker_domain) + L"/"; }

std::string progress_of(const std::string& object) {
    return "window.setupProgress&&window.setupProgress(" + object + ")";
}

std::string reply_of(const std::string& id, const std::string& text) {
    return reply_script(id, 0, json_quote(text));
}

op_result succeeded(std::vector<std::string> notes = {}) {
    op_result r;
    r.ok = true;
    r.notes = std::move(notes);
    r.record = {{"files", json::array({"C:\\x"})}};
    return r;
}

class SetupPage : public ::testing::Test {
protected:
    void SetUp() override {
        engine.window_handle = the_window;
        make_page();
    }
    void TearDown() override {
        release.open();
        page.reset();
        EXPECT_EQ(engine.foreign_calls.load(), 0) << "the page was touched off the window's thread";
    }

    void make_page(page_platform platform) {
        page = std::make_unique<setup_page>(engine, std::move(platform));
        page->bind_functions();
        engine.run_jobs();
        engine.evaluated.clear();
    }
    void make_page() { make_page(recording_platform()); }

    page_platform recording_platform() {
        page_platform p;
        p.open = [this](const std::wstring& target, const std::wstring& folder) {
            opened.push_back(target + L"|" + folder);
        };
        p.drag = [this](HWND w) { window_calls.push_back(w == the_window ? "drag" : "drag elsewhere"); };
        p.minimize = [this](HWND w) { window_calls.push_back(w == the_window ? "minimize" : "minimize elsewhere"); };
        p.install = [this](const progress_fn& progress) {
            ++installs;
            return install(progress);
        };
        p.uninstall = [this](const progress_fn& progress) {
            ++uninstalls;
            return uninstall(progress);
        };
        p.start_thread = [this](std::function<void()> body) {
            if (++starts <= failing_starts) {
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            }
            return std::thread(std::move(body));
        };
        return p;
    }

    void call(const std::string& id, const std::string& method, const std::string& params) {
        engine.on_message(R"({"id":")" + id + R"(","method":")" + method + R"(","params":)" + params + "}");
    }
    // Calls and runs what that queues: the one script evaluated, the reply to a synchronous call.
    std::string ask(const std::string& method, const std::string& params) {
        engine.evaluated.clear();
        call("q", method, params);
        engine.run_jobs();
        if (engine.evaluated.size() != 1) return "<" + std::to_string(engine.evaluated.size()) + " scripts>";
        return engine.evaluated[0];
    }
    bool replied(const std::string& id) const {
        const std::string head = "window.__webhost__.onReply(" + json_quote(id) + ",";
        return std::any_of(engine.evaluated.begin(), engine.evaluated.end(),
                           [&](const std::string& s) { return s.rfind(head, 0) == 0; });
    }
    bool wait_for_reply(const std::string& id) {
        return engine.run_jobs_until([&] { return replied(id); });
    }
    // An install that reports its first step, then waits for the test.
    void hold_installs() {
        install = [this](const progress_fn& progress) {
            progress(4, "Checking the installer");
            started.open();
            if (!release.wait()) throw std::runtime_error("never released");
            progress(50, "Half \"way\" \\ caf\xc3\xa9");
            return succeeded({"python", "no-resolve"});
        };
    }

    recording_engine engine;
    std::vector<std::wstring> opened;
    std::vector<std::string> window_calls;
    std::atomic<int> installs{0}, uninstalls{0};
    int starts = 0, failing_starts = 0;  // worker threads asked for; how many of the first cannot start
    std::function<op_result(const progress_fn&)> install = [](const progress_fn&) { return succeeded(); };
    std::function<op_result(const progress_fn&)> uninstall = [](const progress_fn&) { return succeeded(); };
    gate started, release;
    std::unique_ptr<setup_page> page;  // last: gone before everything it refers to
};

}  // namespace

TEST(PageRequests, OnlyAOneStringArrayIsAnAction) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {R"(["site"])", "site"},   {" [ \"drag\" ]\n", "drag"},   {R"(["caf\u00e9"])", "caf\xc3\xa9"},
        {R"([""])", ""},           {"", ""},                       {R"("x")", ""},
        {"x", ""},                 {"[]", ""},                     {R"(["Site"])", "Site"},
        {R"(["app","x"])", ""},    {"[5]", ""},                    {"[null]", ""},
        {"[true]", ""},            {R"([["site"]])", ""},          {R"([{"0":"site"}])", ""},
        {R"({"0":"site"})", ""},   {R"(["site"]x)", ""},           {R"(["site"] ["site"])", ""},
        {"[\"site\"] // c", ""},   {"[\"\xff\"]", ""},             {R"(["site")", ""},
    };
    for (const auto& [request, action] : cases) EXPECT_EQ(page_action(request), action) << request;
}

TEST(PageRequests, InstallOptionsAreElementZeroWhenItIsAnObject) {
    EXPECT_EQ(install_options(R"([{"window":true},5])"), json({{"window", true}}));
    EXPECT_EQ(install_options(R"([{}])"), json::object());
    for (const char* request : {"", "[]", "[1]", "[[{\"a\":1}]]", "{\"window\":true}", "[{\"a\":1}", "null"}) {
        const json options = install_options(request);
        EXPECT_TRUE(options.is_object() && options.empty()) << request;
    }
}

TEST(PageDocuments, ProgressScriptsAreCompactSortedUtf8) {
    EXPECT_EQ(progress_script(4, "Checking the installer"),
              progress_of(R"({"label":"Checking the installer","pct":4})"));
    EXPECT_EQ(progress_script(-7, "a\"b\\c\n\xc3\xa9\xe6\x9d\xb1"),
              progress_of("{\"label\":\"a\\\"b\\\\c\\n\xc3\xa9\xe6\x9d\xb1\",\"pct\":-7}"));
    EXPECT_THROW(progress_script(5, "bad \xff"), json::type_error);
    EXPECT_EQ(page_json(json::parse(busy_reply)), busy_reply);
    EXPECT_EQ(job_failure_reply, stopped_reply);
}

TEST_F(SetupPage, OpenGoesOnlyToFixedTargets) {
    sandbox_scope sandbox;
    const std::wstring folder = install_dir().wstring();
    for (const char* key : {"site", "python", "help"}) {
        EXPECT_EQ(ask("setupOpen", std::string("[\"") + key + "\"]"), reply_of("q", null_reply)) << key;
    }
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[0], maker_site() + L"|");
    EXPECT_EQ(opened[1], L"https://www.python.org/downloads/windows/|");
    EXPECT_EQ(opened[2].rfind(maker_site(), 0), 0u);
    EXPECT_NE(opened[2], opened[0]);

    opened.clear();
    // The companion starts in the install folder; nothing checks first that it is there.
    EXPECT_EQ(ask("setupOpen", R"(["app"])"), reply_of("q", null_reply));
    EXPECT_EQ(ask("setupOpen", R"(["folder"])"), reply_of("q", null_reply));
    EXPECT_EQ(opened, (std::vector<std::wstring>{folder + L"\\VantrelCompanionBeta.exe|" + folder, folder + L"|"}));

    opened.clear();
    for (const char* request :
         {R"(["Site"])", R"(["site "])", "[]", R"(["app","x"])", R"([["site"]])", R"(["https://vantrel.app.example/"])",
          R"(["C:\\Windows\\System32\\calc.exe"])", R"(["..\\uninstall.exe"])", R"(["file:///C:/"])"}) {
        EXPECT_EQ(ask("setupOpen", request), reply_of("q", null_reply)) << request;
    }
    engine.evaluated.clear();
    engine.on_message(R"({"id":"q","method":"setupOpen"})");  // no parameters at all
    engine.run_jobs();
    EXPECT_EQ(engine.evaluated, std::vector<std::string>{reply_of("q", null_reply)});
    EXPECT_TRUE(opened.empty());
}

TEST_F(SetupPage, AppAndFolderNeedAnAbsoluteInstallFolder) {
    sandbox_scope sandbox;
    sandbox_root = L"relative";  // install_dir is then relative to the current folder
    ask("setupOpen", R"(["app"])");
    ask("setupOpen", R"(["folder"])");
    ask("setupOpen", R"(["site"])");
    EXPECT_EQ(opened, std::vector<std::wstring>{maker_site() + L"|"});
}

TEST_F(SetupPage, WindowActionsAndCloseWhenIdle) {
    EXPECT_EQ(ask("setupWindow", R"(["drag"])"), reply_of("q", null_reply));
    EXPECT_EQ(ask("setupWindow", R"(["minimize"])"), reply_of("q", null_reply));
    for (const char* request : {R"(["maximize"])", R"(["Close"])", R"(["close","now"])", "[]", R"("close")", ""}) {
        EXPECT_EQ(ask("setupWindow", request), reply_of("q", null_reply)) << request;
    }
    EXPECT_EQ(window_calls, (std::vector<std::string>{"drag", "minimize"}));
    EXPECT_EQ(engine.terminations, 0);
    EXPECT_EQ(ask("setupWindow", R"(["close"])"), reply_of("q", null_reply));
    EXPECT_EQ(engine.terminations, 1);
}

TEST_F(SetupPage, WithoutAWindowNoWindowActionHasAnEffect) {
    page.reset();
    engine.window_handle = nullptr;
    recording_engine fresh;  // bindings are per engine: a second page needs its own
    page = std::make_unique<setup_page>(fresh, recording_platform());
    page->bind_functions();
    for (const char* action : {"drag", "minimize", "close"}) {
        fresh.evaluated.clear();
        fresh.on_message(std::string(R"({"id":"w","method":"setupWindow","params":[")") + action + "\"]}");
        fresh.run_jobs();
        EXPECT_EQ(fresh.evaluated.back(), reply_of("w", null_reply)) << action;
    }
    EXPECT_TRUE(window_calls.empty());
    EXPECT_EQ(fresh.terminations, 0);
    page.reset();
}

TEST_F(SetupPage, InfoIsTheCompactSetupInfoDocument) {
    sandbox_scope sandbox;
    sandbox_root = sandbox_root / L"Zo\u00eb";
    const std::string reply = ask("setupInfo", "[]");
    const std::string expected = build_setup_info().dump();
    EXPECT_EQ(reply, reply_of("q", expected));
    // UTF-8 as it stands, never a \u escape; no blank between members.
    EXPECT_NE(expected.find("Zo\xc3\xab"), std::string::npos);
    EXPECT_EQ(expected.find("\\u00"), std::string::npos);
    EXPECT_NE(expected.find(R"("mode":"install","name":)"), std::string::npos);
    EXPECT_EQ(ask("setupInfo", R"(["ignored",1])"), reply_of("q", expected));
}

TEST_F(SetupPage, HeldJobAnswersOthersAtOnceThenReportsInOrder) {
    hold_installs();
    call("1", "setupInstall", R"([{"window":true}])");
    engine.run_jobs();
    ASSERT_TRUE(started.wait());
    EXPECT_TRUE(page->busy());

    // Answered while the first job is held: nothing here waits for the worker.
    call("2", "setupInstall", "[]");
    call("3", "setupUninstall", "[]");
    call("4", "setupWindow", R"(["close"])");
    engine.run_jobs();
    EXPECT_TRUE(replied("2") && replied("3") && replied("4"));
    EXPECT_FALSE(replied("1"));
    const auto& seen = engine.evaluated;
    EXPECT_NE(std::find(seen.begin(), seen.end(), reply_of("2", busy_reply)), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), reply_of("3", busy_reply)), seen.end());
    EXPECT_EQ(engine.terminations, 0);  // close refused mid-job
    EXPECT_EQ(uninstalls.load(), 0);

    release.open();
    ASSERT_TRUE(wait_for_reply("1"));
    EXPECT_FALSE(page->busy());
    std::vector<std::string> job_scripts;
    for (const auto& s : seen) {
        if (s.rfind("window.setupProgress", 0) == 0 || s.rfind("window.__webhost__.onReply(\"1\"", 0) == 0) {
            job_scripts.push_back(s);
        }
    }
    EXPECT_EQ(job_scripts,
              (std::vector<std::string>{
                  progress_of(R"({"label":"Checking the installer","pct":4})"),
                  progress_of("{\"label\":\"Half \\\"way\\\" \\\\ caf\xc3\xa9\",\"pct\":50}"),
                  reply_of("1", R"({"error":"","notes":["python","no-resolve"],"ok":true})"),
              }));
    EXPECT_EQ(installs.load(), 1);

    // Close works again once the reply is queued.
    ask("setupWindow", R"(["close"])");
    EXPECT_EQ(engine.terminations, 1);
}

TEST_F(SetupPage, FailuresOfTheJobBecomeTheFixedReply) {
    struct outcome {
        std::function<op_result(const progress_fn&)> operation;
        std::string reply;
    };
    op_result ordinary;
    ordinary.error = "Could not replace VantrelCompanionBeta.exe. Close it and try again.";
    ordinary.notes = {"kept"};
    op_result bad_text;
    bad_text.error = "Could not write to C:\\\xff.";
    op_result bad_note = succeeded({"\xc3"});
    const std::vector<outcome> outcomes{
        {[&](const progress_fn&) { return ordinary; },
         R"({"error":"Could not replace VantrelCompanionBeta.exe. Close it and try again.","notes":["kept"],"ok":false})"},
        {[](const progress_fn&) -> op_result { throw std::runtime_error("directory iteration"); }, stopped_reply},
        {[](const progress_fn&) -> op_result { throw 5; }, stopped_reply},
        {[&](const progress_fn&) { return bad_text; }, stopped_reply},
        {[&](const progress_fn&) { return bad_note; }, stopped_reply},
        {nullptr, stopped_reply},
    };
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        install = outcomes[i].operation;
        const std::string id = std::to_string(i) + "-failed";
        call(id, "setupInstall", "[]");
        ASSERT_TRUE(wait_for_reply(id)) << i;
        EXPECT_EQ(engine.evaluated.back(), reply_of(id, outcomes[i].reply)) << i;
        EXPECT_FALSE(page->busy()) << i;
    }
}

TEST_F(SetupPage, AWorkerThatCannotStartGivesTheFailureReplyAndLeavesThePageFree) {
    failing_starts = 1;
    call("1", "setupInstall", "[]");
    engine.run_jobs();
    EXPECT_EQ(engine.evaluated, std::vector<std::string>{reply_of("1", stopped_reply)});
    EXPECT_FALSE(page->busy());
    EXPECT_EQ(installs.load(), 0);

    call("2", "setupInstall", "[]");
    ASSERT_TRUE(wait_for_reply("2"));
    EXPECT_EQ(engine.evaluated.back(), reply_of("2", R"({"error":"","notes":[],"ok":true})"));
    EXPECT_EQ(installs.load(), 1);
    EXPECT_EQ(starts, 2);
    EXPECT_FALSE(page->busy());
}

TEST_F(SetupPage, AProgressStepThatCannotBeShownIsSkipped) {
    install = [](const progress_fn& progress) {
        progress(10, "bad \xe2\x82");
        progress(20, "fine");
        return succeeded();
    };
    call("p", "setupInstall", "[]");
    ASSERT_TRUE(wait_for_reply("p"));
    EXPECT_EQ(engine.evaluated, (std::vector<std::string>{progress_of(R"({"label":"fine","pct":20})"),
                                                          reply_of("p", R"({"error":"","notes":[],"ok":true})")}));
}

TEST_F(SetupPage, JobsRunOneAfterAnotherEachInItsOwnApartment) {
    const auto main_thread = std::this_thread::get_id();
    std::vector<HRESULT> apartments;
    std::vector<bool> off_main;
    auto probe = [&] {
        // S_FALSE: this thread is already a single-threaded apartment.
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(hr)) CoUninitialize();
        apartments.push_back(hr);
        off_main.push_back(std::this_thread::get_id() != main_thread);
    };
    install = [&](const progress_fn&) {
        probe();
        return succeeded({"first"});
    };
    uninstall = [&](const progress_fn& progress) {
        probe();
        progress(45, "Removing files");
        started.open();
        if (!release.wait()) throw std::runtime_error("never released");
        return succeeded();
    };
    call("a", "setupInstall", "[]");
    ASSERT_TRUE(wait_for_reply("a"));
    EXPECT_EQ(engine.evaluated.back(), reply_of("a", R"({"error":"","notes":["first"],"ok":true})"));

    call("b", "setupUninstall", R"([{"window":true}])");
    engine.run_jobs();
    ASSERT_TRUE(started.wait());
    EXPECT_TRUE(page->busy());
    call("c", "setupInstall", "[]");
    engine.run_jobs();
    EXPECT_TRUE(replied("c"));
    release.open();
    ASSERT_TRUE(wait_for_reply("b"));
    EXPECT_EQ(engine.evaluated.back(), reply_of("b", R"({"error":"","notes":[],"ok":true})"));
    EXPECT_EQ(installs.load(), 1);
    EXPECT_EQ(uninstalls.load(), 1);
    EXPECT_EQ(apartments, (std::vector<HRESULT>{S_FALSE, S_FALSE}));
    EXPECT_EQ(off_main, (std::vector<bool>{true, true}));
}

TEST_F(SetupPage, AfterTheLoopNothingReachesThePage) {
    std::atomic<bool> finished{false};
    install = [&](const progress_fn& progress) {
        progress(4, "Checking the installer");
        started.open();
        if (!release.wait()) throw std::runtime_error("never released");
        progress(82, "Registering with Windows");
        finished = true;
        return succeeded();
    };
    call("1", "setupInstall", "[]");
    engine.run_jobs();
    ASSERT_TRUE(started.wait());
    engine.run_jobs();
    engine.evaluated.clear();

    // The loop ends mid-job; the job goes on posting while the run waits for it.
    release.open();
    page->end_page();
    EXPECT_TRUE(finished.load());  // waited for
    EXPECT_TRUE(page->busy());     // its completion has not run yet
    call("2", "setupInstall", "[]");  // a call the page sent just before the end
    call("3", "setupWindow", R"(["close"])");
    engine.run_jobs();
    EXPECT_FALSE(page->busy());
    EXPECT_EQ(engine.evaluated, std::vector<std::string>{reply_of("3", null_reply)});
    EXPECT_EQ(engine.terminations, 0);
    EXPECT_EQ(installs.load(), 1);

    // The page object goes before the engine, which then drains what is left.
    install = [&](const progress_fn& progress) {
        progress(4, "Checking the installer");
        return succeeded();
    };
    page.reset();
    call("4", "setupInstall", "[]");
    call("5", "setupUninstall", "[]");
    engine.run_jobs();
    EXPECT_EQ(installs.load(), 1);
    EXPECT_EQ(uninstalls.load(), 0);
    EXPECT_EQ(engine.evaluated.size(), 1u);
}

TEST_F(SetupPage, TeardownDuringAHeldJobWaitsForItAndDropsItsReports) {
    std::atomic<bool> finished{false};
    install = [&](const progress_fn& progress) {
        started.open();
        if (!release.wait()) throw std::runtime_error("never released");
        progress(40, "late");
        finished = true;
        return succeeded();
    };
    call("1", "setupInstall", "[]");
    engine.run_jobs();
    ASSERT_TRUE(started.wait());
    release.open();
    page.reset();  // the run's end without end_page: the destructor joins
    EXPECT_TRUE(finished.load());
    engine.evaluated.clear();
    engine.run_jobs();
    EXPECT_TRUE(engine.evaluated.empty());
}

class SetupPageOperations : public SetupPage {
protected:
    void SetUp() override {
        engine.window_handle = the_window;
        payload_files.clear();
        payload_files["VantrelCompanion.exe"] = std::vector<unsigned char>(3000, 'C');
        const std::string script = "print('vantrel')\n";
        payload_files["Vantrel.py"] = std::vector<unsigned char>(script.begin(), script.end());
        payload_files["SETUP.md"] = std::vector<unsigned char>(800, 'S');
        page_platform platform = windows_platform();
        platform.open = nullptr;  // never reached here
        make_page(std::move(platform));
    }
    void TearDown() override {
        SetupPage::TearDown();
        payload_files.clear();
    }
    std::vector<std::string> progress_and(const std::string& id) const {
        std::vector<std::string> out;
        for (const auto& s : engine.evaluated) {
            if (s.rfind("window.setupProgress", 0) == 0) {
                const json step = json::parse(s.substr(s.find('(') + 1, s.size() - s.find('(') - 2));
                out.push_back(std::to_string(step["pct"].get<int>()));
            } else if (s.rfind("window.__webhost__.onReply(" + json_quote(id), 0) == 0) {
                out.push_back("reply");
            }
        }
        return out;
    }
};

TEST_F(SetupPageOperations, RealInstallThenUninstallInASandbox) {
    sandbox_scope sandbox;
    call("i", "setupInstall", R"([{"window":true,"script":false}])");
    ASSERT_TRUE(wait_for_reply("i"));
    EXPECT_EQ(progress_and("i"), (std::vector<std::string>{"4", "18", "40", "58", "82", "100", "reply"}));
    EXPECT_EQ(engine.evaluated.back(), reply_of("i", R"({"error":"","notes":["python","no-resolve"],"ok":true})"));
    EXPECT_TRUE(fs::exists(install_dir() / L"VantrelCompanionBeta.exe"));
    EXPECT_NE(ask("setupInfo", "[]").find(R"(\"installed\":\"0.5.0\")"), std::string::npos);

    engine.evaluated.clear();
    call("u", "setupUninstall", "[]");
    ASSERT_TRUE(wait_for_reply("u"));
    EXPECT_EQ(progress_and("u"), (std::vector<std::string>{"10", "45", "65", "80", "100", "reply"}));
    EXPECT_EQ(engine.evaluated.back(), reply_of("u", R"({"error":"","notes":[],"ok":true})"));
    EXPECT_FALSE(fs::exists(install_dir() / L"VantrelCompanionBeta.exe"));
}
