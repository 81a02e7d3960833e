#pragma once
// Owners of Win32 resources: each closes what it holds exactly once, when it goes out of scope.
// No code outside this header closes a handle, key, find handle, module or system memory.
#include <windows.h>
#include <tlhelp32.h>
#include <objbase.h>

#include <string>
#include <utility>

namespace win32 {

template <class Traits>
class owner {
public:
    using value_type = typename Traits::value_type;
    owner() noexcept = default;
    explicit owner(value_type value) noexcept : value_(value) {}
    ~owner() { reset(); }
    owner(owner&& other) noexcept : value_(other.release()) {}
    owner& operator=(owner&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    owner(const owner&) = delete;
    owner& operator=(const owner&) = delete;

    value_type get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return Traits::valid(value_); }
    // For functions that hand the resource out through a pointer; whatever was held is closed first.
    value_type* put() noexcept {
        reset();
        return &value_;
    }
    value_type release() noexcept { return std::exchange(value_, Traits::empty()); }
    void reset(value_type value = Traits::empty()) noexcept {
        if (Traits::valid(value_)) Traits::close(value_);
        value_ = value;
    }

private:
    value_type value_ = Traits::empty();
};

// Kernel handles. Some functions report failure as null, others as INVALID_HANDLE_VALUE:
// neither is ever closed.
struct handle_traits {
    using value_type = HANDLE;
    static value_type empty() noexcept { return nullptr; }
    static bool valid(value_type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(value_type h) noexcept { CloseHandle(h); }
};
using unique_handle = owner<handle_traits>;

// A Toolhelp snapshot is a kernel handle too, but invalid as INVALID_HANDLE_VALUE only.
struct snapshot_traits {
    using value_type = HANDLE;
    static value_type empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool valid(value_type h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void close(value_type h) noexcept { CloseHandle(h); }
};
using unique_snapshot = owner<snapshot_traits>;

struct hkey_traits {
    using value_type = HKEY;
    static value_type empty() noexcept { return nullptr; }
    static bool valid(value_type k) noexcept { return k != nullptr; }
    static void close(value_type k) noexcept { RegCloseKey(k); }
};
using unique_hkey = owner<hkey_traits>;

struct find_traits {
    using value_type = HANDLE;
    static value_type empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool valid(value_type h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void close(value_type h) noexcept { FindClose(h); }
};
using unique_find = owner<find_traits>;

struct module_traits {
    using value_type = HMODULE;
    static value_type empty() noexcept { return nullptr; }
    static bool valid(value_type m) noexcept { return m != nullptr; }
    static void close(value_type m) noexcept { FreeLibrary(m); }
};
using unique_module = owner<module_traits>;

template <class T>
struct cotaskmem_traits {
    using value_type = T*;
    static value_type empty() noexcept { return nullptr; }
    static bool valid(value_type p) noexcept { return p != nullptr; }
    static void close(value_type p) noexcept { CoTaskMemFree(p); }
};
// A string (or other memory) that the shell or COM allocated for the caller.
template <class T = wchar_t>
using unique_cotaskmem = owner<cotaskmem_traits<T>>;

template <class T>
struct local_traits {
    using value_type = T;
    static value_type empty() noexcept { return nullptr; }
    static bool valid(value_type p) noexcept { return p != nullptr; }
    static void close(value_type p) noexcept { LocalFree(reinterpret_cast<HLOCAL>(p)); }
};
// Memory that a Windows function allocated with LocalAlloc, such as CommandLineToArgvW's vector.
template <class T>
using unique_local = owner<local_traits<T>>;

// The two handles CreateProcessW returns.
struct process {
    unique_handle handle;
    unique_handle thread;
    void adopt(const PROCESS_INFORMATION& info) noexcept {
        handle.reset(info.hProcess);
        thread.reset(info.hThread);
    }
};

// A named mutex created owned. Releasing gives up ownership and the handle at once, so that
// another process can become the owner; otherwise the handle closes with the owner.
class named_mutex {
public:
    named_mutex() noexcept = default;
    explicit named_mutex(const std::wstring& name) noexcept {
        handle_.reset(CreateMutexW(nullptr, TRUE, name.c_str()));
        already_existed_ = handle_ && GetLastError() == ERROR_ALREADY_EXISTS;
    }
    bool held() const noexcept { return static_cast<bool>(handle_); }
    // True when another process had created the mutex first.
    bool already_existed() const noexcept { return already_existed_; }
    // True when this process made the mutex and owns it. A name that another object has taken
    // (an event, say) makes no mutex: that counts as owned by someone else too.
    bool owned() const noexcept { return held() && !already_existed_; }
    void release() noexcept {
        if (!handle_) return;
        ReleaseMutex(handle_.get());
        handle_.reset();
    }

private:
    unique_handle handle_;
    bool already_existed_ = false;
};

// Reads a string from a Windows function that fills a caller's buffer of `size` characters and
// returns the length written, or, when the buffer is too small, either the size it needs or
// the buffer's size (a cut text). The buffer grows until the text fits. Empty on failure.
template <class Fill>
std::wstring read_growing(Fill fill, DWORD first_size = 260, DWORD limit = 65536) {
    std::wstring buffer(first_size, L'\0');
    for (;;) {
        const DWORD n = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        const DWORD wanted = n > buffer.size() ? n : static_cast<DWORD>(buffer.size() * 2);
        if (wanted > limit) return {};
        buffer.assign(wanted, L'\0');
    }
}

}  // namespace win32
