#include <gtest/gtest.h>

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "folders.h"
#include "product.h"
#include "sandbox.h"
#include "win32_owners.h"

namespace fs = std::filesystem;
using testing_support::sandbox_scope;

namespace {

fs::path shell_folder(const GUID& id) {
    win32::unique_cotaskmem<wchar_t> text;
    if (FAILED(SHGetKnownFolderPath(id, 0, nullptr, text.put())) || !text) return {};
    return fs::path(text.get());
}

}  // namespace

TEST(SandboxedFolders, AllComeFromTheSandboxAndNothingIsCreated) {
    sandbox_scope sandbox;
    const fs::path s = sandbox.path();
    EXPECT_EQ(known_folder(FOLDERID_StartMenu, L"StartMenu"), s / L"StartMenu");
    EXPECT_EQ(known_folder(FOLDERID_RoamingAppData, L"Roaming"), s / L"Roaming");
    EXPECT_EQ(install_dir().wstring(), s.wstring() + L"\\Local\\Programs\\Vantrel for DaVinci Resolve Beta");
    EXPECT_EQ(resolve_scripts_dir().wstring(),
              s.wstring() + L"\\Roaming\\Blackmagic Design\\DaVinci Resolve\\Support\\Fusion\\Scripts\\Utility");
    // Even an identifier the shell does not know resolves: the shell is not asked.
    const GUID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(known_folder(unknown, L"Anything"), s / L"Anything");
    EXPECT_FALSE(fs::exists(s / L"Local"));
    EXPECT_FALSE(fs::exists(s / L"Roaming"));
}

TEST(RealFolders, ComeFromTheProfileAndTheFoldersBelowAreNotCreated) {
    ASSERT_TRUE(sandbox_root.empty());
    const fs::path local = shell_folder(FOLDERID_LocalAppData);
    ASSERT_FALSE(local.empty());
    EXPECT_EQ(known_folder(FOLDERID_LocalAppData, L"Local"), local);
    EXPECT_EQ(install_dir(), local / L"Programs" / L"Vantrel for DaVinci Resolve Beta");
    EXPECT_FALSE(fs::exists(install_dir()));
    EXPECT_EQ(resolve_scripts_dir(), shell_folder(FOLDERID_RoamingAppData) / L"Blackmagic Design" /
                                         L"DaVinci Resolve" / L"Support" / L"Fusion" / L"Scripts" / L"Utility");
    EXPECT_TRUE(install_dir().is_absolute());
}

TEST(RealFolders, AFolderTheShellCannotGiveIsEmptyAndSoAreTheFoldersBuiltOnIt) {
    const GUID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_TRUE(known_folder(unknown, L"Anything").empty());

    // Point the user's local application data at a drive that does not exist, so that the
    // shell cannot create it.
    const wchar_t* key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    const wchar_t* key2 = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    wchar_t saved[1024] = {}, saved2[1024] = {};
    DWORD size = sizeof saved, size2 = sizeof saved2;
    const bool had = RegGetValueW(HKEY_CURRENT_USER, key, L"Local AppData", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ |
                                  RRF_NOEXPAND, nullptr, saved, &size) == ERROR_SUCCESS;
    const bool had2 = RegGetValueW(HKEY_CURRENT_USER, key2, L"Local AppData", RRF_RT_REG_SZ, nullptr, saved2,
                                   &size2) == ERROR_SUCCESS;
    const std::wstring bogus = L"Q:\\no such drive\\Local";
    RegSetKeyValueW(HKEY_CURRENT_USER, key, L"Local AppData", REG_SZ, bogus.c_str(),
                    static_cast<DWORD>((bogus.size() + 1) * 2));
    RegSetKeyValueW(HKEY_CURRENT_USER, key2, L"Local AppData", REG_SZ, bogus.c_str(),
                    static_cast<DWORD>((bogus.size() + 1) * 2));
    const fs::path dir = install_dir();
    if (had) RegSetKeyValueW(HKEY_CURRENT_USER, key, L"Local AppData", REG_EXPAND_SZ, saved, size);
    if (had2) RegSetKeyValueW(HKEY_CURRENT_USER, key2, L"Local AppData", REG_SZ, saved2, size2);
    EXPECT_TRUE(dir.empty()) << "got " << dir.string();
}

TEST(OwnExePath, IsTheWholePathOfThisProgram) {
    const fs::path p = own_exe_path();
    ASSERT_TRUE(p.is_absolute());
    EXPECT_TRUE(fs::is_regular_file(p));
    EXPECT_EQ(p.filename().wstring(), L"engine_foundation_tests.exe");
}

TEST(SandboxValue, DevicePrefixesComeOffAndNamesTheSystemReadsOtherwiseAreRefused) {
    const auto read = [](const std::wstring& value) {
        fs::path folder;
        return sandbox_folder_from(value, folder) ? folder.wstring() : L"refused";
    };
    EXPECT_EQ(read(L"\\\\?\\C:\\box\\x\\.."), L"C:\\box");
    EXPECT_EQ(read(L"\\\\.\\C:\\box\\."), L"C:\\box");
    EXPECT_EQ(read(L"\\\\?\\UNC\\server\\share\\box"), L"\\\\server\\share\\box");
    EXPECT_EQ(read(L"C:/box/./y/../"), L"C:\\box");
    EXPECT_EQ(read(L"relative\\box"), L"relative\\box");
    for (const wchar_t* odd : {L"C:\\box.", L"C:\\box \\x", L"\\\\?\\C:\\box...", L"relative\\..\\box", L".\\box",
                               L"\\\\?\\Volume{0f1e2d3c-0000-0000-0000-000000000000}\\box", L"\\\\?\\box"})
        EXPECT_EQ(read(odd), L"refused") << odd;
}
