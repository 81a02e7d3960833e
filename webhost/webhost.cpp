#include "webhost.h"

#include <new>
#include <string>

#include "exception.h"
#include "win32_edge_engine.h"

namespace webhost::detail {

win32_edge_engine* engine_of_handle(webhost_t w) {
    if (w == nullptr) throw exception(error_code::invalid_argument, "Cannot cast null pointer to webhost instance");
    return static_cast<win32_edge_engine*>(w);
}

namespace {

webhost_error_code code_of(error_code code) { return static_cast<webhost_error_code>(code); }

webhost_error_code code_of(const result<void>& outcome) {
    return outcome.has_error() ? code_of(outcome.error().code) : WEBHOST_ERROR_OK;
}

// Every exception ends here as a code.
template <typename Call>
webhost_error_code guarded(Call call) noexcept {
    try {
        return call();
    } catch (const exception& e) {
        return code_of(e.code());
    } catch (...) {
        return WEBHOST_ERROR_UNSPECIFIED;
    }
}

template <typename Call>
void* guarded_pointer(Call call) noexcept {
    try {
        return call();
    } catch (...) {
        return nullptr;
    }
}

template <typename T>
void* pointer_of(const result<T>& outcome) {
    return outcome.has_error() ? nullptr : reinterpret_cast<void*>(outcome.value());
}

constexpr webhost_version_info_t version_record{{0, 12, 0}, "0.12.0", "", ""};
static_assert(sizeof version_record.version_number + sizeof version_record.pre_release +
                  sizeof version_record.build_metadata ==
              128);

}  // namespace

}  // namespace webhost::detail

using namespace webhost::detail;

extern "C" {

webhost_t webhost_create(int debug, void* window) {
    try {
        return new win32_edge_engine(debug != 0, window);
    } catch (...) {
        return nullptr;
    }
}

webhost_error_code webhost_destroy(webhost_t w) {
    return guarded([&] {
        delete engine_of_handle(w);
        return WEBHOST_ERROR_OK;
    });
}

webhost_error_code webhost_run(webhost_t w) {
    return guarded([&] { return code_of(engine_of_handle(w)->run()); });
}

webhost_error_code webhost_terminate(webhost_t w) {
    return guarded([&] { return code_of(engine_of_handle(w)->terminate()); });
}

webhost_error_code webhost_dispatch(webhost_t w, webhost_dispatch_fn fn, void* arg) {
    if (fn == nullptr) return WEBHOST_ERROR_INVALID_ARGUMENT;
    return guarded([&] { return code_of(engine_of_handle(w)->dispatch([fn, w, arg] { fn(w, arg); })); });
}

void* webhost_get_window(webhost_t w) {
    return guarded_pointer([&] { return pointer_of(engine_of_handle(w)->window()); });
}

void* webhost_native_handle(webhost_t w, webhost_native_handle_kind kind) {
    return guarded_pointer([&]() -> void* {
        win32_edge_engine* engine = engine_of_handle(w);
        switch (kind) {
        case WEBHOST_NATIVE_HANDLE_KIND_UI_WINDOW: return pointer_of(engine->window());
        case WEBHOST_NATIVE_HANDLE_KIND_UI_WIDGET: return pointer_of(engine->widget());
        case WEBHOST_NATIVE_HANDLE_KIND_BROWSER_CONTROLLER: return pointer_of(engine->get_controller());
        default: return nullptr;
        }
    });
}

webhost_error_code webhost_set_title(webhost_t w, const char* title) {
    if (title == nullptr) return WEBHOST_ERROR_INVALID_ARGUMENT;
    return guarded([&] { return code_of(engine_of_handle(w)->set_title(title)); });
}

webhost_error_code webhost_set_size(webhost_t w, int width, int height, webhost_hint hints) {
    return guarded([&] {
        return code_of(engine_of_handle(w)->set_size(width, height, static_cast<size_hint>(hints)));
    });
}

webhost_error_code webhost_navigate(webhost_t w, const char* url) {
    if (url == nullptr) return WEBHOST_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        const std::string target(url);
        return code_of(engine_of_handle(w)->navigate(target.empty() ? std::string("about:blank") : target));
    });
}

webhost_error_code webhost_set_html(webhost_t w, const char* html) {
    if (html == nullptr) return WEBHOST_ERROR_INVALID_ARGUMENT;
    return guarded([&] { return code_of(engine_of_handle(w)->set_html(html)); });
}

webhost_error_code webhost_add_script(webhost_t w, const char* js) {
    if (js == nullptr) return WEBHOST_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        engine_of_handle(w)->add_user_script(js);
        return WEBHOST_ERROR_OK;
    });
}

webhost_error_code webhost_eval(webhost_t w, const char* js) {
    if (js == nullptr) return WEBHOST_ERROR_INVALID_ARGUMENT;
    return guarded([&] { return code_of(engine_of_handle(w)->eval(js)); });
}

webhost_error_code webhost_bind(webhost_t w, const char* name, webhost_binding_fn fn, void* arg) {
    if (name == nullptr || fn == nullptr) return WEBHOST_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        win32_edge_engine* engine = engine_of_handle(w);
        auto callback = [fn](std::string id, std::string request, void* binding_arg) {
            fn(id.c_str(), request.c_str(), binding_arg);
        };
        return code_of(engine->bind(name, std::move(callback), arg));
    });
}

webhost_error_code webhost_unbind(webhost_t w, const char* name) {
    if (name == nullptr) return WEBHOST_ERROR_INVALID_ARGUMENT;
    return guarded([&] { return code_of(engine_of_handle(w)->unbind(name)); });
}

webhost_error_code webhost_reply(webhost_t w, const char* id, int status, const char* result) {
    if (id == nullptr || result == nullptr) return WEBHOST_ERROR_INVALID_ARGUMENT;
    return guarded([&] { return code_of(engine_of_handle(w)->resolve(id, status, result)); });
}

const webhost_version_info_t* webhost_version(void) { return &version_record; }

}  // extern "C"
