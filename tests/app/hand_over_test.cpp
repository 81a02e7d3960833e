// The hand-over's own parts: the stale-copy sweep, the forms cmd is given, and the copy's
// browser data.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <cwctype>
#include <fstream>

#include "code_detour.h"
#include "file_removal.h"
#include "hand_over.h"
#include "placement.h"
#include "sandbox.h"
#include "unix_links.h"
#include "window_run.h"

namespace fs = std::filesystem;
using testing_support::temp_folder;

namespace {

void write_file(const fs::path& p) {
    std::error_code ec;
    fs::create_directories(fs::path(long_path(p.parent_path())), ec);
    std::ofstream(fs::path(long_path(p))) << "x";
}

bool present(const fs::path& p) { return GetFileAttributesW(long_path(p).c_str()) != INVALID_FILE_ATTRIBUTES; }

int snapshots = 0;
HANDLE WINAPI counted_snapshot(DWORD, DWORD) {
    ++snapshots;
    return INVALID_HANDLE_VALUE;
}

// A drive letter of its own over `folder` for the scope, made the way Wine keeps its drives (a
// link in the prefix's dosdevices folder: DefineDosDeviceW reports success there but maps
// nothing); empty where none can be made.
class mapped_drive {
public:
    explicit mapped_drive(const fs::path& folder) {
        wchar_t prefix[MAX_PATH] = {};
        const DWORD n = GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
        const std::wstring target = engine_tests::unix_name_of(folder / L"x");
        if (n == 0 || n >= MAX_PATH || target.empty()) return;
        for (const wchar_t* candidate : {L"t", L"u", L"v", L"w"}) {
            const std::wstring root = std::wstring(1, static_cast<wchar_t>(towupper(candidate[0]))) + L":\\";
            if (GetDriveTypeW(root.c_str()) != DRIVE_NO_ROOT_DIR) continue;
            link_ = std::wstring(prefix) + L"/dosdevices/" + candidate + L":";
            const std::wstring to = target.substr(0, target.size() - 2);
            engine_tests::start_unix_tool(L"Z:\\bin\\ln", L"ln -sfn \"" + to + L"\" \"" + link_ + L"\"");
            const ULONGLONG end = GetTickCount64() + 60000;
            while (GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < end) Sleep(50);
            if (GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES) root_ = root;
            return;
        }
    }
    ~mapped_drive() {
        if (!link_.empty()) engine_tests::start_unix_tool(L"Z:\\bin\\rm", L"rm -f \"" + link_ + L"\"");
    }
    mapped_drive(const mapped_drive&) = delete;
    mapped_drive& operator=(const mapped_drive&) = delete;
    const std::wstring& root() const { return root_; }

private:
    std::wstring link_, root_;
};

}  // namespace

TEST(StaleCopies, OneProcessListServesTheWholeSweep) {
    temp_folder temp(L"copies");
    for (int i = 0; i < 30; ++i) write_file(temp.path() / (L"VantrelUninstall-" + std::to_wstring(700 + i) + L".exe"));
    write_file(temp.path() / L"VantrelUninstall-x.exe");
    snapshots = 0;
    {
        const code_detour detour(GetModuleHandleW(L"kernel32.dll"), "CreateToolhelp32Snapshot",
                                 reinterpret_cast<const void*>(&counted_snapshot));
        ASSERT_TRUE(detour.active());
        remove_stale_copies(temp.path());
    }
    EXPECT_EQ(snapshots, 1);
    EXPECT_FALSE(present(temp.path() / L"VantrelUninstall-700.exe"));
    EXPECT_FALSE(present(temp.path() / L"VantrelUninstall-729.exe"));
    EXPECT_TRUE(present(temp.path() / L"VantrelUninstall-x.exe"));
}

TEST(StaleCopies, ATemporaryFolderAtADrivesRootIsSwept) {
    temp_folder folder(L"drive");
    write_file(folder.path() / L"VantrelUninstall-4000020.exe");
    const mapped_drive drive(folder.path());
    if (drive.root().empty()) {
        if (!engine_tests::unix_name_of(folder.path() / L"x").empty()) FAIL() << "no drive could be mapped";
        GTEST_SKIP() << "no drive letter can be mapped onto a folder outside Wine without privileges";
    }
    ASSERT_TRUE(present(drive.root() + L"VantrelUninstall-4000020.exe"));
    remove_stale_copies(drive.root());
    EXPECT_FALSE(present(folder.path() / L"VantrelUninstall-4000020.exe"));
}

TEST(PlaceForCmd, CmdStandsInAFolderItCanUseAndNamesNoTextItWouldExpand) {
    cmd_place place;
    ASSERT_TRUE(place_for_cmd(L"C:\\temp %OS% here\\VantrelUninstall-7.exe", 1, place));
    EXPECT_EQ(place.folder, fs::path(L"C:\\temp %OS% here"));
    EXPECT_EQ(place.name, L"VantrelUninstall-7.exe");
    ASSERT_TRUE(place_for_cmd(L"T:\\VantrelUninstall-7.exe", 1, place));
    EXPECT_EQ(place.folder, fs::path(L"T:\\"));
    ASSERT_TRUE(place_for_cmd(L"C:\\Programs\\Vantrel\\uninstall.exe.old-5", 2, place));
    EXPECT_EQ(place.folder, fs::path(L"C:\\Programs"));
    EXPECT_EQ(place.name, L"Vantrel\\uninstall.exe.old-5");

    // cmd cannot stand in a share: it is given the whole path, when it holds nothing to expand.
    wchar_t system[MAX_PATH + 1] = {};
    GetSystemDirectoryW(system, MAX_PATH + 1);
    ASSERT_TRUE(place_for_cmd(L"\\\\server\\share\\Vantrel\\uninstall.exe.old-5", 2, place));
    EXPECT_EQ(place.folder, fs::path(system));
    EXPECT_EQ(place.name, L"\\\\server\\share\\Vantrel\\uninstall.exe.old-5");
    EXPECT_FALSE(place_for_cmd(L"\\\\server\\share %OS%\\VantrelUninstall-7.exe", 1, place));
    // Past MAX_PATH and not there, so without a short form: nothing cmd can take.
    EXPECT_FALSE(place_for_cmd(L"C:\\" + std::wstring(300, L'x') + L"\\VantrelUninstall-7.exe", 1, place));
}

TEST(PlaceForCmd, AFolderPastMaxPathIsGivenInItsShortForm) {
    temp_folder base(L"long");
    const fs::path file = base.path() / std::wstring(200, L'f') / std::wstring(100, L'g') / L"uninstall.exe.old-5";
    write_file(file);
    ASSERT_TRUE(present(file));
    cmd_place place;
    ASSERT_TRUE(place_for_cmd(file, 2, place));
    EXPECT_LT((place.folder / place.name).native().size(), static_cast<size_t>(MAX_PATH));
    EXPECT_TRUE(same_file(place.folder / place.name, fs::path(long_path(file))));
}

TEST(CopysBrowserData, FilesPastMaxPathGoWithTheFolder) {
    testing_support::sandbox_scope sandbox;
    const fs::path profile = browser_data_folder();
    ASSERT_FALSE(profile.empty());
    const fs::path deep = profile / L"EBWebView" / std::wstring(120, L'd') / std::wstring(120, L'e');
    write_file(deep / L"Cookies");
    write_file(profile / L"EBWebView" / L"Local State");
    ASSERT_GT((deep / L"Cookies").native().size(), static_cast<size_t>(MAX_PATH));
    ASSERT_TRUE(present(deep / L"Cookies"));
    EXPECT_TRUE(remove_browser_data_folder());
    EXPECT_FALSE(present(profile));
}
