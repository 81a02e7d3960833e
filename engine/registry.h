#pragma once
#include <cstdint>
#include <string>

#include <windows.h>

// Per-user registry access. While the sandbox is on, every per-user key lies below this key.
inline constexpr const wchar_t* registry_sandbox_prefix = L"Software\\Vantrel\\SetupSandbox\\";

// The writes report whether the value was stored, the delete whether the key is gone (or was
// never there); a failed read gives "".
[[nodiscard]] bool reg_set_dword(const std::wstring& key, const std::wstring& name, std::uint32_t value);
[[nodiscard]] bool reg_set_string(const std::wstring& key, const std::wstring& name, const std::wstring& text);
[[nodiscard]] bool reg_delete_key(const std::wstring& key);
std::wstring reg_read_string(HKEY root, const std::wstring& subkey, const std::wstring& name);
// The same read of the key as it is named, whether or not the sandbox is on.
std::wstring reg_read_string_as_named(HKEY root, const std::wstring& subkey, const std::wstring& name);
