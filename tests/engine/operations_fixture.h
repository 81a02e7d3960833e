#pragma once
// A sandboxed install or uninstall with a payload of known bytes and a progress recorder.
#include <gtest/gtest.h>

#include <windows.h>
#include <knownfolders.h>

#include <utility>

#include "engine_test_support.h"
#include "folders.h"
#include "registry.h"
#include "sandbox.h"

namespace engine_tests {

using progress_log = std::vector<std::pair<int, std::string>>;

inline const std::wstring uninstall_key =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VantrelForDaVinciResolveBeta";
inline const std::wstring sandboxed_uninstall_key = L"Software\\Vantrel\\SetupSandbox\\" + uninstall_key;

class SandboxedOperation : public ::testing::Test {
protected:
    void SetUp() override {
        real_entry_before_ = key_exists(HKEY_CURRENT_USER, uninstall_key);
        payload_files.clear();
        payload_files["VantrelCompanion.exe"] = byte_vector(std::string(5000, 'C'));
        payload_files["Vantrel.py"] = byte_vector("print('vantrel')\n");
        payload_files["SETUP.md"] = byte_vector(std::string(1200, 'S'));
    }
    void TearDown() override {
        payload_files.clear();
        EXPECT_EQ(key_exists(HKEY_CURRENT_USER, uninstall_key), real_entry_before_)
            << "the real uninstall entry was touched";
    }
    progress_fn recorder() {
        return [this](int percent, const std::string& label) { progress_.emplace_back(percent, label); };
    }

    fs::path local() const { return sandbox_root / L"Local"; }
    fs::path roaming() const { return sandbox_root / L"Roaming"; }
    fs::path install_folder() const { return local() / L"Programs" / L"Vantrel for DaVinci Resolve Beta"; }
    fs::path scripts() const {
        return roaming() / L"Blackmagic Design" / L"DaVinci Resolve" / L"Support" / L"Fusion" / L"Scripts" /
               L"Utility";
    }
    fs::path companion() const { return install_folder() / L"VantrelCompanionBeta.exe"; }
    fs::path guide() const { return install_folder() / L"SETUP.md"; }
    fs::path script() const { return scripts() / L"Vantrel Beta.py"; }

    testing_support::sandbox_scope sandbox_;
    progress_log progress_;
    bool real_entry_before_ = false;
};

inline bool present(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

}  // namespace engine_tests
