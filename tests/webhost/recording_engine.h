#pragma once
// An engine over the base that records what it is asked and runs posted jobs only when the
// test says so.

#include <functional>
#include <string>
#include <vector>

#include "engine_base.h"

namespace webhost_test {

using namespace webhost::detail;

class recording_engine : public engine_base {
public:
    std::vector<std::string> evaluated;
    std::vector<std::string> registered;  // codes handed to add_user_script_impl, in order
    std::vector<std::wstring> removed;    // identifiers handed to clear_user_scripts
    std::vector<std::function<void()>> jobs;
    int terminations = 0;
    bool fail_registrations = false;  // registrations get an empty identifier
    int next_id = 1;

    result<void> navigate(const std::string&) override { return {}; }
    result<HWND> window() override { return failure_info{error_code::invalid_state, {}}; }
    result<HWND> widget() override { return failure_info{error_code::invalid_state, {}}; }
    result<ICoreWebView2Controller*> get_controller() override {
        return failure_info{error_code::invalid_state, {}};
    }
    result<void> run() override { return {}; }
    result<void> terminate() override {
        ++terminations;
        return {};
    }
    result<void> post_job(std::function<void()> job) override {
        jobs.push_back(std::move(job));
        return {};
    }
    result<void> set_title(const std::string&) override { return {}; }
    result<void> set_size(int, int, size_hint) override { return {}; }
    result<void> set_html(const std::string&) override { return {}; }
    result<void> eval(const std::string& js) override {
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

    // Runs the queued jobs in order, including those that they queue in turn.
    void run_jobs() {
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            auto job = std::move(jobs[i]);
            job();
        }
        jobs.clear();
    }

    std::map<std::string, binding>& bound() { return bindings; }
    const std::list<user_script>& scripts() const { return user_scripts; }
    const user_script* current_bind_script() const { return bind_script; }
};

}  // namespace webhost_test
