#include "folders.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cwctype>
#include <string_view>

#include "file_removal.h"
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

bool sandbox_folder_from(const std::wstring& value, fs::path& folder) {
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    std::wstring text = value;
    if (text.size() >= 4 && separator(text[0]) && separator(text[1]) && (text[2] == L'?' || text[2] == L'.') &&
        separator(text[3])) {
        const std::wstring rest = text.substr(4);
        if (rest.size() >= 4 && CompareStringOrdinal(rest.c_str(), 3, L"UNC", 3, TRUE) == CSTR_EQUAL &&
            separator(rest[3]))
            text = L"\\\\" + rest.substr(4);
        else if (rest.size() >= 2 && iswalpha(rest[0]) && rest[1] == L':' && (rest.size() == 2 || separator(rest[2])))
            text = rest;
        else
            return false;
    }
    // The system drops a name's trailing dots and spaces where the long form keeps them: the
    // install would write to one folder and the uninstall look in another.
    for (std::size_t start = 0, end = 0; start <= text.size(); start = end + 1) {
        end = start;
        while (end < text.size() && !separator(text[end])) ++end;
        const std::wstring_view name(text.data() + start, end - start);
        if (name.empty() || name == L"." || name == L"..") continue;
        if (name.back() == L'.' || name.back() == L' ') return false;
    }
    folder = normal_path(text);
    for (const fs::path& name : folder)
        if (name == L"." || name == L"..") return false;
    return true;
}
