#include <gtest/gtest.h>

#include <future>

#include <windows.h>
#include <winternl.h>

#include "code_detour.h"
#include "install.h"
#include "install_record.h"
#include "operations_fixture.h"
#include "placement.h"
#include "unix_links.h"
#include "uninstall.h"

using namespace engine_tests;
using testing_support::temp_folder;

namespace {

const progress_log uninstall_steps = {{10, "Reading what was installed"},
                                      {45, "Removing files"},
                                      {65, "Removing shortcuts"},
                                      {80, "Removing settings"},
                                      {100, "Done"}};

std::string u8(const fs::path& p) { return wide_to_utf8(p.wstring()); }

}  // namespace

class Uninstall : public SandboxedOperation {
protected:
    void install() {
        const op_result installed = run_install([](int, const std::string&) {});
        ASSERT_TRUE(installed.ok) << installed.error;
    }
    void write_record(const json& record) {
        write_bytes(install_folder() / L"install.json", record.dump(2));
    }
    // The three files at the places the fallback list names.
    void place_fallback_files() {
        for (const fs::path& p : {companion(), guide(), script()}) write_bytes(p, "x");
    }
    fs::path settings() const { return roaming() / L"Vantrel"; }
};

TEST_F(Uninstall, RemovesACompleteInstallationAndTheFoldersItLeavesEmpty) {
    install();
    write_bytes(settings() / L"resolve-beta.json", "{}");
    write_bytes(settings() / L"companion.txt", "x");
    write_bytes(install_folder() / L"VantrelCompanionBeta.exe.old-99", "backup");
    ASSERT_TRUE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));

    const op_result result = run_uninstall(recorder());
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.error, "");
    EXPECT_TRUE(result.notes.empty());
    EXPECT_EQ(result.record, json::object());
    EXPECT_EQ(progress_, uninstall_steps);
    EXPECT_FALSE(present(install_folder()));
    EXPECT_FALSE(present(local() / L"Programs"));
    EXPECT_TRUE(present(local()));
    EXPECT_FALSE(present(script()));
    EXPECT_TRUE(fs::is_directory(scripts())) << "Resolve's folders are not pruned";
    EXPECT_FALSE(present(settings()));
    EXPECT_TRUE(present(roaming()));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, L"Software\\Vantrel\\SetupSandbox"));

    // A second uninstall finds nothing and still ends well.
    progress_.clear();
    EXPECT_TRUE(run_uninstall(recorder()).ok);
    EXPECT_EQ(progress_, uninstall_steps);
}

TEST_F(Uninstall, ARunningCompanionRefusesBeforeAnyProgressInAnyLetterCase) {
    install();
    temp_folder elsewhere(L"companion");
    for (const wchar_t* name : {L"VantrelCompanionBeta.exe", L"vantrelcompanionbeta.EXE"}) {
        const fs::path exe = elsewhere.path() / name;
        ASSERT_TRUE(CopyFileW(VANTREL_PLACEHOLDER_COMPANION, exe.c_str(), FALSE));
        running_program companion_running(exe);
        ASSERT_TRUE(companion_running.started());
        progress_.clear();
        const op_result result = run_uninstall(recorder());
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, "Close VantrelCompanionBeta first, then try again.");
        EXPECT_TRUE(progress_.empty());
        for (const fs::path& p : {companion(), guide(), script(), install_folder() / L"install.json",
                                  install_folder() / L"uninstall.exe"})
            EXPECT_TRUE(present(p)) << u8(p);
        EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
    }
    EXPECT_TRUE(run_uninstall(recorder()).ok);
    EXPECT_FALSE(present(companion()));
}

TEST_F(Uninstall, WithoutAUsableRecordTheFallbackListIsRemoved) {
    for (const std::string& record : {std::string(), std::string("{\"files\": [1, true, null]}"),
                                      std::string("{\"files\": \"" + u8(companion()).substr(0, 2) + "\"}"),
                                      std::string("[\"not\", \"an object\"]"), std::string("{\"files\": [")}) {
        place_fallback_files();
        write_bytes(install_folder() / L"notes.txt", "kept, and so is the folder");
        if (!record.empty()) write_bytes(install_folder() / L"install.json", record);
        EXPECT_TRUE(run_uninstall(recorder()).ok);
        EXPECT_FALSE(present(companion())) << record;
        EXPECT_FALSE(present(guide())) << record;
        EXPECT_FALSE(present(script())) << record;
        EXPECT_FALSE(present(install_folder() / L"install.json")) << record;
        EXPECT_TRUE(present(install_folder() / L"notes.txt")) << record;
    }
}

TEST_F(Uninstall, OnlyListedPathsInTheFoldersSetupWritesAreRemoved) {
    place_fallback_files();
    temp_folder outside(L"outside");  // in the real profile's temporary folder
    const fs::path foreign = outside.path() / L"keep.txt";
    const fs::path sibling = install_folder().wstring() + L" Old\\keep.txt";
    const fs::path up = install_folder() / L".." / L".." / L".." / L"escaped.txt";
    std::wstring folded = install_folder().wstring();
    folded[folded.size() - 4] = L'b';  // "...Resolve beta"
    const fs::path other_case = fs::path(folded) / L"SETUP.md";
    const fs::path nested = install_folder() / L"sub" / L"deep" / L"file.txt";
    const fs::path start_menu = sandbox_root / L"StartMenu" / L"Programs" / L"Vantrel.txt";
    const fs::path roaming_file = roaming() / L"elsewhere.txt";
    const fs::path other_maker = roaming() / L"Other" / L"settings.json";
    const fs::path in_scripts = scripts() / L"Vantrel Beta helper.py";
    const fs::path in_settings = settings() / L"cache.bin";
    const fs::path root_itself = install_folder();
    for (const fs::path& p : {foreign, sibling, up, nested, start_menu, roaming_file, other_maker, in_scripts,
                              in_settings})
        write_bytes(p, "x");
    write_record({{"files", {u8(foreign), u8(sibling), u8(up), u8(other_case), u8(nested), u8(start_menu),
                             u8(roaming_file), u8(other_maker), u8(in_scripts), u8(in_settings), u8(root_itself),
                             "relative.txt", 7}}});

    const op_result result = run_uninstall(recorder());
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(present(foreign));
    EXPECT_TRUE(present(sibling));
    EXPECT_TRUE(present(up)) << "a path that steps out with .. is not below the root";
    EXPECT_FALSE(present(nested));
    EXPECT_FALSE(present(install_folder() / L"sub"));
    EXPECT_FALSE(present(in_scripts));
    EXPECT_FALSE(present(in_settings));
    // The roaming and Start menu folders at large are not Setup's.
    EXPECT_TRUE(present(start_menu));
    EXPECT_TRUE(present(roaming_file));
    EXPECT_TRUE(present(other_maker));
    // The product's own files go even when the record forgot them.
    EXPECT_FALSE(present(companion()));
    EXPECT_FALSE(present(guide()));
    EXPECT_FALSE(present(script()));
}

TEST_F(Uninstall, ShortcutsGoOnlyFromTheDesktopAndStartMenuProgramsWithTheLowerCaseLnkExtension) {
    const fs::path desktop = sandbox_root / L"Desktop";
    const fs::path programs = sandbox_root / L"StartMenu" / L"Programs";
    const fs::path bare = desktop / L".lnk";
    const fs::path lnk = desktop / L"Vantrel Beta.lnk", upper = desktop / L"Vantrel.LNK", url = desktop / L"Vantrel.url";
    const fs::path menu = programs / L"Vantrel" / L"Vantrel Beta.lnk";
    const fs::path menu_top = sandbox_root / L"StartMenu" / L"Vantrel Beta.lnk";
    temp_folder outside(L"outside");
    const fs::path foreign = outside.path() / L"Someone else's.lnk";
    const fs::path in_install = install_folder() / L"Vantrel.lnk";
    for (const fs::path& p : {bare, lnk, upper, url, menu, menu_top, foreign, in_install}) write_bytes(p, "x");
    temp_folder current(L"cwd");
    write_bytes(current.path() / L"relative.lnk", "x");
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(current.path().c_str());
    write_record({{"files", json::array()},
                  {"shortcuts", {u8(bare), u8(lnk), u8(upper), u8(url), u8(menu), u8(menu_top), u8(foreign),
                                 u8(in_install), "relative.lnk", 1, nullptr}}});
    const bool ok = run_uninstall(recorder()).ok;
    SetCurrentDirectoryW(saved);
    EXPECT_TRUE(ok);
    EXPECT_FALSE(present(lnk));
    EXPECT_FALSE(present(bare));
    EXPECT_FALSE(present(menu));
    EXPECT_TRUE(present(upper));
    EXPECT_TRUE(present(url));
    EXPECT_TRUE(present(menu_top));
    EXPECT_TRUE(present(foreign));
    EXPECT_TRUE(present(current.path() / L"relative.lnk"));
}

TEST_F(Uninstall, AFileOfOursHeldOpenFailsTheUninstallAndKeepsTheEntryTheRecordAndTheUninstaller) {
    const fs::path record = install_folder() / L"install.json", uninstaller = install_folder() / L"uninstall.exe";
    const fs::path companion_backup = install_folder() / L"VantrelCompanionBeta.exe.old-5";
    const fs::path script_backup = scripts() / L"Vantrel Beta.py.old-7";
    constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    // A holder that lets others delete keeps the file all the same until it lets go.
    const std::pair<fs::path, DWORD> holds[] = {
        {guide(), FILE_SHARE_READ | FILE_SHARE_WRITE}, {record, FILE_SHARE_READ | FILE_SHARE_WRITE},
        {uninstaller, FILE_SHARE_READ | FILE_SHARE_WRITE}, {companion_backup, FILE_SHARE_READ | FILE_SHARE_WRITE},
        {script_backup, FILE_SHARE_READ | FILE_SHARE_WRITE}, {record, share_all}, {uninstaller, share_all}};
    for (const auto& [held, share] : holds) {
        install();
        write_bytes(companion_backup, "backup");
        write_bytes(script_backup, "backup");
        write_bytes(settings() / L"resolve-beta.json", "{}");
        // Already gone counts as removed.
        fs::remove(companion());
        held_file open(held, share);
        ASSERT_NE(open.handle, INVALID_HANDLE_VALUE) << u8(held);
        const op_result failed = run_uninstall(recorder());
        EXPECT_FALSE(failed.ok) << u8(held);
        EXPECT_EQ(failed.error, "Could not remove " + u8(held.filename()) + ". Close it and try again.");
        EXPECT_TRUE(present(held)) << u8(held);
        EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key)) << u8(held);
        EXPECT_TRUE(present(uninstaller)) << u8(held);
        EXPECT_TRUE(present(record)) << u8(held);
        EXPECT_FALSE(read_install_record().empty()) << u8(held);

        open.release();
        const op_result retried = run_uninstall(recorder());
        EXPECT_TRUE(retried.ok) << retried.error;
        EXPECT_FALSE(present(install_folder())) << u8(held);
        EXPECT_FALSE(present(script_backup)) << u8(held);
        EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key)) << u8(held);
    }
}

// Stopped between any two of its last steps (as by a kill), the uninstall leaves the entry only
// with the record and the uninstaller it starts, and a retry finishes.
TEST_F(Uninstall, StoppedBetweenItsLastStepsItLeavesAStateARetryFinishes) {
    const fs::path uninstaller = install_folder() / L"uninstall.exe";
    struct stopped {};
    for (const char* step : {"hold", "entry", "record", "uninstaller", "folders"}) {
        install();
        uninstall_step_hook = [step](const char* at) {
            if (std::string(at) == step) throw stopped{};
        };
        EXPECT_THROW(run_uninstall(recorder()), stopped) << step;
        uninstall_step_hook = nullptr;
        if (key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key)) {
            EXPECT_TRUE(present(uninstaller)) << step;
            EXPECT_FALSE(read_install_record().empty()) << step;
        }
        const op_result retried = run_uninstall(recorder());
        EXPECT_TRUE(retried.ok) << step << ": " << retried.error;
        EXPECT_FALSE(present(install_folder())) << step;
        EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key)) << step;
    }
}

namespace {

LSTATUS WINAPI refuse_tree(HKEY, LPCWSTR) { return ERROR_ACCESS_DENIED; }
LSTATUS WINAPI refuse_key(HKEY, LPCWSTR) { return ERROR_ACCESS_DENIED; }

}  // namespace

TEST_F(Uninstall, AnEntryThatCannotBeRemovedFailsTheUninstallAndKeepsItsFiles) {
    install();
    const fs::path record = install_folder() / L"install.json", uninstaller = install_folder() / L"uninstall.exe";
    op_result result;
    {
        // The registry refuses, as it does to a key whose security denies deletion.
        const HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
        const code_detour tree(advapi, "RegDeleteTreeW", reinterpret_cast<const void*>(&refuse_tree));
        const code_detour key(advapi, "RegDeleteKeyW", reinterpret_cast<const void*>(&refuse_key));
        ASSERT_TRUE(tree.active() && key.active());
        result = run_uninstall(recorder());
    }
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "Could not remove the uninstall entry. Try again.");
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
    EXPECT_TRUE(present(record));
    EXPECT_TRUE(present(uninstaller));
    EXPECT_TRUE(run_uninstall(recorder()).ok);
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
}

TEST_F(Uninstall, ReadOnlyFilesOfOursAreRemoved) {
    install();
    const fs::path backup = install_folder() / L"SETUP.md.old-3";
    write_bytes(backup, "backup");
    for (const fs::path& p : {guide(), script(), companion(), backup, install_folder() / L"install.json",
                              install_folder() / L"uninstall.exe"})
        ASSERT_TRUE(SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_READONLY)) << u8(p);
    const op_result result = run_uninstall(recorder());
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_FALSE(present(install_folder()));
    EXPECT_FALSE(present(script()));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
}

TEST_F(Uninstall, AReadOnlyFileWithASecondNameGoesAndTheOtherNameKeepsTheAttribute) {
    install();
    const fs::path other = sandbox_root / L"kept" / L"guide.md";
    fs::create_directories(other.parent_path());
    ASSERT_TRUE(CreateHardLinkW(other.c_str(), guide().c_str(), nullptr));
    ASSERT_TRUE(SetFileAttributesW(guide().c_str(), FILE_ATTRIBUTE_READONLY));
    const op_result result = run_uninstall(recorder());
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_FALSE(present(guide()));
    EXPECT_FALSE(present(install_folder()));
    EXPECT_EQ(read_bytes(other), std::string(1200, 'S'));
    const DWORD attributes = GetFileAttributesW(other.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY));
    SetFileAttributesW(other.c_str(), FILE_ATTRIBUTE_NORMAL);
}

namespace {

// Lets every change of a file through but its deletion, which fails as for a file in use.
BOOL WINAPI refuse_deletion(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    if (kind == FileDispositionInfo) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    using set_information = LONG(WINAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
    static const auto nt_set = reinterpret_cast<set_information>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile")));
    constexpr int file_basic_information = 4;
    if (kind != FileBasicInfo || nt_set == nullptr) return FALSE;
    IO_STATUS_BLOCK status{};
    return nt_set(file, &status, info, size, file_basic_information) >= 0;
}

}  // namespace

TEST_F(Uninstall, AReadOnlyFileThatCannotBeDeletedKeepsTheAttribute) {
    install();
    ASSERT_TRUE(SetFileAttributesW(guide().c_str(), FILE_ATTRIBUTE_READONLY));
    op_result result;
    {
        const code_detour detour(GetModuleHandleW(L"kernel32.dll"), "SetFileInformationByHandle",
                                 reinterpret_cast<const void*>(&refuse_deletion));
        ASSERT_TRUE(detour.active());
        result = run_uninstall(recorder());
    }
    EXPECT_FALSE(result.ok);
    ASSERT_TRUE(present(guide()));
    const DWORD attributes = GetFileAttributesW(guide().c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(run_uninstall(recorder()).ok);
    EXPECT_FALSE(present(guide()));
}

TEST_F(Uninstall, AnUninstallerLetGoInAMomentIsRemoved) {
    install();
    const fs::path uninstaller = install_folder() / L"uninstall.exe";
    // The uninstaller that handed over is still ending when its copy reaches its file.
    held_file open(uninstaller, FILE_SHARE_READ);
    ASSERT_NE(open.handle, INVALID_HANDLE_VALUE);
    std::future<void> ending;
    const op_result result = run_uninstall([&](int percent, const std::string&) {
        if (percent == 80) ending = std::async(std::launch::async, [&open] {
            Sleep(300);
            open.release();
        });
    });
    if (ending.valid()) ending.wait();
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_FALSE(present(uninstaller));
    EXPECT_FALSE(present(install_folder()));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
}

// An uninstall run in place by the uninstaller: its running file goes only by its move aside,
// which is made sure of before the entry goes.
TEST_F(Uninstall, TheRunningUninstallerGoesOnlyWhenItsMoveAsideIsSure) {
    // Beside this program, so that a hard link to it can be made on the same drive. Windows
    // cannot delete that link while this program runs; under Wine the host's rm can, and a
    // later run of the same program would otherwise meet it.
    const fs::path base = sandbox_root;
    sandbox_root = own_exe_path().parent_path() / L"in-place-sandbox";
    const auto clear = [] {
        std::error_code ec;
        fs::remove_all(sandbox_root, ec);
        const std::wstring name = unix_name_of(sandbox_root);
        if (present(sandbox_root) && !name.empty() && start_unix_tool(L"Z:\\bin\\rm", L"rm -rf \"" + name + L"\""))
            wait_for_attributes(sandbox_root, false);
    };
    clear();
    install();
    const fs::path uninstaller = install_folder() / L"uninstall.exe";
    fs::remove(uninstaller);
    // Another name of this very program: the uninstall that runs in place.
    const bool linked = CreateHardLinkW(uninstaller.c_str(), own_exe_path().c_str(), nullptr) != 0;
    struct outcome {
        op_result result;
        bool entry = false, record = false, uninstaller = false;
    };
    const auto uninstall = [&](running_uninstaller* in_place) {
        in_place_uninstaller = in_place;
        outcome o{run_uninstall(recorder())};
        in_place_uninstaller = nullptr;
        o.entry = key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key);
        o.record = !read_install_record().empty();
        o.uninstaller = present(uninstaller);
        return o;
    };
    outcome alone, scanned, nowhere, done;
    fs::path moved_to;
    if (linked) {
        // Nobody moves it.
        alone = uninstall(nullptr);
        // Another program has it open without delete sharing.
        running_uninstaller moves([](const fs::path&) { return true; });
        {
            held_file scanner(uninstaller, FILE_SHARE_READ);
            scanned = uninstall(&moves);
        }
        // No name it moves to can be deleted later.
        running_uninstaller stuck([](const fs::path&) { return false; });
        nowhere = uninstall(&stuck);
        // Stopped once it holds itself: the retry's sweep must meet nothing held.
        struct stopped {};
        uninstall_step_hook = [](const char* at) {
            if (std::string(at) == "entry") throw stopped{};
        };
        in_place_uninstaller = &moves;
        EXPECT_THROW(run_uninstall(recorder()), stopped);
        uninstall_step_hook = nullptr;
        done = uninstall(&moves);
        moved_to = moves.moved_to();
        if (!moved_to.empty()) {
            EXPECT_TRUE(present(moved_to));
        }
    }
    clear();
    sandbox_root = base;
    if (!linked) GTEST_SKIP() << "no hard link to the running program can be made here";
    for (const outcome* kept : {&alone, &scanned, &nowhere}) {
        EXPECT_FALSE(kept->result.ok);
        EXPECT_TRUE(kept->entry && kept->record && kept->uninstaller) << kept->result.error;
    }
    EXPECT_EQ(alone.result.error, "Could not remove uninstall.exe. Close it and try again.");
    EXPECT_EQ(scanned.result.error, "Could not remove uninstall.exe. Close it and try again.");
    EXPECT_EQ(nowhere.result.error, "Could not remove uninstall.exe.");
    EXPECT_TRUE(done.result.ok) << done.result.error;
    EXPECT_FALSE(done.entry || done.record || done.uninstaller);
    EXPECT_EQ(moved_to.parent_path(), uninstaller.parent_path());
    EXPECT_TRUE(is_leftover_name(moved_to.filename().wstring(), L"uninstall.exe")) << u8(moved_to);
}

// The record may name the two files the last steps remove: they stay for those steps, so that
// a file that stays earlier keeps the entry with its uninstaller and record.
TEST_F(Uninstall, ARecordThatListsTheUninstallerAndItselfLeavesThemToTheLastSteps) {
    install();
    const fs::path record = install_folder() / L"install.json", uninstaller = install_folder() / L"uninstall.exe";
    json listed = read_install_record();
    listed["files"] = json::array({u8(uninstaller), u8(install_folder() / L"INSTALL.JSON"), u8(guide()),
                                   u8(companion())});
    write_record(listed);
    {
        held_file open(companion(), FILE_SHARE_READ);
        ASSERT_NE(open.handle, INVALID_HANDLE_VALUE);
        const op_result failed = run_uninstall(recorder());
        EXPECT_EQ(failed.error, "Could not remove VantrelCompanionBeta.exe. Close it and try again.");
    }
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
    EXPECT_TRUE(present(uninstaller));
    EXPECT_TRUE(present(record));
    EXPECT_FALSE(present(guide()));
    const op_result retried = run_uninstall(recorder());
    EXPECT_TRUE(retried.ok) << retried.error;
    EXPECT_FALSE(present(install_folder()));
}

TEST_F(Uninstall, RecordEntriesNamingDevicesAreLeftAlone) {
    install();
    json record = read_install_record();
    for (const wchar_t* name : {L"CON", L"CON.txt", L"CONIN$", L"CONOUT$", L"NUL", L"nul.md", L"COM1", L"LPT1",
                                L"AUX", L"PRN"})
        record["files"].push_back(u8(install_folder() / name));
    write_record(record);
    const op_result result = run_uninstall(recorder());
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_FALSE(present(companion()));
    EXPECT_FALSE(present(script()));
    EXPECT_FALSE(present(install_folder()));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
}

TEST_F(Uninstall, AnInstallFolderPathLongerThanMaxPathIsRemovedAsUsual) {
    // A sandbox of 259 characters puts the install folder's files at about 310.
    const fs::path base = sandbox_root;
    sandbox_root = base / std::wstring(259 - base.native().size() - 1, L's');
    ASSERT_EQ(sandbox_root.native().size(), 259u);
    ASSERT_GT(companion().native().size(), static_cast<size_t>(MAX_PATH));
    install();
    ASSERT_TRUE(present(companion()));
    const op_result result = run_uninstall(recorder());
    EXPECT_TRUE(result.ok) << result.error;
    for (const fs::path& p : {companion(), guide(), script(), install_folder() / L"install.json",
                              install_folder() / L"uninstall.exe"})
        EXPECT_FALSE(present(p)) << u8(p);
    EXPECT_FALSE(present(install_folder()));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
    sandbox_root = base;
}

TEST_F(Uninstall, ALinkInsideTheInstallFolderLeadsNoRemovalOutside) {
    install();
    temp_folder outside(L"victim");
    write_bytes(outside.path() / L"victim.txt", "the user's");
    write_bytes(outside.path() / L"single.txt", "the user's too");
    const fs::path folder_link = install_folder() / L"linked";
    const fs::path file_link = install_folder() / L"single.txt";
    if (!make_unix_link(folder_link, outside.path()) || !make_unix_link(file_link, outside.path() / L"single.txt"))
        GTEST_SKIP() << "no symbolic link can be made here";
    json record = read_install_record();
    record["files"].push_back(u8(folder_link / L"victim.txt"));
    record["files"].push_back(u8(file_link));
    write_record(record);
    const op_result result = run_uninstall(recorder());
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(read_bytes(outside.path() / L"victim.txt"), "the user's");
    EXPECT_EQ(read_bytes(outside.path() / L"single.txt"), "the user's too");
    EXPECT_FALSE(present(companion()));
    // Only the host's rm removes a link without touching what it leads to.
    remove_unix_link(folder_link);
    remove_unix_link(file_link);
}

// Nothing is removed through an install or script folder that is a link. One with a file of ours
// behind it (a folder moved and linked back) fails the uninstall before anything goes, since its
// files would stay; one with none of ours behind it stops nothing.
TEST_F(Uninstall, AFolderOfSetupsThatIsALinkFailsTheUninstallWhileAFileOfOursLiesBehindIt) {
    install();
    const std::string install_link = "A link is in the way of Vantrel for DaVinci Resolve Beta.";
    const std::string script_link = "A link is in the way of Utility.";
    temp_folder outside(L"moved");
    // Each of our names alone, behind a link to a folder holding nothing else.
    for (const wchar_t* name : {L"VantrelCompanionBeta.exe", L"setup.md", L"install.json", L"uninstall.exe",
                                L"uninstall.exe.old-5"}) {
        const fs::path behind = outside.path() / L"one";
        write_bytes(behind / name, "the user's");
        fs::rename(install_folder(), outside.path() / L"installed");
        if (!make_unix_link(install_folder(), behind)) GTEST_SKIP() << "no symbolic link can be made here";
        const op_result result = run_uninstall(recorder());
        remove_unix_link(install_folder());
        fs::rename(outside.path() / L"installed", install_folder());
        EXPECT_FALSE(result.ok) << u8(name);
        EXPECT_EQ(result.error, install_link) << u8(name);
        EXPECT_EQ(uninstall_refusal(), "") << "the link is gone";
        EXPECT_EQ(read_bytes(behind / name), "the user's") << u8(name);
        fs::remove_all(behind);
    }
    EXPECT_TRUE(present(script()));
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));

    // Moved elsewhere and linked back, each folder in turn: everything stays for a retry.
    for (const auto& [folder, message] :
         {std::pair{install_folder(), install_link}, std::pair{scripts(), script_link}}) {
        const fs::path moved = outside.path() / L"moved";
        fs::rename(folder, moved);
        ASSERT_TRUE(make_unix_link(folder, moved));
        const op_result result = run_uninstall(recorder());
        EXPECT_EQ(result.error, message);
        for (const fs::path& p : {companion(), guide(), script(), install_folder() / L"install.json",
                                  install_folder() / L"uninstall.exe"})
            EXPECT_TRUE(present(p)) << u8(p);
        EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
        remove_unix_link(folder);
        fs::rename(moved, folder);
    }

    // A file the record lists behind the script folder's link is ours as well.
    const fs::path shared = outside.path() / L"shared";
    write_bytes(shared / L"Vantrel Old.py", "listed");
    json record = read_install_record();
    record["files"].push_back(u8(scripts() / L"Vantrel Old.py"));
    write_record(record);
    fs::rename(scripts(), outside.path() / L"utility");
    ASSERT_TRUE(make_unix_link(scripts(), shared));
    EXPECT_EQ(run_uninstall(recorder()).error, script_link);
    EXPECT_EQ(read_bytes(shared / L"Vantrel Old.py"), "listed");

    EXPECT_EQ(uninstall_refusal(), script_link) << "a quiet uninstall refuses before it hands over";

    // Behind a link with nothing of ours: the rest goes, and what lies there stays. A settings
    // folder synced elsewhere through a link keeps the settings there.
    remove_unix_link(scripts());
    write_bytes(shared / L"Vantrel Old.py", "not listed");
    record["files"].erase(record["files"].size() - 1);
    write_record(record);
    const fs::path synced = outside.path() / L"synced";
    write_bytes(synced / L"resolve-beta.json", "{}");
    write_bytes(synced / L"companion.txt", "synced");
    ASSERT_TRUE(make_unix_link(scripts(), shared));
    ASSERT_TRUE(make_unix_link(settings(), synced));
    const op_result result = run_uninstall(recorder());
    remove_unix_link(scripts());
    remove_unix_link(settings());
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(read_bytes(shared / L"Vantrel Old.py"), "not listed");
    EXPECT_EQ(read_bytes(synced / L"resolve-beta.json"), "{}");
    EXPECT_EQ(read_bytes(synced / L"companion.txt"), "synced");
    EXPECT_FALSE(present(install_folder()));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
}

// While the uninstall works in its folders, none can be moved away and a link put in its place.
TEST_F(Uninstall, ItsFoldersCannotBeMovedAwayWhileItRuns) {
    install();
    write_bytes(settings() / L"resolve-beta.json", "{}");
    held_file companion_held(companion(), FILE_SHARE_READ);
    ASSERT_NE(companion_held.handle, INVALID_HANDLE_VALUE);
    // The held companion keeps the uninstall in its retry window once it removes files.
    std::promise<void> removing;
    auto running = std::async(std::launch::async, [&removing] {
        return run_uninstall([&removing](int percent, const std::string&) {
            if (percent == 45) removing.set_value();
        });
    });
    removing.get_future().wait();
    std::vector<bool> moved;
    for (const fs::path& folder : {install_folder(), scripts(), settings()})
        moved.push_back(MoveFileExW(folder.c_str(), (folder.wstring() + L" moved").c_str(), 0) != 0);
    companion_held.release();
    const op_result result = running.get();
    EXPECT_EQ(moved, std::vector<bool>(3, false));
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_FALSE(present(install_folder()));
    EXPECT_FALSE(present(settings()));
}

// A folder of Setup's that is not there when the uninstall starts holds nothing of ours: a link
// put at its name meanwhile is not entered. A link that is there is held as it is, so that the
// real folder cannot be put back in its place behind the uninstall's back.
TEST_F(Uninstall, AFolderSwappedWhileItRunsIsNotEntered) {
    install();
    temp_folder outside(L"swapped");
    const fs::path foreign = outside.path() / L"foreign";
    for (const wchar_t* name : {L"install.json", L"uninstall.exe"}) write_bytes(foreign / name, "the user's");
    fs::rename(install_folder(), outside.path() / L"moved");
    bool linked = false;
    uninstall_step_hook = [&](const char* step) {
        if (std::string(step) == "hold") linked = make_unix_link(install_folder(), foreign);
    };
    const op_result appeared = run_uninstall(recorder());
    uninstall_step_hook = nullptr;
    if (!linked) GTEST_SKIP() << "no symbolic link can be made here";
    EXPECT_TRUE(appeared.ok) << appeared.error;
    for (const wchar_t* name : {L"install.json", L"uninstall.exe"}) EXPECT_EQ(read_bytes(foreign / name), "the user's");

    // The other way: a link to an empty folder stands at the name; were it taken away, the real
    // folder could be put back in its place meanwhile.
    remove_unix_link(install_folder());
    const fs::path empty = outside.path() / L"empty";
    fs::create_directories(empty);
    ASSERT_TRUE(make_unix_link(install_folder(), empty));
    bool link_removed = true;
    uninstall_step_hook = [&](const char* step) {
        if (std::string(step) == "hold")
            link_removed = RemoveDirectoryW(install_folder().c_str()) || DeleteFileW(install_folder().c_str());
    };
    EXPECT_TRUE(run_uninstall(recorder()).ok);
    uninstall_step_hook = nullptr;
    remove_unix_link(install_folder());
    EXPECT_FALSE(link_removed);
}

TEST_F(Uninstall, LeftoversOfPlacementGoBesideTheScriptAndTheUsersFilesStay) {
    install();
    for (const fs::path& p : {scripts() / L"Vantrel Beta.py.old-17", scripts() / L"Vantrel Beta.py.vantrel-new",
                              install_folder() / L"uninstall.exe.old-4"})
        write_bytes(p, "x");
    write_bytes(install_folder() / L"take.old-2.wav", "the user's");
    EXPECT_TRUE(run_uninstall(recorder()).ok);
    EXPECT_FALSE(present(scripts() / L"Vantrel Beta.py.old-17"));
    EXPECT_FALSE(present(scripts() / L"Vantrel Beta.py.vantrel-new"));
    EXPECT_FALSE(present(install_folder() / L"uninstall.exe.old-4"));
    EXPECT_EQ(read_bytes(install_folder() / L"take.old-2.wav"), "the user's");
}

TEST_F(Uninstall, ASettingsFolderWithAThirdFileKeepsIt) {
    write_bytes(settings() / L"resolve-beta.json", "{}");
    write_bytes(settings() / L"companion.txt", "x");
    write_bytes(settings() / L"resolve.json", "the stable edition's");
    EXPECT_TRUE(run_uninstall(recorder()).ok);
    EXPECT_FALSE(present(settings() / L"resolve-beta.json"));
    EXPECT_FALSE(present(settings() / L"companion.txt"));
    EXPECT_EQ(read_bytes(settings() / L"resolve.json"), "the stable edition's");
}

TEST_F(Uninstall, AfterAnInstallWhoseRecordFailedTheFallbackCleansUp) {
    std::error_code ec;
    fs::create_directories(install_folder() / L"install.json" / L"sub", ec);
    ASSERT_FALSE(run_install(recorder()).ok);
    fs::remove_all(install_folder() / L"install.json", ec);
    EXPECT_TRUE(run_uninstall(recorder()).ok);
    EXPECT_FALSE(present(install_folder()));
    EXPECT_FALSE(present(script()));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
}

TEST(AllowedRoots, ARootWithoutAFolderAdmitsNothing) {
    EXPECT_FALSE(is_below_root(L"\\share\\file.txt", L""));
    EXPECT_FALSE(is_below_root(L"\\\\server\\share\\file.txt", L""));
    EXPECT_FALSE(is_below_root(L"C:\\x\\file.txt", L""));
    EXPECT_TRUE(is_below_root(L"C:\\x\\file.txt", L"C:\\x"));
    EXPECT_FALSE(is_below_root(L"C:\\x", L"C:\\x"));
    EXPECT_FALSE(is_below_root(L"C:\\xy\\file.txt", L"C:\\x"));
    EXPECT_FALSE(is_below_root(L"C:\\X\\file.txt", L"C:\\x"));
    EXPECT_FALSE(is_below_root(L"C:\\x\\.\\file.txt", L"C:\\x"));
    EXPECT_FALSE(is_below_root(L"C:\\x\\a/../../y.txt", L"C:\\x"));
}

TEST(UninstallWithoutFolders, NothingRelativeToTheCurrentFolderIsRemoved) {
    ASSERT_TRUE(sandbox_root.empty());
    const std::wstring real_key =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VantrelForDaVinciResolveBeta";
    if (key_exists(HKEY_CURRENT_USER, real_key))
        GTEST_SKIP() << "a real uninstall entry exists here; this unsandboxed run would remove it";
    temp_folder current(L"cwd");
    const std::vector<std::wstring> names = {L"VantrelCompanionBeta.exe", L"SETUP.md", L"Vantrel Beta.py",
                                             L"install.json", L"uninstall.exe", L"Vantrel\\resolve-beta.json",
                                             L"Vantrel\\companion.txt", L"x.old-1"};
    for (const std::wstring& name : names) write_bytes(current.path() / name, "keep");
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(current.path().c_str());
    op_result result;
    {
        profile_folders_missing missing({L"Local AppData", L"AppData", L"Start Menu"});
        ASSERT_TRUE(install_dir().empty()) << "the shell still gives the local application data folder";
        result = run_uninstall([](int, const std::string&) {});
    }
    SetCurrentDirectoryW(saved);
    EXPECT_TRUE(result.ok);
    for (const std::wstring& name : names) EXPECT_TRUE(present(current.path() / name)) << wide_to_utf8(name);
}
