#include <gtest/gtest.h>

#include "product.h"

TEST(ProductInfo, BuilderAssignsThisBuildsValuesOverTheDefaults) {
    const struct product_info defaults;
    EXPECT_EQ(defaults.channel, "stable");
    EXPECT_EQ(defaults.maker, "Vantrel");
    EXPECT_TRUE(defaults.kind.empty() && defaults.name.empty() && defaults.folder_name.empty());
    EXPECT_TRUE(defaults.payload_names.empty() && defaults.components.empty());

    const auto p = make_product_info();
    EXPECT_EQ(p.kind, "resolve");
    EXPECT_EQ(p.channel, "beta");
    EXPECT_EQ(p.maker, "Vantrel");
    EXPECT_EQ(p.name, "Vantrel for DaVinci Resolve (Beta)");
    EXPECT_EQ(p.version, "0.5.0");
    EXPECT_EQ(p.tagline.size(), 186u);
    EXPECT_EQ(p.folder_name, L"Vantrel for DaVinci Resolve Beta");
    EXPECT_EQ(p.uninstall_key, L"VantrelForDaVinciResolveBeta");
    EXPECT_EQ(p.companion_exe, L"VantrelCompanionBeta.exe");
    EXPECT_EQ(p.script_name, L"Vantrel Beta.py");
    EXPECT_EQ(p.settings_file, L"resolve-beta.json");
    EXPECT_EQ(p.mutex_name, L"Local\\VantrelSetupResolveBeta");
    EXPECT_EQ(p.payload_names, (std::vector<std::string>{"VantrelCompanion.exe", "Vantrel.py", "SETUP.md"}));
    EXPECT_EQ(p.blocking_processes, (std::vector<std::wstring>{L"VantrelCompanionBeta.exe"}));
}

TEST(ProductInfo, ComponentsAreTheWindowThenTheScriptBothRequiredAndOn) {
    const auto p = make_product_info();
    ASSERT_EQ(p.components.size(), 2u);
    EXPECT_EQ(p.components[0].id, "window");
    EXPECT_EQ(p.components[0].label, "Vantrel Beta window");
    EXPECT_EQ(p.components[0].detail, "The caption studio that opens from Resolve.");
    EXPECT_EQ(p.components[1].id, "script");
    EXPECT_EQ(p.components[1].label, "Resolve script");
    EXPECT_EQ(p.components[1].detail, "Adds Workspace > Scripts > Vantrel Beta to DaVinci Resolve.");
    for (const auto& c : p.components) {
        EXPECT_FALSE(c.optional);
        EXPECT_TRUE(c.on);
    }
}

TEST(EngineGlobals, StartUpState) {
    EXPECT_EQ(product_info.channel, "beta");
    EXPECT_TRUE(sandbox_root.empty());
    EXPECT_TRUE(payload_files.empty());
    EXPECT_EQ(uninstall_key_prefix.size(), 52u);
    EXPECT_EQ(uninstall_key_prefix + product_info.uninstall_key,
              L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VantrelForDaVinciResolveBeta");
}

TEST(OpResult, StartsAsAFailureWithNothingInIt) {
    const op_result r;
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error.empty());
    EXPECT_TRUE(r.notes.empty());
    EXPECT_TRUE(r.record.is_null());
}
