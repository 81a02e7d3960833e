// The stand-in's exported functions: the runtime client's and the loader's entry points, and
// the control functions through which a test configures it, reads its record and raises events.

#include <objbase.h>

#include <cstring>
#include <string>

#include "fakes.h"
#include "standin_control.h"
#include "transport.h"

namespace {

void (*detach_observer)(int) = nullptr;

unsigned copy_out(const std::string& text, char* buffer, unsigned capacity) {
    if (buffer != nullptr && capacity > 0) {
        const std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<unsigned>(text.size() + 1);
}

std::string folder_text(PCWSTR folder) { return folder == nullptr ? "(null)" : standin::narrow(folder); }

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        standin::transport::instance().note("attach");
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // Unloaded by FreeLibrary: tell the test how many objects were still alive.
        standin::transport::instance().shut_down();
        if (detach_observer != nullptr) detach_observer(standin::live_objects() + standin::transport::instance().pending());
    }
    return TRUE;
}

#ifdef STANDIN_CLIENT
__declspec(dllexport) HRESULT STDAPICALLTYPE CreateWebViewEnvironmentWithOptionsInternal(
    bool check_running_instance, int runtime_type, PCWSTR user_data_folder, IUnknown* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    return standin::create_environment("client.CreateWebViewEnvironmentWithOptionsInternal",
                                       std::to_string(check_running_instance ? 1 : 0) + "," +
                                           std::to_string(runtime_type) + "," + folder_text(user_data_folder) + "," +
                                           (options == nullptr ? "no options" : "options"),
                                       handler);
}
#endif

#ifdef STANDIN_LOADER
__declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR browser_folder, PCWSTR user_data_folder, ICoreWebView2EnvironmentOptions* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    return standin::create_environment("loader.CreateCoreWebView2EnvironmentWithOptions",
                                       folder_text(browser_folder) + "," + folder_text(user_data_folder) + "," +
                                           (options == nullptr ? "no options" : "options"),
                                       handler);
}

__declspec(dllexport) HRESULT STDAPICALLTYPE GetAvailableCoreWebView2BrowserVersionString(PCWSTR browser_folder,
                                                                                          LPWSTR* version) {
    const standin::outcome o =
        standin::transport::instance().call("loader.GetAvailableCoreWebView2BrowserVersionString", folder_text(browser_folder));
    if (version == nullptr) return E_POINTER;
    *version = nullptr;
    if (o.kind == standin::outcome::fail) return o.hr;
    if (o.kind == standin::outcome::null_result) return S_OK;
    const wchar_t text[] = L"120.0.2210.91";
    *version = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof text));
    if (*version != nullptr) std::memcpy(*version, text, sizeof text);
    return S_OK;
}
#endif

// May go only when nothing it handed out is alive and no completion is still to come.
__declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    const standin::outcome o = standin::transport::instance().call("DllCanUnloadNow");
    if (o.kind == standin::outcome::fail) return S_FALSE;
    return standin::live_objects() == 0 && standin::transport::instance().pending() == 0 ? S_OK : S_FALSE;
}

__declspec(dllexport) void StandinConfigure(const char* step, const char* outcomes) {
    standin::transport::instance().configure(step, outcomes);
}

__declspec(dllexport) void StandinReset() { standin::transport::instance().reset(); }

__declspec(dllexport) unsigned StandinLog(char* buffer, unsigned capacity) {
    return copy_out(standin::transport::instance().log(), buffer, capacity);
}

__declspec(dllexport) int StandinLiveObjects() { return standin::live_objects(); }

__declspec(dllexport) unsigned StandinRaise(const char* kind, const char* argument, char* reply, unsigned capacity) {
    return copy_out(standin::transport::instance().raise(kind, argument == nullptr ? "" : argument), reply, capacity);
}

__declspec(dllexport) void StandinOnDetach(void (*observer)(int)) { detach_observer = observer; }

}  // extern "C"
