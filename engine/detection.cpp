#include "detection.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <system_error>
#include <vector>

#include "product.h"
#include "registry.h"
#include "win32_owners.h"

namespace fs = std::filesystem;

namespace {

bool is_regular(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(fs::status(p, ec));
}

const wchar_t* const python_keys[] = {L"Software\\Python\\PythonCore",
                                      L"Software\\WOW6432Node\\Python\\PythonCore"};

// The interpreter a registered version names: its ExecutablePath alone when set, else its
// installation folder's python.exe.
fs::path registered_interpreter(HKEY root, const std::wstring& key, const std::wstring& version) {
    const std::wstring path = key + L"\\" + version + L"\\InstallPath";
    const std::wstring exe = reg_read_string(root, path, L"ExecutablePath");
    if (!exe.empty()) return fs::path(exe);
    const std::wstring folder = reg_read_string(root, path, L"");
    if (folder.empty()) return {};
    return fs::path(folder) / L"python.exe";
}

bool probe_registered_versions(HKEY root, const wchar_t* key) {
    win32::unique_hkey handle;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, handle.put()) != ERROR_SUCCESS) return false;
    bool found = false;
    for (DWORD index = 0; index < 64 && !found; ++index) {
        wchar_t name[128];
        DWORD size = 128;
        if (RegEnumKeyExW(handle.get(), index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (name[0] != L'3') continue;
        found = probe_python(python_check_args, registered_interpreter(root, key, name), L"");
    }
    return found;
}

// The first match of `file` on the search path, or empty.
fs::path search_path(const wchar_t* file) {
    return fs::path(win32::read_growing([file](wchar_t* buffer, DWORD size) {
        return SearchPathW(nullptr, file, nullptr, size, buffer, nullptr);
    }));
}

fs::path program_files_folder() {
    if (!sandbox_root.empty()) return sandbox_root / L"ProgramFiles";
    const std::wstring folder = win32::read_growing(
        [](wchar_t* buffer, DWORD size) { return GetEnvironmentVariableW(L"ProgramW6432", buffer, size); });
    if (folder.empty()) return fs::path(L"C:\\Program Files");
    return fs::path(folder);
}

}  // namespace

int run_hidden(const fs::path& program, const std::wstring& arguments) {
    std::wstring command = L"\"" + program.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info))
        return -1;
    win32::process process;
    process.adopt(info);
    int result = -1;
    if (WaitForSingleObject(process.handle.get(), probe_timeout_ms) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(process.handle.get(), &code)) result = static_cast<int>(code);
    } else {
        TerminateProcess(process.handle.get(), 1);
    }
    return result;
}

bool probe_python(const std::wstring& check_args, const fs::path& candidate, const std::wstring& prefix) {
    if (!is_regular(candidate)) return false;
    // The Store's alias opens the Store instead of answering.
    if (candidate.wstring().find(L"WindowsApps") != std::wstring::npos) return false;
    return run_hidden(candidate, prefix + check_args) == 0;
}

bool find_python() {
    if (!sandbox_root.empty())
        return probe_python(python_check_args, sandbox_root / L"ProgramFiles" / L"Python" / L"python.exe", L"");
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
        for (const wchar_t* key : python_keys)
            if (probe_registered_versions(root, key)) return true;
    const fs::path python = search_path(L"python.exe");
    if (!python.empty() && probe_python(python_check_args, python, L"")) return true;
    const fs::path launcher = search_path(L"py.exe");
    if (launcher.empty()) return false;
    return probe_python(python_check_args, launcher, python_launcher_prefix);
}

bool find_resolve() {
    if (is_regular(program_files_folder() / L"Blackmagic Design" / L"DaVinci Resolve" / L"Resolve.exe"))
        return true;
    if (!sandbox_root.empty()) return false;
    const std::wstring app = reg_read_string(
        HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Resolve.exe", L"");
    const std::wstring folder =
        reg_read_string(HKEY_LOCAL_MACHINE, L"Software\\Blackmagic Design\\DaVinci Resolve", L"InstallPath");
    if (!app.empty() && is_regular(fs::path(app))) return true;
    if (!folder.empty() && is_regular(fs::path(folder) / L"Resolve.exe")) return true;
    return false;
}

std::vector<std::wstring> running_process_names() {
    std::vector<std::wstring> names;
    const win32::unique_snapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return names;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32FirstW(snapshot.get(), &entry); ok; ok = Process32NextW(snapshot.get(), &entry))
        names.emplace_back(entry.szExeFile);
    return names;
}

bool is_running_in(const std::vector<std::wstring>& names, const std::wstring& name) {
    for (const std::wstring& running : names)
        if (_wcsicmp(running.c_str(), name.c_str()) == 0) return true;
    return false;
}

bool is_process_running(const std::wstring& name) { return is_running_in(running_process_names(), name); }
