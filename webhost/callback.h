#pragma once
// Callback<I>(f): a heap COM object implementing the one-method WebView2 handler interface I
// whose Invoke calls f; its IUnknown is com_object's.

#include <wrl/client.h>

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

#include "webview2.h"

namespace webhost::detail {

// Takes over the reference that a new COM object starts with. (mingw-w64's ComPtr::Attach adds
// a reference of its own, unlike the documented one, so it is not used.)
template <typename T>
Microsoft::WRL::ComPtr<T> adopt(T* created) noexcept {
    Microsoft::WRL::ComPtr<T> owner;
    *owner.GetAddressOf() = created;
    return owner;
}

// IUnknown for a heap object of one interface: QueryInterface answers IUnknown and Interface
// with the same pointer; the reference count is real, and the object goes with its last
// reference. A new object holds one reference, for adopt to take over.
template <typename Interface>
class com_object : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(Interface)) {
            *out = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --count_;
        if (left == 0) delete this;
        return left;
    }

protected:
    com_object() = default;
    virtual ~com_object() = default;

private:
    std::atomic<ULONG> count_{1};
};

template <typename Interface, typename Function, typename Method>
class callback_object;

template <typename Interface, typename Function, typename... Args>
class callback_object<Interface, Function, HRESULT (STDMETHODCALLTYPE Interface::*)(Args...)> final
    : public com_object<Interface> {
public:
    explicit callback_object(Function function) : function_(std::move(function)) {}

    HRESULT STDMETHODCALLTYPE Invoke(Args... args) override {
        // An exception must not cross into the runtime.
        try {
            return function_(args...);
        } catch (...) {
            return E_FAIL;
        }
    }

private:
    Function function_;
};

template <typename Interface, typename Function>
Microsoft::WRL::ComPtr<Interface> Callback(Function&& function) {
    using object = callback_object<Interface, std::decay_t<Function>, decltype(&Interface::Invoke)>;
    return adopt<Interface>(new (std::nothrow) object(std::forward<Function>(function)));
}

}  // namespace webhost::detail
