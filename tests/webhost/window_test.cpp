#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "code_detour.h"
#include "standin_runtime.h"
#include "win32_edge_engine.h"
#include "window.h"

using namespace webhost::detail;

namespace {

const wchar_t theme_key[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";

struct attribute_call {
    DWORD attribute;
    BOOL value;
};
std::vector<attribute_call> attribute_calls;
HRESULT refuse_attribute = S_OK;  // answered for attribute 20

HRESULT WINAPI record_attribute(HWND, DWORD attribute, LPCVOID value, DWORD size) {
    attribute_calls.push_back({attribute, size == sizeof(BOOL) ? *static_cast<const BOOL*>(value) : -1});
    return attribute == 20 ? refuse_attribute : S_OK;
}

// Sets the per-user theme value for the scope and puts the old one back afterwards.
class theme_value {
public:
    theme_value() {
        RegCreateKeyExW(HKEY_CURRENT_USER, theme_key, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_, nullptr);
        DWORD size = sizeof old_;
        had_ = RegQueryValueExW(key_, L"AppsUseLightTheme", nullptr, nullptr, reinterpret_cast<BYTE*>(&old_),
                                &size) == ERROR_SUCCESS;
    }
    ~theme_value() {
        if (had_) set(old_);
        else remove();
        RegCloseKey(key_);
    }
    void set(DWORD value) {
        RegSetValueExW(key_, L"AppsUseLightTheme", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
    void set_bytes(const std::vector<BYTE>& bytes) {
        RegSetValueExW(key_, L"AppsUseLightTheme", 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    void remove() { RegDeleteValueW(key_, L"AppsUseLightTheme"); }

private:
    HKEY key_ = nullptr;
    DWORD old_ = 0;
    bool had_ = false;
};

struct TitleBarTheme : ::testing::Test {
    void SetUp() override {
        attribute_calls.clear();
        refuse_attribute = S_OK;
        title_bar_attribute_override = record_attribute;
    }
    void TearDown() override { title_bar_attribute_override = nullptr; }
    theme_value theme;
};

}  // namespace

TEST_F(TitleBarTheme, FollowsTheAppThemeInBothDirections) {
    theme.set(0);
    apply_title_bar_theme(nullptr);
    theme.set(1);
    apply_title_bar_theme(nullptr);
    theme.remove();
    apply_title_bar_theme(nullptr);
    theme.set_bytes({0, 0});  // too short to read as a number
    apply_title_bar_theme(nullptr);
    ASSERT_EQ(attribute_calls.size(), 4u);
    EXPECT_EQ(attribute_calls[0].attribute, 20u);
    EXPECT_EQ(attribute_calls[0].value, TRUE);
    EXPECT_EQ(attribute_calls[1].value, FALSE);
    EXPECT_EQ(attribute_calls[2].value, FALSE);
    EXPECT_EQ(attribute_calls[3].value, FALSE);
}

TEST_F(TitleBarTheme, OlderSystemsGetTheOlderAttribute) {
    theme.set(0);
    refuse_attribute = E_INVALIDARG;
    apply_title_bar_theme(nullptr);
    ASSERT_EQ(attribute_calls.size(), 2u);
    EXPECT_EQ(attribute_calls[1].attribute, 19u);
    EXPECT_EQ(attribute_calls[1].value, TRUE);
}


TEST_F(TitleBarTheme, TheSystemsDwmIsLookedUpAndAskedForTheNewerAttributeFirst) {
    title_bar_attribute_override = nullptr;
    theme.set(0);
    const HMODULE dwmapi = LoadLibraryExW(L"dwmapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_NE(dwmapi, nullptr);
    {
        code_detour detour(dwmapi, "DwmSetWindowAttribute", reinterpret_cast<const void*>(&record_attribute));
        ASSERT_TRUE(detour.active());
        apply_title_bar_theme(nullptr);
        refuse_attribute = E_INVALIDARG;
        apply_title_bar_theme(nullptr);
    }
    ASSERT_EQ(attribute_calls.size(), 3u);
    EXPECT_EQ(attribute_calls[0].attribute, 20u);
    EXPECT_EQ(attribute_calls[0].value, TRUE);
    EXPECT_EQ(attribute_calls[1].attribute, 20u);
    EXPECT_EQ(attribute_calls[2].attribute, 19u);
    EXPECT_EQ(attribute_calls[2].value, TRUE);
    // Without the detour the system's own answers: S_OK here, so no second attribute.
    attribute_calls.clear();
    apply_title_bar_theme(nullptr);
    EXPECT_TRUE(attribute_calls.empty());
    FreeLibrary(dwmapi);
}

TEST_F(TitleBarTheme, TheWindowAppliesItAtCreationAndOnAThemeChange) {
    webhost_test::standin_runtime runtime;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    theme.set(0);
    {
        win32_edge_engine engine(false, nullptr);
        ASSERT_EQ(attribute_calls.size(), 1u);
        EXPECT_EQ(attribute_calls[0].value, TRUE);
        const HWND window = engine.window().value();
        theme.set(1);
        EXPECT_EQ(SendMessageW(window, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Policy")), 0);
        EXPECT_EQ(SendMessageW(window, WM_SETTINGCHANGE, 0, 0), 0);
        EXPECT_EQ(attribute_calls.size(), 1u);
        EXPECT_EQ(SendMessageW(window, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"ImmersiveColorSet")), 0);
        ASSERT_EQ(attribute_calls.size(), 2u);
        EXPECT_EQ(attribute_calls[1].value, FALSE);
    }
    CoUninitialize();
}

TEST_F(TitleBarTheme, AThemeItsOwnerForcedOutlastsAThemeChange) {
    webhost_test::standin_runtime runtime;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    theme.set(1);
    {
        win32_edge_engine engine(false, nullptr);
        engine.force_title_bar_theme(true);
        ASSERT_EQ(attribute_calls.size(), 2u);
        EXPECT_EQ(attribute_calls[1].value, TRUE);
        attribute_calls.clear();
        EXPECT_EQ(SendMessageW(engine.window().value(), WM_SETTINGCHANGE, 0,
                               reinterpret_cast<LPARAM>(L"ImmersiveColorSet")),
                  0);
        ASSERT_EQ(attribute_calls.size(), 1u);
        EXPECT_EQ(attribute_calls[0].attribute, 20u);
        EXPECT_EQ(attribute_calls[0].value, TRUE);
    }
    CoUninitialize();
}

namespace {

struct awareness_request {
    DPI_AWARENESS_CONTEXT context;
    bool window_existed;
};
std::vector<awareness_request> awareness_requests;

BOOL WINAPI record_awareness(DPI_AWARENESS_CONTEXT context) {
    awareness_requests.push_back({context, FindWindowW(L"webhost", nullptr) != nullptr});
    return TRUE;
}

}  // namespace

TEST(ProcessDpi, AnEngineWithItsOwnWindowAsksForPerMonitorAwarenessBeforeMakingIt) {
    using get_version_fn = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto get_version = reinterpret_cast<get_version_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    ASSERT_NE(get_version, nullptr);
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_EQ(get_version(&version), 0);
    // Before Windows 10 1703 (Wine reports 6.1 unless told otherwise) only the first form exists.
    const bool second_form = version.dwMajorVersion > 10 ||
                             (version.dwMajorVersion == 10 && (version.dwMinorVersion > 0 || version.dwBuildNumber >= 15063));

    webhost_test::standin_runtime runtime;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    awareness_requests.clear();
    {
        code_detour detour(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext",
                           reinterpret_cast<const void*>(&record_awareness));
        ASSERT_TRUE(detour.active());
        win32_edge_engine engine(false, nullptr);
    }
    CoUninitialize();
    ASSERT_EQ(awareness_requests.size(), 1u);
    EXPECT_TRUE(AreDpiAwarenessContextsEqual(awareness_requests[0].context,
                                             second_form ? DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
                                                         : DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE));
    EXPECT_FALSE(awareness_requests[0].window_existed);
}

TEST(RuntimeRegistry, APerUserRuntimeIsFoundAfterTheMachineWideLookup) {
    webhost_test::remove_every_runtime();
    EXPECT_FALSE(locate_installed_runtime().found);
    // Stored with extra NULs, as some writers do.
    const std::wstring folder(L"C:\\Edge\\Application\\121.0.1300.4\0\0", 34);
    webhost_test::register_runtime_folder(HKEY_CURRENT_USER, folder);
    EXPECT_FALSE(locate_runtime_client(1150, true, webview2_client_id).found);
    const runtime_client client = locate_installed_runtime();
    EXPECT_TRUE(client.found);
    EXPECT_EQ(client.version, L"121.0.1300.4");
    EXPECT_EQ(client.dll_path, L"C:\\Edge\\Application\\121.0.1300.4\\EBWebView\\x64\\EmbeddedBrowserWebView.dll");
    EXPECT_TRUE(runtime_available(nullptr));
    EXPECT_FALSE(locate_runtime_client(1400, false, webview2_client_id).found);
    webhost_test::remove_every_runtime();
    EXPECT_FALSE(runtime_available(nullptr));
}

namespace {

// The machine-wide registration for one test, in the 32-bit view only (where the updater keeps
// it on 64-bit Windows); the updater's tree goes again afterwards when the test made it.
class machine_wide_runtime {
public:
    machine_wide_runtime() {
        HKEY probe = nullptr;
        had_tree_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\EdgeUpdate", 0,
                                  KEY_READ | KEY_WOW64_32KEY, &probe) == ERROR_SUCCESS;
        if (probe != nullptr) RegCloseKey(probe);
        remove();
    }
    ~machine_wide_runtime() {
        remove();
        if (had_tree_) return;
        HKEY microsoft = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft", 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                          &microsoft) == ERROR_SUCCESS) {
            RegDeleteTreeW(microsoft, L"EdgeUpdate");
            RegCloseKey(microsoft);
        }
    }
    machine_wide_runtime(const machine_wide_runtime&) = delete;
    machine_wide_runtime& operator=(const machine_wide_runtime&) = delete;

    bool register_folder(const std::wstring& folder) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, webhost_test::runtime_state_key().c_str(), 0, nullptr, 0,
                            KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
            return false;
        }
        const LSTATUS status = RegSetValueExW(key, L"EBWebView", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                                              static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        return status == ERROR_SUCCESS;
    }
    static bool in_view(REGSAM view) {
        HKEY key = nullptr;
        const bool found = RegOpenKeyExW(HKEY_LOCAL_MACHINE, webhost_test::runtime_state_key().c_str(), 0,
                                         KEY_READ | view, &key) == ERROR_SUCCESS;
        if (key != nullptr) RegCloseKey(key);
        return found;
    }

private:
    static void remove() {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, webhost_test::runtime_state_key().c_str(), KEY_WOW64_32KEY, 0);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, webhost_test::runtime_state_key().c_str(), KEY_WOW64_64KEY, 0);
    }
    bool had_tree_ = false;
};

}  // namespace

TEST(RuntimeRegistry, AMachineWideRuntimeInThe32BitViewIsFoundBeforeThePerUserOne) {
    webhost_test::remove_every_runtime();
    machine_wide_runtime machine;
    ASSERT_TRUE(machine.register_folder(L"C:\\Program Files (x86)\\Microsoft\\EdgeWebView\\Application\\122.0.2365.52"))
        << "the machine-wide registry cannot be written here";
    // Only the 32-bit view holds it: a lookup in the 64-bit view finds nothing.
    ASSERT_TRUE(machine_wide_runtime::in_view(KEY_WOW64_32KEY));
    ASSERT_FALSE(machine_wide_runtime::in_view(KEY_WOW64_64KEY));

    const runtime_client machine_wide = locate_runtime_client(1150, true, webview2_client_id);
    EXPECT_TRUE(machine_wide.found);
    EXPECT_EQ(machine_wide.version, L"122.0.2365.52");
    EXPECT_TRUE(runtime_available(nullptr));

    webhost_test::register_runtime_folder(HKEY_CURRENT_USER, L"C:\\Users\\u\\Edge\\121.0.1300.4");
    EXPECT_EQ(locate_installed_runtime().version, L"122.0.2365.52");
    webhost_test::remove_every_runtime();
}

// At a higher DPI (read by Wine at process start, so this runs in a child process).
TEST(HighDpi, SizesScaleWithTheWindowsDpi) {
    const char* expected = std::getenv("VANTREL_CHILD_DPI");
    if (expected == nullptr) {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                        &key, nullptr);
        DWORD old = 0, size = sizeof old;
        const bool had = RegQueryValueExW(key, L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&old), &size) ==
                         ERROR_SUCCESS;
        const DWORD high = 144;
        RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&high), sizeof high);

        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=HighDpi.*";
        SetEnvironmentVariableW(L"VANTREL_CHILD_DPI", L"144");
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                            &startup, &process);
        SetEnvironmentVariableW(L"VANTREL_CHILD_DPI", nullptr);
        DWORD code = 1;
        if (started) {
            WaitForSingleObject(process.hProcess, INFINITE);
            GetExitCodeProcess(process.hProcess, &code);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        if (had) RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old), sizeof old);
        else RegDeleteValueW(key, L"LogPixels");
        RegCloseKey(key);
        ASSERT_TRUE(started);
        EXPECT_EQ(code, 0u);
        return;
    }

    webhost_test::standin_runtime runtime;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        win32_edge_engine engine(false, nullptr);
        const HWND window = engine.window().value();
        ASSERT_EQ(dpi_of_window(window), 144);
        RECT client{};
        GetClientRect(window, &client);
        EXPECT_EQ(client.right, 960);
        EXPECT_EQ(client.bottom, 720);
        std::ignore = engine.set_size(880, 580, size_hint::fixed);
        GetClientRect(window, &client);
        EXPECT_EQ(client.right, 1320);
        EXPECT_EQ(client.bottom, 870);
        EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
        std::ignore = engine.set_size(300, 200, size_hint::min);
        GetClientRect(window, &client);
        EXPECT_EQ(client.right, 1320);
        EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX), WS_THICKFRAME | WS_MAXIMIZEBOX);
        // A size whose scaling does not fit is refused before the style or the size changes.
        EXPECT_EQ(engine.set_size(0x7fffffff, 10, size_hint::fixed).error().code, error_code::invalid_argument);
        EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX), WS_THICKFRAME | WS_MAXIMIZEBOX);
        GetClientRect(window, &client);
        EXPECT_EQ(client.right, 1320);
        EXPECT_EQ(client.bottom, 870);
    }
    CoUninitialize();
}
