#include "detection.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <system_error>

#include "product.h"
#include "registry.h"

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
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    bool found = false;
    for (DWORD index = 0; index < 64 && !found; ++index) {
        wchar_t name[128];
        DWORD size = 128;
        if (RegEnumKeyExW(handle, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (name[0] != L'3') continue;
        found = probe_python(python_check_args, registered_interpreter(root, key, name), L"");
    }
    RegCloseKey(handle);
    return found;
}

// The first match of `file` on the search path, or empty.
fs::path search_path(const wchar_t* file) {
    std::wstring buffer(32768, L'\0');
    const DWORD n = SearchPathW(nullptr, file, nullptr, static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0 || n >= buffer.size()) return {};
    buffer.resize(n);
    return fs::path(buffer);
}

fs::path program_files_folder() {
    if (!sandbox_root.empty()) return sandbox_root / L"ProgramFiles";
    std::wstring buffer(260, L'\0');
    DWORD n = GetEnvironmentVariableW(L"ProgramW6432", buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n >= buffer.size()) {
        // Too long for the buffer: Windows gave the size it needs, so read it whole.
        buffer.assign(n, L'\0');
        n = GetEnvironmentVariableW(L"ProgramW6432", buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n >= buffer.size()) n = 0;
    }
    if (n == 0) return fs::path(L"C:\\Program Files");
    buffer.resize(n);
    return fs::path(buffer);
}

}  // namespace

int run_hidden(const fs::path& program, const std::wstring& arguments) {
    std::wstring command = L"\"" + program.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process))
        return -1;
    int result = -1;
    if (WaitForSingleObject(process.hProcess, probe_timeout_ms) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code)) result = static_cast<int>(code);
    } else {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
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

bool is_process_running(const std::wstring& name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool found = false;
    BOOL ok = Process32FirstW(snapshot, &entry);
    while (ok && !found) {
        found = _wcsicmp(entry.szExeFile, name.c_str()) == 0;
        ok = Process32NextW(snapshot, &entry);
    }
    CloseHandle(snapshot);
    return found;
}
