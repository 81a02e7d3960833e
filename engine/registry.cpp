#include "registry.h"

#include "product.h"
#include "win32_owners.h"

namespace {

std::wstring user_path(const std::wstring& key) {
    if (sandbox_root.empty()) return key;
    return registry_sandbox_prefix + key;
}

const wchar_t* name_or_default(const std::wstring& name) { return name.empty() ? nullptr : name.c_str(); }

bool set_value(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, DWORD size) {
    win32::unique_hkey handle;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, user_path(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, handle.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(handle.get(), name_or_default(name), 0, type, static_cast<const BYTE*>(data), size) ==
           ERROR_SUCCESS;
}

}  // namespace

bool reg_set_dword(const std::wstring& key, const std::wstring& name, std::uint32_t value) {
    const DWORD data = value;
    return set_value(key, name, REG_DWORD, &data, sizeof data);
}

bool reg_set_string(const std::wstring& key, const std::wstring& name, const std::wstring& text) {
    return set_value(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool reg_delete_key(const std::wstring& key) {
    const std::wstring path = user_path(key);
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    const LSTATUS status = RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

std::wstring reg_read_string(HKEY root, const std::wstring& subkey, const std::wstring& name) {
    return reg_read_string_as_named(root, root == HKEY_CURRENT_USER ? user_path(subkey) : subkey, name);
}

std::wstring reg_read_string_as_named(HKEY root, const std::wstring& path, const std::wstring& name) {
    wchar_t buffer[1024];
    DWORD size = sizeof buffer;
    if (RegGetValueW(root, path.c_str(), name_or_default(name), RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS)
        return {};
    buffer[1023] = L'\0';
    return std::wstring(buffer);
}
