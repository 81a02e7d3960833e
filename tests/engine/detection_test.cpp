#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>

#include "detection.h"
#include "engine_test_support.h"
#include "sandbox.h"

using namespace engine_tests;
using testing_support::sandbox_scope;
using testing_support::temp_folder;

namespace {

const std::wstring script =
    L"import sys,struct;sys.exit(0 if sys.version_info >= (3,8) and struct.calcsize('P') == 8 else 1)";

std::string probe_line(const fs::path& exe, const std::wstring& prefix) {
    return wide_to_utf8(L"\"" + exe.wstring() + L"\" " + prefix + L"-I -S -c \"" + script + L"\"");
}

}  // namespace

TEST(SandboxedPython, OnlyTheSandboxInterpreterCountsAndItsExitCodeDecides) {
    sandbox_scope sandbox;
    const fs::path python = sandbox.path() / L"ProgramFiles" / L"Python" / L"python.exe";
    EXPECT_EQ(std::wstring(python_check_args).size(), 106u);

    EXPECT_FALSE(find_python());
    std::error_code ec;
    fs::create_directories(python, ec);
    EXPECT_FALSE(find_python()) << "a folder named python.exe is not an interpreter";
    fs::remove(python, ec);

    place_stand_in(python, "0");
    EXPECT_TRUE(find_python());
    const auto lines = recorded_command_lines(python);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], probe_line(python, L""));

    place_stand_in(python, "1");
    EXPECT_FALSE(find_python());
    EXPECT_EQ(recorded_command_lines(python).size(), 2u);
}

TEST(SandboxedPython, AnInterpreterThatHangsIsStoppedAfterThreeSeconds) {
    sandbox_scope sandbox;
    const fs::path python = sandbox.path() / L"ProgramFiles" / L"Python" / L"python.exe";
    place_stand_in(python, "hang");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_hidden(python, python_check_args), -1);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(waited.count(), 2900);
    // The stand-in hangs for two minutes: ending well before that is the time-out's doing.
    EXPECT_LT(waited.count(), 60000);
    EXPECT_EQ(recorded_command_lines(python).size(), 1u);
    const ULONGLONG end = GetTickCount64() + 60000;
    while (is_process_running(L"python.exe") && GetTickCount64() < end) Sleep(50);
    EXPECT_FALSE(is_process_running(L"python.exe")) << "the probe was left running";

    EXPECT_FALSE(find_python());
    EXPECT_EQ(run_hidden(sandbox.path() / L"missing.exe", L""), -1);
    place_stand_in(python, "7");
    EXPECT_EQ(run_hidden(python, L"x"), 7);
}

TEST(SandboxedResolve, OnlyARegularFileAtTheSandboxPathCounts) {
    sandbox_scope sandbox;
    const fs::path resolve =
        sandbox.path() / L"ProgramFiles" / L"Blackmagic Design" / L"DaVinci Resolve" / L"Resolve.exe";
    EXPECT_FALSE(find_resolve());
    std::error_code ec;
    fs::create_directories(resolve, ec);
    EXPECT_FALSE(find_resolve()) << "a folder named Resolve.exe does not count";
    fs::remove(resolve, ec);
    write_bytes(resolve, "MZ");
    EXPECT_TRUE(find_resolve());
}

// The unsandboxed search reads the machine's registry and environment: these tests write
// keys of their own into Wine's registry and remove them again.
class RealDetection : public ::testing::Test {
protected:
    static constexpr const wchar_t* app_paths = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Resolve.exe";
    static constexpr const wchar_t* blackmagic = L"Software\\Blackmagic Design\\DaVinci Resolve";
    static constexpr const wchar_t* python_keys[2] = {
        L"Software\\Python\\PythonCore", L"Software\\WOW6432Node\\Python\\PythonCore"};

    void SetUp() override {
        ASSERT_TRUE(sandbox_root.empty());
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
            for (const wchar_t* key : {python_keys[0], python_keys[1]})
                if (key_exists(root, key)) GTEST_SKIP() << "this machine has a Python registered";
        if (key_exists(HKEY_LOCAL_MACHINE, app_paths) || key_exists(HKEY_LOCAL_MACHINE, blackmagic))
            GTEST_SKIP() << "this machine has DaVinci Resolve registered";
        saved_path_ = environment(L"PATH");
        saved_program_files_ = environment(L"ProgramW6432");
        // Only the test's own folders on the search path.
        SetEnvironmentVariableW(L"PATH", (folder_.path() / L"empty").c_str());
        cleanup_ = true;
    }
    void TearDown() override {
        if (!cleanup_) return;
        SetEnvironmentVariableW(L"PATH", saved_path_.c_str());
        SetEnvironmentVariableW(L"ProgramW6432", saved_program_files_.c_str());
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            raw_delete_tree(root, python_keys[0]);
            raw_delete_tree(root, python_keys[1]);
        }
        raw_delete_tree(HKEY_LOCAL_MACHINE, app_paths);
        raw_delete_tree(HKEY_LOCAL_MACHINE, blackmagic);
    }
    static std::wstring environment(const wchar_t* name) {
        std::wstring value(32768, L'\0');
        const DWORD n = GetEnvironmentVariableW(name, value.data(), 32768);
        value.resize(n < 32768 ? n : 0);
        return value;
    }
    void register_version(HKEY root, int key, const std::wstring& version, const std::wstring& executable,
                          const std::wstring& folder = L"") {
        const std::wstring path = std::wstring(python_keys[key]) + L"\\" + version + L"\\InstallPath";
        if (!executable.empty()) raw_set_string(root, path, L"ExecutablePath", executable);
        if (!folder.empty()) raw_set_string(root, path, L"", folder);
        if (executable.empty() && folder.empty()) RegSetKeyValueW(root, path.c_str(), L"Other", REG_SZ, L"", 2);
    }
    fs::path interpreter(const std::wstring& name, const std::string& answer) {
        const fs::path p = folder_.path() / name / L"python.exe";
        place_stand_in(p, answer);
        return p;
    }

    temp_folder folder_{L"detect"};
    std::wstring saved_path_, saved_program_files_;
    bool cleanup_ = false;
};

TEST_F(RealDetection, RegistryWalkTestsOnlyVersionsStartingWithThreeAndTrustsExecutablePath) {
    EXPECT_FALSE(find_python());

    const fs::path old = interpreter(L"old27", "0");
    register_version(HKEY_CURRENT_USER, 0, L"2.7", old.wstring());
    const fs::path py37 = interpreter(L"py37", "1");
    register_version(HKEY_CURRENT_USER, 0, L"3.7", py37.wstring());
    // ExecutablePath names a file that is gone: the good interpreter in the folder is not asked.
    const fs::path good = interpreter(L"good", "0");
    register_version(HKEY_CURRENT_USER, 0, L"3.9", (folder_.path() / L"gone.exe").wstring(),
                     good.parent_path().wstring());
    EXPECT_FALSE(find_python());
    EXPECT_TRUE(recorded_command_lines(old).empty()) << "2.7 must be passed over unread";
    ASSERT_EQ(recorded_command_lines(py37).size(), 1u);
    EXPECT_EQ(recorded_command_lines(py37)[0], probe_line(py37, L""));
    EXPECT_TRUE(recorded_command_lines(good).empty());

    // Only the first character is tested, and the folder road joins python.exe.
    const fs::path bits32 = interpreter(L"bits32", "0");
    register_version(HKEY_LOCAL_MACHINE, 1, L"3.11-32", L"", bits32.parent_path().wstring() + L"\\");
    EXPECT_TRUE(find_python());
    ASSERT_EQ(recorded_command_lines(bits32).size(), 1u);
    EXPECT_EQ(recorded_command_lines(bits32)[0], probe_line(bits32, L""));
}

TEST_F(RealDetection, RegistryWalkLooksAtTheFirstSixtyFourVersionsOnly) {
    const fs::path good = interpreter(L"good", "0");
    for (int i = 0; i < 63; ++i) register_version(HKEY_CURRENT_USER, 0, L"3." + std::to_wstring(10 + i), L"");
    register_version(HKEY_CURRENT_USER, 0, L"3.99", good.wstring());
    EXPECT_TRUE(find_python()) << "the 64th version is looked at";
    register_version(HKEY_CURRENT_USER, 0, L"3.98", L"");
    EXPECT_FALSE(find_python()) << "the 65th version is not";
    EXPECT_EQ(recorded_command_lines(good).size(), 1u);
}

TEST_F(RealDetection, SearchPathSkipsTheStoreAliasAndAsksTheLauncherForPythonThree) {
    const fs::path alias = folder_.path() / L"WindowsApps" / L"python.exe";
    place_stand_in(alias, "0");
    const fs::path launcher = folder_.path() / L"launcher" / L"py.exe";
    place_stand_in(launcher, "0");
    SetEnvironmentVariableW(L"PATH", (alias.parent_path().wstring() + L";" + launcher.parent_path().wstring()).c_str());
    EXPECT_TRUE(find_python());
    EXPECT_TRUE(recorded_command_lines(alias).empty()) << "the Store alias must never start";
    ASSERT_EQ(recorded_command_lines(launcher).size(), 1u);
    EXPECT_EQ(recorded_command_lines(launcher)[0], probe_line(launcher, L"-3 "));

    place_stand_in(launcher, "1");
    EXPECT_FALSE(find_python());

    // The fragment is compared with its letter case.
    const fs::path other = folder_.path() / L"windowsapps" / L"python.exe";
    place_stand_in(other, "0");
    SetEnvironmentVariableW(L"PATH", other.parent_path().c_str());
    EXPECT_TRUE(find_python());
    EXPECT_EQ(recorded_command_lines(other).size(), 1u);
}

TEST_F(RealDetection, ResolveIsFoundUnderProgramW6432OrThroughItsRegistryValues) {
    const fs::path files = folder_.path() / L"Program Files";
    SetEnvironmentVariableW(L"ProgramW6432", files.c_str());
    EXPECT_FALSE(find_resolve());
    write_bytes(files / L"Blackmagic Design" / L"DaVinci Resolve" / L"Resolve.exe", "MZ");
    EXPECT_TRUE(find_resolve());

    // A sandboxed run ignores the real program-files folder and the registry.
    {
        sandbox_scope sandbox;
        EXPECT_FALSE(find_resolve());
    }

    SetEnvironmentVariableW(L"ProgramW6432", (folder_.path() / L"nowhere").c_str());
    const fs::path installed = folder_.path() / L"Resolve 19" / L"Resolve.exe";
    write_bytes(installed, "MZ");
    raw_set_string(HKEY_LOCAL_MACHINE, app_paths, L"", L"\"" + installed.wstring() + L"\"");
    EXPECT_FALSE(find_resolve()) << "a quoted App Paths value is not a file's path";
    raw_set_string(HKEY_LOCAL_MACHINE, blackmagic, L"InstallPath", installed.parent_path().wstring() + L"\\");
    EXPECT_TRUE(find_resolve());
    raw_set_string(HKEY_LOCAL_MACHINE, blackmagic, L"InstallPath", installed.parent_path().wstring());
    EXPECT_TRUE(find_resolve());
    raw_delete_tree(HKEY_LOCAL_MACHINE, blackmagic);
    raw_set_string(HKEY_LOCAL_MACHINE, app_paths, L"", installed.wstring());
    EXPECT_TRUE(find_resolve());
    {
        sandbox_scope sandbox;
        EXPECT_FALSE(find_resolve());
    }
}

TEST(RunningPrograms, NamesAreComparedWholeAndWithoutLetterCase) {
    temp_folder folder(L"procs");
    const fs::path upper = folder.path() / L"RESOLVE.EXE";
    const fs::path old = folder.path() / L"Resolve.exe.old";
    const fs::path longer = folder.path() / L"DaVinci Resolve.exe";
    for (const fs::path& p : {upper, old, longer}) place_stand_in(p, "hang");

    EXPECT_FALSE(is_process_running(L"Resolve.exe"));
    {
        running_program a(old), b(longer);
        ASSERT_TRUE(a.started() && b.started());
        EXPECT_TRUE(is_process_running(L"Resolve.exe.old"));
        EXPECT_TRUE(is_process_running(L"davinci resolve.EXE"));
        EXPECT_FALSE(is_process_running(L"Resolve.exe"));
    }
    running_program c(upper);
    ASSERT_TRUE(c.started());
    EXPECT_TRUE(is_process_running(L"Resolve.exe"));
    EXPECT_FALSE(is_process_running(L"Resolve.exe.old"));
    EXPECT_FALSE(is_process_running(L"Resolve"));
}
