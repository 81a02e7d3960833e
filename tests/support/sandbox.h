#pragma once
// A fresh temporary folder for one test, removed again when the test ends.
#include <filesystem>
#include <string>

#include <windows.h>

#include "product.h"
#include "win32_owners.h"

namespace testing_support {

inline bool user_key_exists(const std::wstring& path) {
    win32::unique_hkey k;
    return RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, k.put()) == ERROR_SUCCESS;
}

// Removes a per-user key with everything below it.
inline void delete_user_tree(const std::wstring& path) {
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
}

inline std::filesystem::path make_temp_folder(const std::wstring& tag) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    std::filesystem::path base = n ? std::filesystem::path(std::wstring(temp, n)) : std::filesystem::path(L"C:\\");
    for (unsigned i = 0;; ++i) {
        auto candidate = base / (L"vantrel-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(i));
        std::error_code ec;
        if (std::filesystem::create_directories(candidate, ec)) return candidate;
    }
}

// A temporary folder that lives for the scope.
class temp_folder {
public:
    explicit temp_folder(const std::wstring& tag = L"test") : path_(make_temp_folder(tag)) {}
    ~temp_folder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Turns the engine's sandbox on for the scope (a fresh folder) and off again afterwards,
// removing the folder and the sandbox registry key.
class sandbox_scope {
public:
    sandbox_scope() : folder_(L"sandbox") { sandbox_root = folder_.path(); }
    ~sandbox_scope() {
        sandbox_root.clear();
        delete_user_tree(L"Software\\Vantrel\\SetupSandbox");
    }
    const std::filesystem::path& path() const { return folder_.path(); }

private:
    temp_folder folder_;
};

}  // namespace testing_support
