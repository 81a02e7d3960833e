#pragma once
// Where the WebView2 runtime is: through the loader library when there is one, otherwise
// through the Edge updater's state in the registry.

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace webhost::detail {

inline constexpr wchar_t webview2_client_id[] = L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
inline constexpr wchar_t runtime_state_key_prefix[] = L"SOFTWARE\\Microsoft\\EdgeUpdate\\ClientState\\";
inline constexpr std::uint32_t minimum_runtime_build = 1150;

struct runtime_client {
    bool found = false;
    std::wstring dll_path;
    std::wstring version;
    std::int32_t runtime_type = 0;
};

// Up to four numbers of a version text; unreadable, negative or oversized parts count as 0.
std::array<std::uint32_t, 4> parse_runtime_version(std::wstring_view version);

// The client library below a runtime folder named after its version (the registry's text,
// trailing NULs included), or "not found" when the build is below min_build.
runtime_client runtime_client_from_folder(std::wstring_view folder, std::uint32_t min_build);

// A value's bytes, or nothing when it is missing or cannot be read; the second read's own size
// counts, and a value that grows between the reads is read again.
std::optional<std::vector<BYTE>> read_registry_bytes(HKEY key, const wchar_t* name);

runtime_client locate_runtime_client(std::uint32_t min_build, bool system, const std::wstring& client_id);
// The machine-wide registry first, then the current user's.
runtime_client locate_installed_runtime();

bool runtime_available(HMODULE loader_module);

}  // namespace webhost::detail
