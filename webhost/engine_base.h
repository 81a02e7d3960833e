#pragma once
// The platform-independent part of the web engine: bound native functions, page messages,
// replies, the user scripts that every document runs, and the count of live engine windows.
// The platform is reached only through the virtual operations below.

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "result.h"

// Declared, not defined, so that this header needs no platform headers.
struct HWND__;
typedef HWND__* HWND;
struct ICoreWebView2Controller;

namespace webhost::detail {

// The third argument of set_size.
enum class size_hint : int { none = 0, min = 1, max = 2, fixed = 3 };

using binding_callback = std::function<void(std::string, std::string, void*)>;
using sync_function = std::function<std::string(std::string)>;

struct binding {
    binding_callback callback;  // called with the call id, the parameter text and arg
    void* arg = nullptr;
};

// The engine's part of a registered user script: the browser's identifier and the code as
// registered.
struct script_registration {
    std::wstring id;
    std::wstring code;
    // While it is held, an identifier the browser gives after the wait still reaches `id`.
    std::shared_ptr<void> late_answer;
};

// One script registered with the browser. Members in this order so that destruction takes
// the registration first, then the code.
struct user_script {
    std::string code;
    std::unique_ptr<script_registration> registration;

    user_script() = default;
    user_script(std::string script_code, std::unique_ptr<script_registration> reg)
        : code(std::move(script_code)), registration(std::move(reg)) {}
    user_script(user_script&&) noexcept = default;
    user_script& operator=(user_script&&) noexcept = default;
    user_script(const user_script&) = delete;
    user_script& operator=(const user_script&) = delete;
};

// Top-level windows that engines have created and not yet destroyed, over the whole process.
extern std::atomic<std::uint32_t> open_window_count;

class engine_base {
public:
    engine_base() = default;
    engine_base(const engine_base&) = delete;
    engine_base& operator=(const engine_base&) = delete;
    virtual ~engine_base();

    virtual result<void> navigate(const std::string& url) = 0;
    virtual result<HWND> window() = 0;
    virtual result<HWND> widget() = 0;
    virtual result<ICoreWebView2Controller*> get_controller() = 0;
    virtual result<void> run() = 0;
    virtual result<void> terminate() = 0;
    virtual result<void> post_job(std::function<void()> job) = 0;
    virtual result<void> set_title(const std::string& title) = 0;
    virtual result<void> set_size(int width, int height, size_hint hint) = 0;
    virtual result<void> set_html(const std::string& html) = 0;
    virtual result<void> eval(const std::string& js) = 0;
    virtual user_script* add_user_script(const std::string& code);
    virtual user_script add_user_script_impl(const std::string& code) = 0;
    virtual void clear_user_scripts(const std::list<user_script>& scripts) = 0;
    virtual bool same_user_script(const user_script& first, const user_script& second) = 0;
    virtual user_script* swap_user_script(const user_script& old_script, const std::string& new_code);
    virtual void on_message(const std::string& message);
    virtual void note_window_created();
    virtual void note_window_destroyed(bool no_quit = false);

    // UI thread only. A bound name gives `duplicate` and changes nothing.
    result<void> bind(const std::string& name, binding_callback callback, void* arg);
    // fn maps the parameter text to the result text; its call is replied to with status 0,
    // or rejected with status 1 and the exception's message when fn throws.
    result<void> bind(const std::string& name, sync_function fn);
    // UI thread only. A name that is not bound gives `not_found` and changes nothing; a call of
    // the name that is already queued is still delivered once.
    result<void> unbind(const std::string& name);

    // Any thread. status 0 fulfils the page's promise, any other value rejects it; an empty
    // result settles it with undefined.
    result<void> resolve(const std::string& id, int status, const std::string& result);
    // Any thread: fn runs later on the UI thread.
    result<void> dispatch(std::function<void()> fn);

    std::string build_bind_script() const;
    void refresh_bind_script();

protected:
    std::map<std::string, binding> bindings;
    user_script* bind_script = nullptr;
    std::list<user_script> user_scripts;
};

}  // namespace webhost::detail
