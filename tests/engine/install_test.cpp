#include <gtest/gtest.h>

#include <algorithm>

#include "detection.h"
#include "install.h"
#include "install_record.h"
#include "operations_fixture.h"

using namespace engine_tests;
using testing_support::temp_folder;

namespace {

std::string escaped(const fs::path& p) {
    std::string out;
    for (char c : wide_to_utf8(p.wstring())) {
        if (c == '\\') out += '\\';
        out += c;
    }
    return out;
}

std::wstring value_text(const std::wstring& key, const std::wstring& name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!raw_value(HKEY_CURRENT_USER, key, name, type, data) || type != REG_SZ) return L"<not a string>";
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()));
}

DWORD value_dword(const std::wstring& key, const std::wstring& name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!raw_value(HKEY_CURRENT_USER, key, name, type, data) || type != REG_DWORD || data.size() != 4) return 0xffffffff;
    return *reinterpret_cast<DWORD*>(data.data());
}

std::uintmax_t size_of(const fs::path& p) {
    std::error_code ec;
    return fs::file_size(p, ec);
}

const progress_log install_steps = {{4, "Checking the installer"},
                                    {18, "Installing the Vantrel window"},
                                    {40, "Adding Vantrel to Resolve's Scripts menu"},
                                    {58, "Adding the setup guide"},
                                    {82, "Registering with Windows"},
                                    {100, "Done"}};

}  // namespace

using Install = SandboxedOperation;

TEST_F(Install, FirstInstallOnACleanSandboxPlacesEverythingAndRecordsIt) {
    // A profile path outside ASCII, so the record must carry UTF-8.
    sandbox_root = sandbox_root / L"Zoë 東京";
    const op_result result = run_install(recorder());
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(progress_, install_steps);
    EXPECT_EQ(result.notes, (std::vector<std::string>{"python", "no-resolve"}));

    EXPECT_EQ(read_bytes(companion()), std::string(5000, 'C'));
    EXPECT_EQ(read_bytes(script()), "print('vantrel')\n");
    EXPECT_EQ(read_bytes(guide()), std::string(1200, 'S'));
    const fs::path uninstaller = install_folder() / L"uninstall.exe";
    EXPECT_EQ(read_bytes(uninstaller), read_bytes(own_exe_path()));

    const std::wstring key = L"Software\\Vantrel\\SetupSandbox\\" + uninstall_key;
    // Wine lists values sorted by name, so only the set of names can be seen here.
    std::vector<std::wstring> names = value_names(HKEY_CURRENT_USER, key);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"DisplayIcon", L"DisplayName", L"DisplayVersion", L"EstimatedSize",
                                                L"InstallLocation", L"NoModify", L"NoRepair", L"Publisher",
                                                L"QuietUninstallString", L"URLInfoAbout", L"UninstallString"}));
    EXPECT_EQ(value_text(key, L"DisplayName"), L"Vantrel for DaVinci Resolve (Beta)");
    EXPECT_EQ(value_text(key, L"DisplayVersion"), L"0.5.0");
    EXPECT_EQ(value_text(key, L"Publisher"), L"Vantrel");
    EXPECT_EQ(value_text(key, L"URLInfoAbout"), utf8_to_wide(maker_url));
    EXPECT_NE(std::string(maker_url).find(maker_domain), std::string::npos);
    EXPECT_EQ(value_text(key, L"InstallLocation"), install_folder().wstring());
    EXPECT_EQ(value_text(key, L"DisplayIcon"), companion().wstring());
    EXPECT_EQ(value_text(key, L"UninstallString"), L"\"" + uninstaller.wstring() + L"\" --uninstall");
    EXPECT_EQ(value_text(key, L"QuietUninstallString"), L"\"" + uninstaller.wstring() + L"\" --uninstall --silent");
    EXPECT_EQ(value_dword(key, L"NoModify"), 1u);
    EXPECT_EQ(value_dword(key, L"NoRepair"), 1u);
    // The record is written after the size is taken, so it is not counted.
    EXPECT_EQ(value_dword(key, L"EstimatedSize"), (5000 + 1200 + size_of(uninstaller)) >> 10);

    const std::string expected =
        "{\r\n"
        "  \"channel\": \"beta\",\r\n"
        "  \"files\": [\r\n"
        "    \"" + escaped(companion()) + "\",\r\n"
        "    \"" + escaped(script()) + "\",\r\n"
        "    \"" + escaped(guide()) + "\"\r\n"
        "  ],\r\n"
        "  \"product\": \"resolve\",\r\n"
        "  \"registry\": [\r\n"
        "    \"Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\VantrelForDaVinciResolveBeta\"\r\n"
        "  ],\r\n"
        "  \"shortcuts\": [],\r\n"
        "  \"version\": \"0.5.0\"\r\n"
        "}";
    EXPECT_EQ(read_bytes(install_folder() / L"install.json"), expected);
    EXPECT_EQ(read_install_record(), result.record);
}

TEST_F(Install, RepeatedInstallRewritesTheEntryAndTheRecordAndSweepsLeftovers) {
    ASSERT_TRUE(run_install(recorder()).ok);
    const std::wstring key = sandboxed_uninstall_key;
    raw_set_string(HKEY_CURRENT_USER, key, L"Stale", L"from an older Setup");
    write_bytes(install_folder() / L"install.json", "{\"files\": []}");
    for (const wchar_t* name : {L"VantrelCompanionBeta.exe.old-123", L"SETUP.md.vantrel-new", L"unins000.exe",
                                L"unins000.dat"})
        write_bytes(install_folder() / name, std::string(2048, 'x'));
    write_bytes(scripts() / L"Vantrel Beta.py.old-5", "an interrupted placement's");
    write_bytes(scripts() / L"Vantrel Beta.py.vantrel-new", "an interrupted placement's");
    write_bytes(scripts() / L"cut.old-3.py", "the user's");
    write_bytes(install_folder() / L"take.old-2.wav", "the user's");
    write_bytes(install_folder() / L"mix.vantrel-new", "the user's");
    payload_files["SETUP.md"] = byte_vector("second guide");

    progress_.clear();
    const op_result again = run_install(recorder());
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(progress_, install_steps);
    EXPECT_EQ(read_bytes(guide()), "second guide");
    EXPECT_EQ(value_names(HKEY_CURRENT_USER, key).size(), 11u);
    EXPECT_EQ(value_text(key, L"Stale"), L"<not a string>");
    for (const wchar_t* name : {L"VantrelCompanionBeta.exe.old-123", L"SETUP.md.vantrel-new", L"unins000.exe",
                                L"unins000.dat"})
        EXPECT_FALSE(present(install_folder() / name)) << wide_to_utf8(name);
    EXPECT_FALSE(present(scripts() / L"Vantrel Beta.py.old-5"));
    EXPECT_FALSE(present(scripts() / L"Vantrel Beta.py.vantrel-new"));
    EXPECT_EQ(read_bytes(scripts() / L"cut.old-3.py"), "the user's");
    EXPECT_EQ(read_bytes(install_folder() / L"take.old-2.wav"), "the user's");
    EXPECT_EQ(read_bytes(install_folder() / L"mix.vantrel-new"), "the user's");
    EXPECT_EQ(read_install_record(), again.record);
    EXPECT_EQ(again.record["files"].size(), 3u);
    // The previous record and the user's two files lay in the folder while it was measured.
    const std::uintmax_t counted = 5000 + 12 + size_of(install_folder() / L"uninstall.exe") + 13 + 10 + 10;
    EXPECT_EQ(value_dword(key, L"EstimatedSize"), counted >> 10);
}

TEST_F(Install, NotesFollowWhatIsFoundAndWhetherResolveRuns) {
    place_stand_in(sandbox_root / L"ProgramFiles" / L"Python" / L"python.exe", "0");
    write_bytes(sandbox_root / L"ProgramFiles" / L"Blackmagic Design" / L"DaVinci Resolve" / L"Resolve.exe", "MZ");
    temp_folder elsewhere(L"resolve");
    const fs::path running = elsewhere.path() / L"Resolve.exe";
    place_stand_in(running, "hang");
    {
        running_program resolve(running);
        ASSERT_TRUE(resolve.started());
        const op_result result = run_install(recorder());
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.notes, std::vector<std::string>{"restart-resolve"});
    }
    fs::remove(sandbox_root / L"ProgramFiles" / L"Blackmagic Design" / L"DaVinci Resolve" / L"Resolve.exe");
    const op_result result = run_install(recorder());
    EXPECT_EQ(result.notes, std::vector<std::string>{"no-resolve"});
}

TEST_F(Install, FailuresStopAtTheirStepWithTheirMessage) {
    // Damaged payload: nothing on disk.
    payload_files.clear();
    op_result damaged = run_install(recorder());
    EXPECT_FALSE(damaged.ok);
    EXPECT_EQ(damaged.error, std::string("This installer is damaged. Download it again from ") + maker_domain + ".");
    EXPECT_EQ(damaged.record, json({{"files", json::array()}, {"registry", json::array()}, {"shortcuts", json::array()}}));
    EXPECT_EQ(progress_, (progress_log{{4, "Checking the installer"}}));
    EXPECT_FALSE(present(local()));
    SetUp();

    // The install folder is a file.
    write_bytes(install_folder(), "in the way");
    op_result blocked = run_install(recorder());
    EXPECT_FALSE(blocked.ok);
    EXPECT_EQ(blocked.error, "Could not create " + wide_to_utf8(install_folder().wstring()) + ".");
    fs::remove(install_folder());

    // The script cannot be placed: the companion stays, listed.
    write_bytes(scripts(), "a file where the scripts folder belongs");
    progress_.clear();
    op_result no_script = run_install(recorder());
    EXPECT_FALSE(no_script.ok);
    EXPECT_EQ(no_script.error, "Could not write to " + wide_to_utf8(scripts().wstring()) + ".");
    EXPECT_EQ(progress_.back().first, 40);
    EXPECT_EQ(no_script.record["files"], json::array({wide_to_utf8(companion().wstring())}));
    EXPECT_TRUE(present(companion()));
    EXPECT_FALSE(present(guide()));
    fs::remove(scripts());

    // The record cannot be written: everything else is in place.
    std::error_code ec;
    fs::create_directories(install_folder() / L"install.json" / L"sub", ec);
    progress_.clear();
    op_result no_record = run_install(recorder());
    EXPECT_FALSE(no_record.ok);
    EXPECT_EQ(no_record.error, "Could not finish registering the installation.");
    EXPECT_EQ(progress_.back().first, 82);
    EXPECT_EQ(no_record.notes, (std::vector<std::string>{"python", "no-resolve"}));
    EXPECT_EQ(value_names(HKEY_CURRENT_USER, sandboxed_uninstall_key).size(), 11u);
    EXPECT_TRUE(present(install_folder() / L"uninstall.exe"));
    EXPECT_EQ(read_install_record(), json::object());
}

TEST_F(Install, AnOlderUninstallerIsReplacedEvenWhenAnEarlierCopyWasCut) {
    // On the program's own drive: a copy onto an existing file fails there, not across drives.
    const fs::path beside = own_exe_path().parent_path() / (L"same-drive-" + std::to_wstring(GetCurrentProcessId()));
    std::error_code ec;
    fs::create_directories(beside, ec);
    const fs::path previous = sandbox_root;
    sandbox_root = beside;
    for (const std::string& earlier : {std::string(), std::string("an uninstaller from an older version")}) {
        write_bytes(install_folder() / L"uninstall.exe", earlier);
        const op_result result = run_install(recorder());
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_TRUE(read_bytes(install_folder() / L"uninstall.exe") == read_bytes(own_exe_path()))
            << "uninstall.exe is not the running program after an install over \"" << earlier << "\"";
    }
    testing_support::delete_user_tree(L"Software\\Vantrel\\SetupSandbox");
    sandbox_root = previous;
    fs::remove_all(beside, ec);
}

TEST_F(Install, AnUninstallEntryThatCannotBeWrittenFailsTheInstall) {
    ASSERT_TRUE(run_install(recorder()).ok);
    // Below a volatile key no lasting key can be created.
    const std::wstring uninstall_parent = L"Software\\Vantrel\\SetupSandbox\\Software\\Microsoft\\Windows\\CurrentVersion";
    raw_delete_tree(HKEY_CURRENT_USER, uninstall_parent + L"\\Uninstall");
    win32::unique_hkey volatile_key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (uninstall_parent + L"\\Uninstall").c_str(), 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, volatile_key.put(), nullptr),
              ERROR_SUCCESS);
    progress_.clear();
    const op_result result = run_install(recorder());
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "Could not finish registering the installation.");
    EXPECT_EQ(progress_.back().first, 82);
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, sandboxed_uninstall_key));
}

TEST(InstallWithoutFolders, AnInstallFolderThatCannotBeFoundIsRefusedAndNothingIsWritten) {
    ASSERT_TRUE(sandbox_root.empty());
    payload_files["VantrelCompanion.exe"] = byte_vector("C");
    payload_files["Vantrel.py"] = byte_vector("P");
    payload_files["SETUP.md"] = byte_vector("S");
    temp_folder current(L"cwd");
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(current.path().c_str());
    op_result result;
    {
        profile_folders_missing missing({L"Local AppData"});
        ASSERT_TRUE(install_dir().empty()) << "the shell still gives the local application data folder";
        result = run_install([](int, const std::string&) {});
    }
    SetCurrentDirectoryW(saved);
    payload_files.clear();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "Could not create .");
    EXPECT_TRUE(fs::is_empty(current.path()));
}

TEST(EstimatedSize, CountsRegularFilesDirectlyInsideInWholeKiB) {
    temp_folder folder(L"size");
    write_bytes(folder.path() / L"a.bin", std::string(1000000, 'a'));
    write_bytes(folder.path() / L"b.bin", std::string(3000, 'b'));
    write_bytes(folder.path() / L"uninstall.exe", std::string(1500000, 'u'));
    write_bytes(folder.path() / L"sub" / L"deep.bin", std::string(900000, 'd'));
    EXPECT_EQ(estimated_size_kib(folder.path()), 2444u);

    // A file that is gone by the time its size is asked is left out, not counted as -1.
    std::vector<fs::directory_entry> entries;
    for (const wchar_t* name : {L"a.bin", L"b.bin", L"uninstall.exe"})
        entries.emplace_back(folder.path() / name);
    fs::remove(folder.path() / L"a.bin");
    EXPECT_EQ(regular_file_bytes(entries), 1503000u);
    EXPECT_EQ(estimated_size_kib(folder.path() / L"missing"), 0u);
}

TEST_F(Install, RecordIsReadLenientlyAndOnlyAnObjectCounts) {
    const fs::path file = install_folder() / L"install.json";
    EXPECT_EQ(read_install_record(), json::object());
    for (const char* text : {"", "[1,2]", "{\"files\": [", "{} {}", "{\"a\": 1} x", "// note\n{}",
                             "{/* c */}", "\"text\"", "null", "3", "\xff\xfe{}"}) {
        write_bytes(file, text);
        EXPECT_EQ(read_install_record(), json::object()) << text;
    }
    write_bytes(file, " \r\n{\"files\": [1, \"x\"], \"other\": {\"deep\": true}}\r\n ");
    EXPECT_EQ(read_install_record(), json::parse(R"({"files": [1, "x"], "other": {"deep": true}})"));
}

namespace {
const wchar_t* const self_install_variable = L"VANTREL_TEST_SELF_INSTALL";
}

// Run by the test below inside D\uninstall.exe, a copy of this program.
TEST(SelfInstall, DISABLED_InstallFromTheUninstaller) {
    wchar_t root[1024];
    const DWORD n = GetEnvironmentVariableW(self_install_variable, root, 1024);
    ASSERT_TRUE(n > 0 && n < 1024);
    sandbox_root = std::wstring(root, n);
    ASSERT_EQ(own_exe_path(), install_dir() / L"uninstall.exe");
    payload_files["VantrelCompanion.exe"] = byte_vector(std::string(5000, 'C'));
    payload_files["Vantrel.py"] = byte_vector("print('vantrel')\n");
    payload_files["SETUP.md"] = byte_vector("guide from the uninstaller");
    const op_result result = run_install([](int, const std::string&) {});
    EXPECT_TRUE(result.ok) << result.error;
}

TEST_F(Install, StartedAsTheInstalledUninstallerItLeavesItselfAlone) {
    ASSERT_TRUE(run_install(recorder()).ok);
    const fs::path uninstaller = install_folder() / L"uninstall.exe";
    std::error_code ec;
    const auto written = fs::last_write_time(uninstaller, ec);
    const std::string bytes = read_bytes(uninstaller);
    Sleep(50);

    SetEnvironmentVariableW(self_install_variable, sandbox_root.c_str());
    std::wstring command = L"\"" + uninstaller.wstring() +
                           L"\" --gtest_also_run_disabled_tests --gtest_filter=SelfInstall.DISABLED_*";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(uninstaller.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &info);
    SetEnvironmentVariableW(self_install_variable, nullptr);
    ASSERT_TRUE(started);
    win32::process child;
    child.adopt(info);
    DWORD code = 1;
    EXPECT_EQ(WaitForSingleObject(child.handle.get(), 60000), WAIT_OBJECT_0);
    GetExitCodeProcess(child.handle.get(), &code);
    EXPECT_EQ(code, 0u) << "the install run from the uninstaller failed";
    EXPECT_EQ(read_bytes(guide()), "guide from the uninstaller");
    EXPECT_EQ(read_bytes(uninstaller), bytes);
    EXPECT_EQ(fs::last_write_time(uninstaller, ec), written);
}
