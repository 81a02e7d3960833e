/* The handle-based interface used from C: a host on the stand-in runtime, a bound function
 * that the page calls, a reply, an unbind (a call already queued is still delivered once,
 * later ones are dropped), and the host destroyed. Exit code 0 when every check held. */
#include <windows.h>
#include <objbase.h>
#include <stdio.h>
#include <string.h>

#include "standin_control.h"
#include "webhost.h"

static int failures = 0;
#define CHECK(condition)                                                    \
    do {                                                                    \
        if (!(condition)) {                                                 \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

static const wchar_t runtime_key[] =
    L"SOFTWARE\\Microsoft\\EdgeUpdate\\ClientState\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";

struct seen {
    int calls;
    char id[64];
    char request[128];
    webhost_t host;
};

static void on_add(const char* id, const char* request, void* arg) {
    struct seen* seen = (struct seen*)arg;
    ++seen->calls;
    strncpy(seen->id, id, sizeof seen->id - 1);
    strncpy(seen->request, request, sizeof seen->request - 1);
    CHECK(webhost_reply(seen->host, id, 0, "3") == WEBHOST_ERROR_OK);
}

static void stop(webhost_t w, void* arg) {
    (void)arg;
    webhost_terminate(w);
}

/* Lets every queued job run. */
static void run_queue(webhost_t w) {
    CHECK(webhost_dispatch(w, stop, NULL) == WEBHOST_ERROR_OK);
    CHECK(webhost_run(w) == WEBHOST_ERROR_OK);
}

static int log_has(StandinLog_fn read_log, const char* text) {
    static char log[1 << 16];
    read_log(log, sizeof log);
    return strstr(log, text) != NULL;
}

int main(void) {
    wchar_t folder[MAX_PATH];
    wchar_t library[MAX_PATH];
    HKEY key = NULL;
    HMODULE standin;
    FARPROC found;
    StandinRaise_fn raise;
    StandinLog_fn read_log;
    struct seen seen;
    char reply[64];
    webhost_t w;
    size_t i;

    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    RegDeleteKeyExW(HKEY_CURRENT_USER, runtime_key, KEY_WOW64_32KEY, 0);
    CHECK(webhost_create(0, NULL) == NULL);

    wcscpy(folder, VANTREL_STANDIN_RUNTIME);
    for (i = 0; folder[i]; ++i) {
        if (folder[i] == L'/') folder[i] = L'\\';
    }
    RegCreateKeyExW(HKEY_CURRENT_USER, runtime_key, 0, NULL, 0, KEY_WRITE | KEY_WOW64_32KEY, NULL, &key, NULL);
    RegSetValueExW(key, L"EBWebView", 0, REG_SZ, (const BYTE*)folder, (DWORD)((wcslen(folder) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    wcscpy(library, folder);
    wcscat(library, L"\\EBWebView\\x64\\EmbeddedBrowserWebView.dll");
    standin = LoadLibraryW(library);
    CHECK(standin != NULL);
    if (standin == NULL) return 1;
    found = GetProcAddress(standin, "StandinRaise");
    memcpy(&raise, &found, sizeof raise);
    found = GetProcAddress(standin, "StandinLog");
    memcpy(&read_log, &found, sizeof read_log);

    w = webhost_create(0, NULL);
    CHECK(w != NULL);
    if (w == NULL) return 1;
    memset(&seen, 0, sizeof seen);
    seen.host = w;
    CHECK(webhost_bind(w, "add", on_add, &seen) == WEBHOST_ERROR_OK);
    CHECK(webhost_bind(w, "add", on_add, &seen) == WEBHOST_ERROR_DUPLICATE);

    raise("web_message", "{\"id\":\"c1\",\"method\":\"add\",\"params\":[1,2]}", reply, sizeof reply);
    run_queue(w);
    CHECK(seen.calls == 1);
    CHECK(strcmp(seen.id, "c1") == 0);
    CHECK(strcmp(seen.request, "[1,2]") == 0);
    run_queue(w);
    CHECK(log_has(read_log, "browser.ExecuteScript(window.__webhost__.onReply(\"c1\", 0, \"3\"))"));

    /* Received before the unbind: delivered once. After it: dropped. */
    raise("web_message", "{\"id\":\"c2\",\"method\":\"add\",\"params\":[]}", reply, sizeof reply);
    CHECK(webhost_unbind(w, "add") == WEBHOST_ERROR_OK);
    CHECK(log_has(read_log, "window.__webhost__.onUnbind(\"add\")"));
    CHECK(log_has(read_log, "var methods = [];"));
    run_queue(w);
    CHECK(seen.calls == 2);
    raise("web_message", "{\"id\":\"c3\",\"method\":\"add\",\"params\":[]}", reply, sizeof reply);
    run_queue(w);
    CHECK(seen.calls == 2);
    CHECK(webhost_unbind(w, "add") == WEBHOST_ERROR_NOT_FOUND);

    CHECK(webhost_destroy(w) == WEBHOST_ERROR_OK);
    FreeLibrary(standin);
    RegDeleteKeyExW(HKEY_CURRENT_USER, runtime_key, KEY_WOW64_32KEY, 0);
    CoUninitialize();
    printf("%s\n", failures == 0 ? "all checks held" : "checks failed");
    return failures == 0 ? 0 : 1;
}
