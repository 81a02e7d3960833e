#include "runtime.h"

#include <objbase.h>

#include <cerrno>
#include <climits>
#include <cwchar>

#include "webview2.h"
#include "win32_owners.h"

namespace webhost::detail {

namespace {

std::uint32_t version_part(const std::wstring& part) {
    if (part.empty()) return 0;
    errno = 0;
    wchar_t* end = nullptr;
    const long value = std::wcstol(part.c_str(), &end, 10);
    if (end == part.c_str() || errno == ERANGE || value < 0 || value > INT_MAX) return 0;
    return static_cast<std::uint32_t>(value);
}

}  // namespace

std::array<std::uint32_t, 4> parse_runtime_version(std::wstring_view version) {
    std::array<std::uint32_t, 4> numbers{};
    std::size_t start = 0;
    for (std::size_t index = 0; index < numbers.size() && start <= version.size(); ++index) {
        const std::size_t dot = version.find(L'.', start);
        const std::size_t end = dot == std::wstring_view::npos ? version.size() : dot;
        numbers[index] = version_part(std::wstring(version.substr(start, end - start)));
        if (dot == std::wstring_view::npos) break;
        start = dot + 1;
    }
    return numbers;
}

runtime_client runtime_client_from_folder(std::wstring_view folder, std::uint32_t min_build) {
    while (!folder.empty() && folder.back() == L'\0') folder.remove_suffix(1);
    const std::size_t slash = folder.rfind(L'\\');
    const std::wstring_view version =
        slash == std::wstring_view::npos ? std::wstring_view() : folder.substr(slash + 1);
    if (parse_runtime_version(version)[2] < min_build) return {};

    runtime_client client;
    client.found = true;
    client.dll_path.assign(folder);
    if (!client.dll_path.empty() && client.dll_path.back() != L'\\' && client.dll_path.back() != L'/') {
        client.dll_path += L'\\';
    }
    client.dll_path += L"EBWebView\\x64\\EmbeddedBrowserWebView.dll";
    client.version.assign(version);
    return client;
}

std::optional<std::vector<BYTE>> read_registry_bytes(HKEY key, const wchar_t* name) {
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return std::nullopt;
    std::vector<BYTE> bytes;
    for (int tries = 0; tries < 4; ++tries) {
        bytes.resize(size);
        DWORD read = size;
        status = RegQueryValueExW(key, name, nullptr, nullptr, bytes.empty() ? nullptr : bytes.data(), &read);
        if (status == ERROR_SUCCESS) {
            // The value may have shrunk since the size was asked.
            bytes.resize(read < size ? read : size);
            return bytes;
        }
        if (status != ERROR_MORE_DATA) return std::nullopt;
        size = read;  // it grew: read again with the new size
    }
    return std::nullopt;
}

runtime_client locate_runtime_client(std::uint32_t min_build, bool system, const std::wstring& client_id) {
    const std::wstring path = runtime_state_key_prefix + client_id;
    reg_key key;
    if (RegOpenKeyExW(system ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY,
                      key.put()) != ERROR_SUCCESS ||
        !key) {
        return {};
    }
    const auto bytes = read_registry_bytes(key.get(), L"EBWebView");
    if (!bytes) return {};
    const std::wstring folder(reinterpret_cast<const wchar_t*>(bytes->data()), bytes->size() / sizeof(wchar_t));
    return runtime_client_from_folder(folder, min_build);
}

runtime_client locate_installed_runtime() {
    runtime_client client = locate_runtime_client(minimum_runtime_build, true, webview2_client_id);
    if (!client.found) client = locate_runtime_client(minimum_runtime_build, false, webview2_client_id);
    return client;
}

bool runtime_available(HMODULE loader_module) {
    const auto get_version = loader_module == nullptr
                                 ? nullptr
                                 : reinterpret_cast<GetAvailableCoreWebView2BrowserVersionString_fn>(
                                       reinterpret_cast<void*>(GetProcAddress(
                                           loader_module, "GetAvailableCoreWebView2BrowserVersionString")));
    if (get_version != nullptr) {
        co_task_string version;
        const HRESULT hr = get_version(nullptr, version.put());
        return SUCCEEDED(hr) && version.get() != nullptr;
    }
    return locate_installed_runtime().found;
}

}  // namespace webhost::detail
