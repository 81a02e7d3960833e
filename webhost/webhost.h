/* The web UI host's handle-based interface: plain functions over an opaque engine handle,
 * for callers that cannot use its classes or catch its exceptions. Only pointers, 32-bit
 * integers and zero-terminated UTF-8 texts cross it; no exception ever leaves it. Valid C
 * and C++. */
#ifndef WEBHOST_H
#define WEBHOST_H

#ifdef __cplusplus
extern "C" {
#endif

/* An engine made by webhost_create; never valid when null, nor after webhost_destroy. */
typedef void* webhost_t;

typedef enum {
    WEBHOST_ERROR_MISSING_DEPENDENCY = -5,
    WEBHOST_ERROR_CANCELED = -4,
    WEBHOST_ERROR_INVALID_STATE = -3,
    WEBHOST_ERROR_INVALID_ARGUMENT = -2,
    WEBHOST_ERROR_UNSPECIFIED = -1,
    WEBHOST_ERROR_OK = 0,
    WEBHOST_ERROR_DUPLICATE = 1,
    WEBHOST_ERROR_NOT_FOUND = 2
} webhost_error_code;

typedef enum {
    WEBHOST_NATIVE_HANDLE_KIND_UI_WINDOW = 0,
    WEBHOST_NATIVE_HANDLE_KIND_UI_WIDGET = 1,
    WEBHOST_NATIVE_HANDLE_KIND_BROWSER_CONTROLLER = 2
} webhost_native_handle_kind;

typedef enum {
    WEBHOST_HINT_NONE = 0,
    WEBHOST_HINT_MIN = 1,
    WEBHOST_HINT_MAX = 2,
    WEBHOST_HINT_FIXED = 3
} webhost_hint;

typedef struct {
    unsigned int major;
    unsigned int minor;
    unsigned int patch;
} webhost_version_t;

typedef struct {
    webhost_version_t version;
    char version_number[32];
    char pre_release[48];
    char build_metadata[48];
} webhost_version_info_t;

/* Runs on the engine's thread, from webhost_dispatch. */
typedef void (*webhost_dispatch_fn)(webhost_t w, void* arg);
/* A page call: its id and the JSON text of its parameters, valid only during the call. */
typedef void (*webhost_binding_fn)(const char* id, const char* request, void* arg);

/* NULL when the engine cannot be made (no WebView2 runtime, no window, ...). */
webhost_t webhost_create(int debug, void* window);
webhost_error_code webhost_destroy(webhost_t w);
webhost_error_code webhost_run(webhost_t w);
webhost_error_code webhost_terminate(webhost_t w);
/* Any thread. */
webhost_error_code webhost_dispatch(webhost_t w, webhost_dispatch_fn fn, void* arg);
void* webhost_get_window(webhost_t w);
void* webhost_native_handle(webhost_t w, webhost_native_handle_kind kind);
webhost_error_code webhost_set_title(webhost_t w, const char* title);
webhost_error_code webhost_set_size(webhost_t w, int width, int height, webhost_hint hints);
/* "" shows about:blank. */
webhost_error_code webhost_navigate(webhost_t w, const char* url);
webhost_error_code webhost_set_html(webhost_t w, const char* html);
webhost_error_code webhost_add_script(webhost_t w, const char* js);
webhost_error_code webhost_eval(webhost_t w, const char* js);
webhost_error_code webhost_bind(webhost_t w, const char* name, webhost_binding_fn fn, void* arg);
webhost_error_code webhost_unbind(webhost_t w, const char* name);
/* Any thread. status 0 fulfils the page's promise, others reject it; result "" is undefined. */
webhost_error_code webhost_reply(webhost_t w, const char* id, int status, const char* result);
/* The same constant record on every call. */
const webhost_version_info_t* webhost_version(void);

#ifdef __cplusplus
}
#endif

#endif
