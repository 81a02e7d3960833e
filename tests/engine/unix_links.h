#pragma once
// Unix symbolic links planted under Wine, for the tests of what our code does with a link.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <filesystem>
#include <string>

#include "engine_test_support.h"

namespace engine_tests {

// Wine's Unix name of `p`: its folder converted, its last component as written, so that a link
// there is never resolved. Empty outside Wine.
inline std::wstring unix_name_of(const fs::path& p) {
    using unix_name_fn = char*(CDECL*)(const wchar_t*);
    const auto unix_name = reinterpret_cast<unix_name_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unix_name) return {};
    char* folder = unix_name(p.parent_path().c_str());
    if (!folder) return {};
    const std::string text = folder;
    HeapFree(GetProcessHeap(), 0, folder);
    return utf8_to_wide(text) + L"/" + p.filename().wstring();
}

// Starts one of the host's tools. Wine gives no process handle for a Unix program, so callers
// wait for what the tool does, not for the tool.
inline bool start_unix_tool(const wchar_t* program, std::wstring command) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    win32::process tool;
    tool.adopt(info);
    if (tool.handle) WaitForSingleObject(tool.handle.get(), 60000);
    return true;
}

inline bool wait_for_attributes(const fs::path& p, bool present) {
    const ULONGLONG end = GetTickCount64() + 60000;
    while ((GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES) != present) {
        if (GetTickCount64() > end) return false;
        Sleep(50);
    }
    return true;
}

// Under Wine, a Unix symbolic link `link` to `target`, made by the host's ln (Wine starts Unix
// programs); Windows' own links need privileges these tests do not assume. False where it cannot.
inline bool make_unix_link_once(const fs::path& link, const fs::path& target) {
    const std::wstring from = unix_name_of(link), to = unix_name_of(target);
    if (from.empty() || to.empty()) return false;
    // The name must be free first, so that its appearance tells the link was made. Wine hands
    // out pids again, so a stale file of an earlier run may hold it.
    DeleteFileW(link.c_str());
    if (GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    if (!start_unix_tool(L"Z:\\bin\\ln", L"ln -s \"" + to + L"\" \"" + from + L"\"")) return false;
    return wait_for_attributes(link, true);
}

// Callers skip where no link can be made. Under Wine one always can, so there a failure is
// this helper's fault and fails the test rather than letting it pass unseen as a skip.
inline bool make_unix_link(const fs::path& link, const fs::path& target) {
    if (make_unix_link_once(link, target)) return true;
    if (!unix_name_of(link).empty()) ADD_FAILURE() << "no symbolic link could be made at " << link;
    return false;
}

// Removes a link made by make_unix_link with the host's rm, which removes the link itself.
inline void remove_unix_link(const fs::path& link) {
    const std::wstring name = unix_name_of(link);
    if (name.empty() || !start_unix_tool(L"Z:\\bin\\rm", L"rm -f \"" + name + L"\"")) return;
    wait_for_attributes(link, false);
}

// A drive letter of its own over `folder` for the scope. Windows maps one with DefineDosDeviceW;
// Wine reports success there but maps nothing, so under Wine it is a link in the prefix's
// dosdevices folder, the way Wine keeps its drives. root() is empty where none can be made.
class mapped_drive {
public:
    explicit mapped_drive(const fs::path& folder) {
        for (const wchar_t* letter : {L"T", L"U", L"V", L"W"}) {
            const std::wstring device = std::wstring(letter) + L":", root = device + L"\\";
            if (GetDriveTypeW(root.c_str()) != DRIVE_NO_ROOT_DIR) continue;
            if (DefineDosDeviceW(0, device.c_str(), folder.c_str()) && shows(root)) {
                device_ = device;
                root_ = root;
                return;
            }
            DefineDosDeviceW(DDD_REMOVE_DEFINITION, device.c_str(), nullptr);
            wchar_t prefix[MAX_PATH] = {};
            const DWORD n = GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
            const std::wstring target = unix_name_of(folder / L"x");
            if (n == 0 || n >= MAX_PATH || target.empty()) return;
            link_ = std::wstring(prefix) + L"/dosdevices/" + static_cast<wchar_t>(towlower(letter[0])) + L":";
            start_unix_tool(L"Z:\\bin\\ln", L"ln -sfn \"" + target.substr(0, target.size() - 2) + L"\" \"" + link_ + L"\"");
            const ULONGLONG end = GetTickCount64() + 60000;
            while (!shows(root) && GetTickCount64() < end) Sleep(50);
            if (shows(root)) root_ = root;
            return;
        }
    }
    ~mapped_drive() {
        if (!device_.empty()) DefineDosDeviceW(DDD_REMOVE_DEFINITION, device_.c_str(), nullptr);
        if (!link_.empty()) start_unix_tool(L"Z:\\bin\\rm", L"rm -f \"" + link_ + L"\"");
    }
    mapped_drive(const mapped_drive&) = delete;
    mapped_drive& operator=(const mapped_drive&) = delete;
    // "T:\\" or the like; empty when no drive could be mapped.
    const std::wstring& root() const { return root_; }

private:
    static bool shows(const std::wstring& root) { return GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES; }
    std::wstring device_, link_, root_;
};

}  // namespace engine_tests
