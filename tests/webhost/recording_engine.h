#pragma once
// An engine over the base that records what it is asked and runs posted jobs only when the
// test says so, on the test's thread. Jobs may be posted from any thread; everything else is
// for the thread that made the engine, as on a real window thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine_base.h"

namespace webhost_test {

using namespace webhost::detail;

class recording_engine : public engine_base {
public:
    std::vector<std::string> evaluated;
    std::vector<std::string> registered;  // codes handed to add_user_script_impl, in order
    std::vector<std::wstring> removed;    // identifiers handed to clear_user_scripts
    int terminations = 0;
    // eval or terminate called on a thread other than the engine's own.
    std::atomic<int> foreign_calls{0};
    bool fail_registrations = false;  // registrations get an empty identifier
    int next_id = 1;
    HWND window_handle = nullptr;  // what window() reports; null: no window

    result<void> navigate(const std::string&) override { return {}; }
    result<HWND> window() override {
        if (window_handle != nullptr) return window_handle;
        return failure_info{error_code::invalid_state, {}};
    }
    result<HWND> widget() override { return failure_info{error_code::invalid_state, {}}; }
    result<ICoreWebView2Controller*> get_controller() override {
        return failure_info{error_code::invalid_state, {}};
    }
    result<void> run() override { return {}; }
    result<void> terminate() override {
        note_thread();
        ++terminations;
        return {};
    }
    result<void> post_job(std::function<void()> job) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        posted_.notify_all();
        return {};
    }
    result<void> set_title(const std::string&) override { return {}; }
    result<void> set_size(int, int, size_hint) override { return {}; }
    result<void> set_html(const std::string&) override { return {}; }
    result<void> eval(const std::string& js) override {
        note_thread();
        evaluated.push_back(js);
        return {};
    }
    user_script add_user_script_impl(const std::string& code) override {
        registered.push_back(code);
        auto reg = std::make_unique<script_registration>();
        if (!fail_registrations) reg->id = L"script-" + std::to_wstring(next_id++);
        reg->code = std::wstring(code.begin(), code.end());
        return user_script(code, std::move(reg));
    }
    void clear_user_scripts(const std::list<user_script>& scripts) override {
        for (const auto& s : scripts) removed.push_back(s.registration->id);
    }
    bool same_user_script(const user_script& a, const user_script& b) override {
        return a.registration->id == b.registration->id;
    }

    std::size_t pending() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return jobs_.size();
    }

    // Runs the queued jobs in order, including those that they queue in turn.
    void run_jobs() {
        while (run_one()) {
        }
    }

    // Runs jobs as they arrive until `done` holds after one of them (or before the first).
    // False when the deadline passes first: a test that waits on another thread never hangs.
    bool run_jobs_until(const std::function<bool()>& done,
                        std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (!posted_.wait_until(lock, deadline, [this] { return !jobs_.empty(); })) return false;
            }
            run_one();
        }
        return true;
    }

    std::map<std::string, binding>& bound() { return bindings; }
    const std::list<user_script>& scripts() const { return user_scripts; }
    const user_script* current_bind_script() const { return bind_script; }

private:
    bool run_one() {
        std::function<void()> job;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (jobs_.empty()) return false;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
        return true;
    }
    void note_thread() {
        if (std::this_thread::get_id() != owner_) ++foreign_calls;
    }

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> jobs_;
    const std::thread::id owner_ = std::this_thread::get_id();
};

}  // namespace webhost_test
