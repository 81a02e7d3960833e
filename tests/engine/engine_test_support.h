#pragma once
// Helpers shared by the detection and operation tests: the stand-in program, files, registry.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "detection.h"
#include "folders.h"
#include "product.h"
#include "text.h"
#include "win32_owners.h"

namespace engine_tests {

namespace fs = std::filesystem;

inline fs::path stand_in_program() { return own_exe_path().parent_path() / L"test_stand_in.exe"; }

// A copy of the stand-in at `target` that answers with `answer` ("0", "1", "hang").
inline void place_stand_in(const fs::path& target, const std::string& answer) {
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    CopyFileW(stand_in_program().c_str(), target.c_str(), FALSE);
    std::ofstream(fs::path(target.wstring() + L".answer"), std::ios::binary) << answer;
}

// The command lines the stand-in at `target` received, one per start.
inline std::vector<std::string> recorded_command_lines(const fs::path& target) {
    std::vector<std::string> lines;
    std::ifstream in(fs::path(target.wstring() + L".args"), std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline std::string read_bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_bytes(const fs::path& p, const std::string& bytes) {
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    std::ofstream(p, std::ios::binary) << bytes;
}

inline std::vector<unsigned char> byte_vector(const std::string& text) { return {text.begin(), text.end()}; }

// A handle on `p` that lets others do only what `share` allows.
struct held_file {
    held_file(const fs::path& p, DWORD share)
        : owner(CreateFileW(p.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr)),
          handle(owner ? owner.get() : INVALID_HANDLE_VALUE) {}
    void release() {
        owner.reset();
        handle = INVALID_HANDLE_VALUE;
    }
    win32::unique_handle owner;
    HANDLE handle;
};

// A started program, stopped and waited for when the scope ends.
class running_program {
public:
    explicit running_program(const fs::path& exe) {
        std::wstring command = L"\"" + exe.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                           nullptr, &startup, &info)) {
            process_.adopt(info);
            // Until it shows in the process list, or it has ended.
            const std::wstring name = exe.filename().wstring();
            const ULONGLONG end = GetTickCount64() + 60000;
            while (!is_process_running(name) && GetTickCount64() < end &&
                   WaitForSingleObject(process_.handle.get(), 50) == WAIT_TIMEOUT) {
            }
        }
    }
    ~running_program() { stop(); }
    running_program(const running_program&) = delete;
    running_program& operator=(const running_program&) = delete;
    bool started() const { return static_cast<bool>(process_.handle); }
    void stop() {
        if (!process_.handle) return;
        TerminateProcess(process_.handle.get(), 0);
        WaitForSingleObject(process_.handle.get(), 60000);
        process_.handle.reset();
        process_.thread.reset();
    }

private:
    win32::process process_;
};

// Reads a registry value straight from the hive, bypassing the code under test.
inline bool raw_value(HKEY root, const std::wstring& key, const std::wstring& name, DWORD& type,
                      std::vector<BYTE>& data) {
    DWORD size = 0;
    const wchar_t* value = name.empty() ? nullptr : name.c_str();
    if (RegGetValueW(root, key.c_str(), value, RRF_RT_ANY, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    data.resize(size);
    return RegGetValueW(root, key.c_str(), value, RRF_RT_ANY, &type, data.data(), &size) == ERROR_SUCCESS;
}

inline void raw_set_string(HKEY root, const std::wstring& key, const std::wstring& name, const std::wstring& text) {
    RegSetKeyValueW(root, key.c_str(), name.empty() ? nullptr : name.c_str(), REG_SZ, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

inline void raw_delete_tree(HKEY root, const std::wstring& key) {
    RegDeleteTreeW(root, key.c_str());
    RegDeleteKeyW(root, key.c_str());
}

// The names of the values of `key`, in the order Windows enumerates them.
inline std::vector<std::wstring> value_names(HKEY root, const std::wstring& key) {
    std::vector<std::wstring> names;
    win32::unique_hkey handle;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, handle.put()) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD size = 256;
        if (RegEnumValueW(handle.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, size);
    }
    return names;
}

inline bool key_exists(HKEY root, const std::wstring& key) {
    win32::unique_hkey handle;
    return RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, handle.put()) == ERROR_SUCCESS;
}

// Points the named profile folders of the current user at a drive that does not exist, so
// that the shell cannot give them, and restores them when the scope ends.
class profile_folders_missing {
public:
    explicit profile_folders_missing(std::vector<std::wstring> names) : names_(std::move(names)) {
        for (const std::wstring& name : names_) {
            for (int k = 0; k < 2; ++k) {
                saved value;
                value.size = sizeof value.data;
                value.present = RegGetValueW(HKEY_CURRENT_USER, keys[k], name.c_str(),
                                             RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &value.type,
                                             value.data, &value.size) == ERROR_SUCCESS;
                saved_.push_back(value);
                const std::wstring bogus = L"Q:\\no such drive\\" + name;
                RegSetKeyValueW(HKEY_CURRENT_USER, keys[k], name.c_str(), REG_SZ, bogus.c_str(),
                                static_cast<DWORD>((bogus.size() + 1) * sizeof(wchar_t)));
            }
        }
    }
    ~profile_folders_missing() {
        size_t i = 0;
        for (const std::wstring& name : names_)
            for (int k = 0; k < 2; ++k, ++i) {
                if (saved_[i].present)
                    RegSetKeyValueW(HKEY_CURRENT_USER, keys[k], name.c_str(), saved_[i].type, saved_[i].data,
                                    saved_[i].size);
                else
                    RegDeleteKeyValueW(HKEY_CURRENT_USER, keys[k], name.c_str());
            }
    }
    profile_folders_missing(const profile_folders_missing&) = delete;
    profile_folders_missing& operator=(const profile_folders_missing&) = delete;

private:
    static constexpr const wchar_t* keys[2] = {
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"};
    struct saved {
        bool present = false;
        DWORD type = 0;
        DWORD size = 0;
        wchar_t data[1024] = {};
    };
    std::vector<std::wstring> names_;
    std::vector<saved> saved_;
};

}  // namespace engine_tests
