#pragma once
// The stand-in WebView2 runtime installed for one test, and removed again when it ends: the
// runtime folder registered under the current user's updater key (the client road), or the
// stand-in loader copied into System32 (the loader road). Without either, no runtime exists.

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "runtime.h"
#include "standin_control.h"

namespace webhost_test {

inline std::wstring with_backslashes(std::wstring path) {
    for (auto& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

inline std::wstring runtime_state_key() {
    return std::wstring(webhost::detail::runtime_state_key_prefix) + webhost::detail::webview2_client_id;
}

inline std::wstring system_loader_path() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\WebView2Loader.dll";
}

inline void register_runtime_folder(HKEY root, const std::wstring& folder) {
    HKEY key = nullptr;
    RegCreateKeyExW(root, runtime_state_key().c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key,
                    nullptr);
    RegSetValueExW(key, L"EBWebView", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                   static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

// No runtime anywhere this process could find one.
inline void remove_every_runtime() {
    RegDeleteKeyExW(HKEY_CURRENT_USER, runtime_state_key().c_str(), KEY_WOW64_32KEY, 0);
    DeleteFileW(system_loader_path().c_str());
}

class standin_runtime {
public:
    enum class road { client, loader };

    explicit standin_runtime(road way = road::client) : road_(way) {
        remove_every_runtime();
        if (way == road::client) {
            const std::wstring folder = with_backslashes(VANTREL_STANDIN_RUNTIME);
            register_runtime_folder(HKEY_CURRENT_USER, folder);
            module_ = LoadLibraryW((folder + L"\\EBWebView\\x64\\EmbeddedBrowserWebView.dll").c_str());
        } else {
            CopyFileW(with_backslashes(VANTREL_STANDIN_LOADER).c_str(), system_loader_path().c_str(), FALSE);
            module_ = LoadLibraryExW(L"WebView2Loader.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        }
        if (module_ != nullptr) function<StandinReset_fn>("StandinReset")();
    }
    ~standin_runtime() {
        let_go();
        remove_every_runtime();
    }
    standin_runtime(const standin_runtime&) = delete;
    standin_runtime& operator=(const standin_runtime&) = delete;

    bool ready() const { return module_ != nullptr; }
    void configure(const char* step, const char* outcomes) const {
        function<StandinConfigure_fn>("StandinConfigure")(step, outcomes);
    }
    std::vector<std::string> log() const {
        const auto read = function<StandinLog_fn>("StandinLog");
        std::string text(read(nullptr, 0), '\0');
        read(text.data(), static_cast<unsigned>(text.size()));
        text.resize(text.size() - 1);
        std::vector<std::string> lines;
        std::istringstream stream(text);
        for (std::string line; std::getline(stream, line);) lines.push_back(line);
        return lines;
    }
    // Lines of the record that begin with prefix.
    std::vector<std::string> calls(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& line : log()) {
            if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
        }
        return found;
    }
    int live_objects() const { return function<StandinLiveObjects_fn>("StandinLiveObjects")(); }
    std::string raise(const char* kind, const std::string& argument = {}) const {
        const auto raise_fn = function<StandinRaise_fn>("StandinRaise");
        // Once: raising an event is not repeatable.
        std::string reply(4096, '\0');
        const unsigned needed = raise_fn(kind, argument.c_str(), reply.data(), static_cast<unsigned>(reply.size()));
        reply.resize(needed <= reply.size() ? needed - 1 : reply.size() - 1);
        return reply;
    }
    void on_detach(void (*observer)(int)) const { function<StandinOnDetach_fn>("StandinOnDetach")(observer); }
    // Frees the test's own reference, so that only the engine holds the library.
    void let_go() {
        if (module_ != nullptr) FreeLibrary(module_);
        module_ = nullptr;
    }
    const wchar_t* module_name() const {
        return road_ == road::client ? L"EmbeddedBrowserWebView.dll" : L"WebView2Loader.dll";
    }

private:
    template <typename Function>
    Function function(const char* name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

    road road_;
    HMODULE module_ = nullptr;
};

}  // namespace webhost_test
