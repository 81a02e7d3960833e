#include "engine_base.h"

#include <exception>
#include <tuple>

#include "bootstrap.h"
#include "json.h"

namespace webhost::detail {

std::atomic<std::uint32_t> open_window_count{0};

engine_base::~engine_base() = default;

result<void> engine_base::bind(const std::string& name, binding_callback callback, void* arg) {
    if (bindings.count(name) != 0) return failure_info{error_code::duplicate, {}};
    bindings.emplace(name, binding{std::move(callback), arg});
    refresh_bind_script();
    // Only a document that has the bridge learns of it now; a later one gets it from the scripts.
    std::ignore = eval(on_bind_script(name));
    return {};
}

result<void> engine_base::bind(const std::string& name, sync_function fn) {
    auto callback = [this, fn = std::move(fn)](std::string id, std::string params, void*) {
        int status = 0;
        std::string reply;
        try {
            reply = fn(std::move(params));
        } catch (const std::exception& e) {
            // Nothing else would ever settle the page's promise.
            status = 1;
            reply = json_quote(e.what());
        } catch (...) {
            status = 1;
            reply = json_quote("Unknown error");
        }
        // A reply that cannot be queued leaves the call pending; nothing else could settle it.
        std::ignore = resolve(id, status, reply);
    };
    return bind(name, std::move(callback), nullptr);
}

result<void> engine_base::unbind(const std::string& name) {
    const auto found = bindings.find(name);
    if (found == bindings.end()) return failure_info{error_code::not_found, {}};
    bindings.erase(found);
    refresh_bind_script();
    // As for bind: the current document may have no bridge.
    std::ignore = eval(on_unbind_script(name));
    return {};
}

std::string engine_base::build_bind_script() const {
    std::string names = "[";
    bool first = true;
    for (const auto& entry : bindings) {
        if (!first) names += ',';
        first = false;
        names += json_quote(entry.first);
    }
    names += ']';
    return bind_script_for(names);
}

void engine_base::refresh_bind_script() {
    if (bind_script == nullptr) {
        bind_script = add_user_script(build_bind_script());
    } else {
        bind_script = swap_user_script(*bind_script, build_bind_script());
    }
}

user_script* engine_base::add_user_script(const std::string& code) {
    user_scripts.push_back(add_user_script_impl(code));
    return &user_scripts.back();
}

user_script* engine_base::swap_user_script(const user_script& old_script, const std::string& new_code) {
    clear_user_scripts(user_scripts);
    if (user_scripts.empty()) return nullptr;

    // When the old script is one of our records, only that record gets the new code: records
    // whose registration failed all compare equal, and the old record itself changes below.
    bool old_is_listed = false;
    for (const auto& record : user_scripts) {
        if (&record == &old_script) old_is_listed = true;
    }

    user_script* replaced = nullptr;
    for (auto& record : user_scripts) {
        const bool match = old_is_listed ? &record == &old_script : same_user_script(record, old_script);
        user_script fresh = add_user_script_impl(match ? new_code : record.code);
        record = std::move(fresh);
        if (match) replaced = &record;
    }
    return replaced;
}

void engine_base::on_message(const std::string& message) {
    std::string id = json_member(message, "id", 0);
    const std::string method = json_member(message, "method", 0);
    std::string params = json_member(message, "params", 0);

    const auto found = bindings.find(method);
    if (found == bindings.end()) return;

    // A call that cannot be queued is dropped, as an unreadable message is.
    std::ignore = dispatch([target = found->second, id = std::move(id), params = std::move(params)]() {
        if (!target.callback) return;
        // A throwing callback must not unwind through the message loop.
        try {
            target.callback(id, params, target.arg);
        } catch (...) {
        }
    });
}

result<void> engine_base::resolve(const std::string& id, int status, const std::string& result) {
    std::string text = result.empty() ? std::string("undefined") : json_quote(result);
    // The page has nothing to tell if the reply cannot be evaluated.
    return dispatch([this, id, status, text = std::move(text)]() { std::ignore = eval(reply_script(id, status, text)); });
}

result<void> engine_base::dispatch(std::function<void()> fn) {
    return post_job(std::move(fn));
}

void engine_base::note_window_created() {
    open_window_count.fetch_add(1);
}

void engine_base::note_window_destroyed(bool no_quit) {
    // Decrement only while above 0, in one step, so that concurrent calls cannot wrap it.
    std::uint32_t count = open_window_count.load();
    while (count != 0) {
        if (open_window_count.compare_exchange_weak(count, count - 1)) {
            if (count - 1 != 0) return;
            break;
        }
    }
    // Posting the quit message is all terminate does; there is nothing to do when it fails.
    if (!no_quit) std::ignore = terminate();
}

}  // namespace webhost::detail
