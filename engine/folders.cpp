#include "folders.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "product.h"

namespace fs = std::filesystem;

fs::path known_folder(const GUID& id, const std::wstring& leaf) {
    if (!sandbox_root.empty()) return sandbox_root / leaf;
    PWSTR text = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &text);
    fs::path result;
    if (SUCCEEDED(hr) && text) result = fs::path(text);
    if (text) CoTaskMemFree(text);
    return result;
}

fs::path install_dir() {
    const fs::path base = known_folder(FOLDERID_LocalAppData, L"Local");
    // A relative install folder would write into whatever the current folder is.
    if (base.empty()) return {};
    return base / L"Programs" / product_info.folder_name;
}

fs::path resolve_scripts_dir() {
    const fs::path base = known_folder(FOLDERID_RoamingAppData, L"Roaming");
    if (base.empty()) return {};
    return base / L"Blackmagic Design" / L"DaVinci Resolve" / L"Support" / L"Fusion" / L"Scripts" /
           L"Utility";
}

fs::path own_exe_path() {
    // Windows cuts a name that does not fit and returns the buffer's size: grow until it fits.
    std::wstring buffer(1040, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return fs::path(buffer.substr(0, n));
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}
