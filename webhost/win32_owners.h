#pragma once
// The web UI host's own owners of Win32 resources: each releases its resource where it was
// acquired, so that no handle is closed by hand.

#include <windows.h>
#include <objbase.h>

#include <utility>

namespace webhost::detail {

// One loaded library.
class unique_module {
public:
    unique_module() = default;
    explicit unique_module(HMODULE module) noexcept : module_(module) {}
    unique_module(unique_module&& other) noexcept : module_(std::exchange(other.module_, nullptr)) {}
    unique_module& operator=(unique_module&& other) noexcept {
        if (this != &other) reset(std::exchange(other.module_, nullptr));
        return *this;
    }
    unique_module(const unique_module&) = delete;
    unique_module& operator=(const unique_module&) = delete;
    ~unique_module() { reset(); }

    HMODULE get() const noexcept { return module_; }
    explicit operator bool() const noexcept { return module_ != nullptr; }
    void reset(HMODULE module = nullptr) noexcept {
        if (module_ != nullptr) FreeLibrary(module_);
        module_ = module;
    }
    // Gives the library up without freeing it.
    HMODULE release() noexcept { return std::exchange(module_, nullptr); }

    template <typename Function>
    Function function(const char* name) const noexcept {
        if (module_ == nullptr) return nullptr;
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_ = nullptr;
};

// A system library, loaded from System32 only, never from the program's or the current folder.
inline unique_module load_system_library(const wchar_t* name) noexcept {
    return unique_module(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

// One open registry key.
class reg_key {
public:
    reg_key() = default;
    explicit reg_key(HKEY key) noexcept : key_(key) {}
    reg_key(const reg_key&) = delete;
    reg_key& operator=(const reg_key&) = delete;
    virtual ~reg_key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }

    HKEY get() const noexcept { return key_; }
    HKEY* put() noexcept { return &key_; }
    explicit operator bool() const noexcept { return key_ != nullptr; }

private:
    HKEY key_ = nullptr;
};

// COM initialised on this thread; uninitialised when the owner goes.
class com_apartment {
public:
    com_apartment() = default;
    com_apartment(const com_apartment&) = delete;
    com_apartment& operator=(const com_apartment&) = delete;
    ~com_apartment() { reset(); }

    // S_OK and S_FALSE both have to be balanced by CoUninitialize.
    HRESULT initialize(DWORD model) noexcept {
        reset();
        const HRESULT hr = CoInitializeEx(nullptr, model);
        initialized_ = SUCCEEDED(hr);
        thread_ = GetCurrentThreadId();
        return hr;
    }
    bool initialized() const noexcept { return initialized_; }
    // Only the thread that initialised may balance it: an owner let go on another thread would
    // take that thread's own apartment away.
    void reset() noexcept {
        if (initialized_ && thread_ == GetCurrentThreadId()) CoUninitialize();
        initialized_ = false;
    }

private:
    bool initialized_ = false;
    DWORD thread_ = 0;
};

// A string that COM allocated.
class co_task_string {
public:
    co_task_string() = default;
    co_task_string(const co_task_string&) = delete;
    co_task_string& operator=(const co_task_string&) = delete;
    ~co_task_string() { CoTaskMemFree(text_); }

    LPWSTR* put() noexcept {
        CoTaskMemFree(text_);
        text_ = nullptr;
        return &text_;
    }
    LPCWSTR get() const noexcept { return text_; }

private:
    LPWSTR text_ = nullptr;
};

}  // namespace webhost::detail
