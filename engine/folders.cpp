#include "folders.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "product.h"
#include "win32_owners.h"

namespace fs = std::filesystem;

fs::path known_folder(const GUID& id, const std::wstring& leaf) {
    if (!sandbox_root.empty()) return sandbox_root / leaf;
    win32::unique_cotaskmem<wchar_t> text;
    const HRESULT hr = SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, text.put());
    if (FAILED(hr) || !text) return {};
    return fs::path(text.get());
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
    // Windows cuts a name that does not fit and returns the buffer's size: the read grows.
    return fs::path(win32::read_growing(
        [](wchar_t* buffer, DWORD size) { return GetModuleFileNameW(nullptr, buffer, size); }, 1040));
}
