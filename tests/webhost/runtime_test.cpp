#include <gtest/gtest.h>

#include "runtime.h"
#include "win32_edge_engine.h"
#include "window.h"

using namespace webhost::detail;

TEST(RuntimeLocation, VersionTable) {
    const struct {
        const wchar_t* folder;
        bool found;
        const wchar_t* version;
    } cases[] = {
        {L"C:\\Edge\\120.0.2210.91", true, L"120.0.2210.91"},
        {L"C:\\Edge\\120.0.2210.91\\", false, L""},
        {L"C:\\Edge\\200.0.1000.0", false, L"200.0.1000.0"},
        {L"C:\\Edge\\1.0.1150", true, L"1.0.1150"},
        {L"C:\\Edge\\x.y.1200.z", true, L"x.y.1200.z"},
        {L"C:\\Edge\\1.2.-7.0", false, L""},
        {L"C:\\Edge\\1.2.99999999999.0", false, L""},
        {L"C:\\Edge\\1.2..0", false, L""},
        {L"C:\\Edge\\1.2. 1300.x.9999", true, L"1.2. 1300.x.9999"},
        {L"120.0.2210.91", false, L""},
        {L"C:/Edge/120.0.2210.91", false, L""},
    };
    for (const auto& c : cases) {
        const runtime_client client = runtime_client_from_folder(c.folder, 1150);
        EXPECT_EQ(client.found, c.found) << testing::PrintToString(std::wstring(c.folder));
        if (c.found) {
            EXPECT_EQ(client.version, c.version);
        }
        EXPECT_EQ(client.runtime_type, 0);
    }
}

TEST(RuntimeLocation, ClientLibraryPathAndTrailingNuls) {
    const std::wstring stored(L"C:\\Edge\\120.0.2210.91\0\0", 23);
    const runtime_client client = runtime_client_from_folder(stored, 1150);
    ASSERT_TRUE(client.found);
    EXPECT_EQ(client.dll_path, L"C:\\Edge\\120.0.2210.91\\EBWebView\\x64\\EmbeddedBrowserWebView.dll");
    EXPECT_EQ(client.version, L"120.0.2210.91");
    // The number ends at the slash; a folder that ends in one gets no backslash after it.
    EXPECT_EQ(runtime_client_from_folder(L"C:\\a/b\\1.0.1200/", 1150).dll_path,
              L"C:\\a/b\\1.0.1200/EBWebView\\x64\\EmbeddedBrowserWebView.dll");
    EXPECT_EQ(runtime_client_from_folder(L"C:\\a\\b/\\1.0.1200", 1150).dll_path,
              L"C:\\a\\b/\\1.0.1200\\EBWebView\\x64\\EmbeddedBrowserWebView.dll");
}

TEST(RuntimeLocation, VersionParts) {
    EXPECT_EQ(parse_runtime_version(L"1.2.3.4.5"), (std::array<std::uint32_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(parse_runtime_version(L"7."), (std::array<std::uint32_t, 4>{7, 0, 0, 0}));
    EXPECT_EQ(parse_runtime_version(L"+5.2147483647.2147483648"), (std::array<std::uint32_t, 4>{5, 2147483647, 0, 0}));
    EXPECT_EQ(parse_runtime_version(L""), (std::array<std::uint32_t, 4>{}));
}

TEST(WindowMaths, ScalingTruncatesAndRefusesOverflow) {
    EXPECT_EQ(scale_size(880, 580, 144, 96), (size_2d{1320, 870}));
    EXPECT_EQ(scale_size(881, 581, 120, 96), (size_2d{1101, 726}));
    EXPECT_EQ(scale_size(-7, 7, 1, 2), (size_2d{-3, 3}));
    EXPECT_FALSE(scale_size(0x7fffffff, 1, 144, 96).has_value());
    EXPECT_FALSE(scale_size(10, 10, 96, 0).has_value());
}

TEST(WindowMaths, LimitsApplyOnlyWhenBothNumbersArePositive) {
    MINMAXINFO info{};
    info.ptMinTrackSize = {11, 12};
    info.ptMaxSize = {13, 14};
    apply_size_limits(info, {0, 200}, {1000, -1});
    EXPECT_EQ(info.ptMinTrackSize.x, 11);
    EXPECT_EQ(info.ptMaxSize.x, 13);
    apply_size_limits(info, {300, 200}, {1000, 800});
    EXPECT_EQ(info.ptMinTrackSize.x, 300);
    EXPECT_EQ(info.ptMinTrackSize.y, 200);
    EXPECT_EQ(info.ptMaxSize.x, 1000);
    EXPECT_EQ(info.ptMaxTrackSize.y, 800);
}

TEST(UserDataFolder, IsTheProgramsNameInsideAppDataAndNeverFallsBack) {
    EXPECT_EQ(user_data_folder_for(L"C:\\Users\\u\\AppData\\Roaming", L"C:\\Downloads\\setup.exe"),
              std::optional<std::wstring>(L"C:\\Users\\u\\AppData\\Roaming\\setup.exe"));
    const std::wstring long_app_data = L"C:\\" + std::wstring(250, L'a');
    EXPECT_EQ(user_data_folder_for(long_app_data, L"C:\\Downloads\\VantrelSetup.exe"), std::nullopt);
    EXPECT_EQ(user_data_folder_for(L"", L"C:\\Downloads\\setup.exe"), std::nullopt);
    EXPECT_EQ(user_data_folder_for(L"C:\\AppData", L""), std::nullopt);
}
