// The hand-over's own parts: the stale-copy sweep, the forms cmd is given, and the copy's
// browser data.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <malloc.h>


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

void write_file(const fs::path& p) { engine_tests::write_bytes(fs::path(long_path(p)), "x"); }

bool present(const fs::path& p) { return GetFileAttributesW(long_path(p).c_str()) != INVALID_FILE_ATTRIBUTES; }

int snapshots = 0;
HANDLE WINAPI counted_snapshot(DWORD, DWORD) {
    ++snapshots;
    return INVALID_HANDLE_VALUE;
}

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
    const engine_tests::mapped_drive drive(folder.path());
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

namespace {

struct deep_removal {
    fs::path profile;
    bool removed = false;
};

// What the walk may use of the stack: far less than one frame per level of a deep tree needs.
constexpr ULONG_PTR walk_stack = 48 * 1024;

DWORD WINAPI remove_on_this_thread(void* argument) {
    auto* removal = static_cast<deep_removal*>(argument);
    // A thread's stack is at least 1 MB under Wine: all of it but walk_stack is spent first.
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    volatile char* spent = static_cast<char*>(_alloca(reinterpret_cast<ULONG_PTR>(&low) - low - walk_stack));
    spent[0] = 0;
    removal->removed = remove_browser_data_folder();
    return 0;
}

}  // namespace

// On Windows such a tree can be thousands of levels deep; Wine's paths end at 4096 bytes, so
// the walk is shown on a small part of a stack instead.
TEST(CopysBrowserData, AFolderHundredsOfLevelsDeepGoesOnASmallStack) {
    testing_support::sandbox_scope sandbox;
    deep_removal removal{browser_data_folder()};
    ASSERT_FALSE(removal.profile.empty());
    fs::create_directories(removal.profile / L"EBWebView");
    std::wstring deep = long_path(removal.profile / L"EBWebView");
    for (int level = 0; level < 400; ++level) {
        deep += L"\\d";
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) << level;
    }
    write_file(deep + L"\\Cookies");
    const win32::unique_handle thread(CreateThread(nullptr, 0, remove_on_this_thread, &removal, 0, nullptr));
    ASSERT_TRUE(thread);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 600000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread.get(), &code) && code == 0);
    EXPECT_TRUE(removal.removed);
    EXPECT_FALSE(present(removal.profile));
}

// --cleanup spares the uninstaller that an entry starts, also when this run's sandbox points
// elsewhere than the install's did.
TEST(InstalledUninstaller, IsAlsoTheOneEitherEntryNamesWhateverTheSandbox) {
    ASSERT_TRUE(sandbox_root.empty());
    // Beside this program, so that a hard link to it can be made; under Wine only the host's rm
    // removes such a link while this program runs.
    const fs::path folder = own_exe_path().parent_path() / L"entry-names-this";
    const auto clear = [&folder] {
        std::error_code ec;
        fs::remove_all(folder, ec);
        const std::wstring name = engine_tests::unix_name_of(folder);
        if (present(folder) && !name.empty() && engine_tests::start_unix_tool(L"Z:\\bin\\rm", L"rm -rf \"" + name + L"\""))
            engine_tests::wait_for_attributes(folder, false);
    };
    clear();
    fs::create_directories(folder);
    const bool linked = CreateHardLinkW((folder / L"uninstall.exe").c_str(), own_exe_path().c_str(), nullptr) != 0;
    // Each value that names it, alone; the other values hold what an edit may leave there.
    const std::wstring location = folder.wstring(), command = L"\"" + (folder / L"uninstall.exe").wstring() + L"\"";
    const std::vector<std::pair<const wchar_t*, std::wstring>> values = {
        {L"InstallLocation", location},
        {L"UninstallString", command + L" --uninstall"},
        {L"QuietUninstallString", command + L" --uninstall --silent"}};
    bool before = true;
    std::vector<bool> named;
    if (linked) {
        before = runs_as_installed_uninstaller();
        for (const auto& [name, text] : values) {
            for (const auto& [other, unused] : values)
                RegSetKeyValueW(HKEY_CURRENT_USER,
                                L"Software\\Vantrel\\SetupSandbox\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                                L"Uninstall\\VantrelForDaVinciResolveBeta",
                                other, REG_SZ, other == name ? text.c_str() : L"",
                                static_cast<DWORD>(((other == name ? text.size() : 0) + 1) * sizeof(wchar_t)));
            named.push_back(runs_as_installed_uninstaller());
        }
        testing_support::delete_user_tree(L"Software\\Vantrel\\SetupSandbox");
    }
    clear();
    if (!linked) GTEST_SKIP() << "no hard link to the running program can be made here";
    EXPECT_FALSE(before);
    EXPECT_EQ(named, std::vector<bool>(values.size(), true));
}

namespace {

// A lock of the test's own, so that no Setup meets it.
std::wstring test_lock_name() { return L"Local\\VantrelHandOverTest-" + std::to_wstring(GetCurrentProcessId()); }

bool wait_until_gone(const fs::path& p) {
    const ULONGLONG end = GetTickCount64() + 30000;
    while (present(p)) {
        if (GetTickCount64() > end) return false;
        Sleep(100);
    }
    return true;
}

// The probe started as the copy: it reports in `report` whether it found the lock free.
struct probe_copy {
    temp_folder temp{L"start"};
    fs::path copy = temp.path() / L"VantrelUninstall-4000050.exe";
    fs::path report = temp.path() / L"report.txt";
    probe_copy() { CopyFileW(VANTREL_LOCK_PROBE_EXE, copy.c_str(), FALSE); }
    std::wstring command(const std::wstring& lock) const {
        return L"\"" + copy.wstring() + L"\" " + lock + L" \"" + report.wstring() + L"\"";
    }
};

fs::path probe_report;
// Holds the release back until the probe has looked (a copy that runs at once has), or for a
// few seconds; the lock then goes with its handle.
BOOL WINAPI release_once_the_probe_looked(HANDLE) {
    const ULONGLONG end = GetTickCount64() + 5000;
    while (!present(probe_report) && GetTickCount64() < end) Sleep(50);
    return TRUE;
}

std::wstring name_taken_meanwhile;
win32::unique_handle taker;
// The copy cannot be resumed; meanwhile another program may take the lock's name.
DWORD WINAPI resume_fails(HANDLE) {
    if (!name_taken_meanwhile.empty()) taker.reset(CreateEventW(nullptr, TRUE, FALSE, name_taken_meanwhile.c_str()));
    SetLastError(ERROR_ACCESS_DENIED);
    return static_cast<DWORD>(-1);
}

}  // namespace

TEST(CopyStart, TheCopyNeverFindsTheLockStillHeldByThisRun) {
    const probe_copy probe;
    ASSERT_TRUE(present(probe.copy));
    const std::wstring lock = test_lock_name();
    win32::named_mutex mutex(lock);
    ASSERT_TRUE(mutex.owned());
    probe_report = probe.report;
    hand_over road;
    {
        const code_detour detour(GetModuleHandleW(L"kernel32.dll"), "ReleaseMutex",
                                 reinterpret_cast<const void*>(&release_once_the_probe_looked));
        ASSERT_TRUE(detour.active());
        road = start_copy(probe.copy, probe.command(lock), mutex, lock);
    }
    EXPECT_EQ(road, hand_over::done);
    EXPECT_FALSE(mutex.held());
    const ULONGLONG end = GetTickCount64() + 30000;
    while (!present(probe.report) && GetTickCount64() < end) Sleep(50);
    EXPECT_EQ(engine_tests::read_bytes(probe.report), "free");
}

// A copy that cannot be resumed is stopped and goes; the lock is taken again, or, when its name
// was taken meanwhile by another program's object, this run ends as a second start does.
TEST(CopyStart, AFailedResumeTakesTheLockAgainOrEndsTheRun) {
    for (const bool taken : {false, true}) {
        const probe_copy probe;
        const std::wstring lock = test_lock_name();
        win32::named_mutex mutex(lock);
        ASSERT_TRUE(mutex.owned());
        name_taken_meanwhile = taken ? lock : L"";
        hand_over road;
        {
            const code_detour detour(GetModuleHandleW(L"kernel32.dll"), "ResumeThread",
                                     reinterpret_cast<const void*>(&resume_fails));
            ASSERT_TRUE(detour.active());
            road = start_copy(probe.copy, probe.command(lock), mutex, lock);
        }
        EXPECT_EQ(road, taken ? hand_over::locked_out : hand_over::in_place) << taken;
        EXPECT_EQ(mutex.owned(), !taken) << taken;
        EXPECT_TRUE(wait_until_gone(probe.copy)) << taken;
        EXPECT_FALSE(present(probe.report)) << taken;
        taker.reset();
    }
}

// A copy that cannot start (programs in the temporary folder blocked) while a scanner has it
// open cannot be deleted at once: it goes a few seconds later, as a finished copy does.
TEST(CopyStart, ACopyThatCannotStartNorGoAtOnceGoesLater) {
    temp_folder temp(L"no-start");
    const fs::path copy = temp.path() / L"VantrelUninstall-4000060.exe";
    engine_tests::write_bytes(copy, "no program");
    const std::wstring lock = test_lock_name();
    win32::named_mutex mutex(lock);
    ASSERT_TRUE(mutex.owned());
    hand_over road;
    {
        const engine_tests::held_file scanner(copy, FILE_SHARE_READ);
        ASSERT_NE(scanner.handle, INVALID_HANDLE_VALUE);
        road = start_copy(copy, L"\"" + copy.wstring() + L"\" --uninstall --cleanup", mutex, lock);
        EXPECT_TRUE(present(copy));
    }
    EXPECT_EQ(road, hand_over::in_place);
    EXPECT_TRUE(mutex.owned());
    EXPECT_TRUE(wait_until_gone(copy));
}
