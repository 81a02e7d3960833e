#include <gtest/gtest.h>

#include <windows.h>

#include "registry.h"
#include "sandbox.h"

using testing_support::sandbox_scope;

namespace {

const std::wstring test_key = L"Software\\VantrelTests\\Registry";

// Reads a value straight from the hive, bypassing the code under test.
bool raw_read(const std::wstring& path, const std::wstring& name, DWORD& type, std::vector<BYTE>& data) {
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name.c_str(), RRF_RT_ANY, &type, nullptr, &size) !=
        ERROR_SUCCESS)
        return false;
    data.resize(size);
    return RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name.c_str(), RRF_RT_ANY, &type, data.data(), &size) ==
           ERROR_SUCCESS;
}

using testing_support::user_key_exists;

struct RegistryTest : ::testing::Test {
    void TearDown() override { testing_support::delete_user_tree(L"Software\\VantrelTests"); }
};

}  // namespace

TEST_F(RegistryTest, WritesWithoutSandboxLandInTheRealKeyWithExactSizes) {
    ASSERT_TRUE(reg_set_string(test_key, L"Text", L"abc"));
    ASSERT_TRUE(reg_set_dword(test_key, L"Number", 0xdeadbeef));
    ASSERT_TRUE(reg_set_string(test_key, L"", L"default"));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(raw_read(test_key, L"Text", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data.size(), 8u);  // three characters and the terminator, two bytes each
    ASSERT_TRUE(raw_read(test_key, L"Number", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(*reinterpret_cast<DWORD*>(data.data()), 0xdeadbeefu);
    EXPECT_EQ(reg_read_string(HKEY_CURRENT_USER, test_key, L"Text"), L"abc");
    EXPECT_EQ(reg_read_string(HKEY_CURRENT_USER, test_key, L""), L"default");
    EXPECT_EQ(reg_read_string(HKEY_CURRENT_USER, test_key, L"Number"), L"");  // not a string
    EXPECT_EQ(reg_read_string(HKEY_CURRENT_USER, test_key, L"Missing"), L"");
    EXPECT_EQ(reg_read_string(HKEY_CURRENT_USER, test_key + L"\\Nope", L"Text"), L"");
}

TEST_F(RegistryTest, SandboxPutsEveryPerUserKeyUnderTheSandboxKey) {
    sandbox_scope sandbox;
    ASSERT_TRUE(reg_set_string(test_key, L"Text", L"inside"));
    ASSERT_TRUE(reg_set_dword(test_key, L"Number", 7));
    EXPECT_FALSE(user_key_exists(test_key));
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_TRUE(raw_read(L"Software\\Vantrel\\SetupSandbox\\" + test_key, L"Text", type, data));
    EXPECT_EQ(reg_read_string(HKEY_CURRENT_USER, test_key, L"Text"), L"inside");

    EXPECT_TRUE(reg_delete_key(test_key));
    EXPECT_FALSE(user_key_exists(L"Software\\Vantrel\\SetupSandbox\\" + test_key));
    // Only the named key goes.
    EXPECT_TRUE(user_key_exists(L"Software\\Vantrel\\SetupSandbox\\Software\\VantrelTests"));
    EXPECT_TRUE(user_key_exists(L"Software\\Vantrel\\SetupSandbox"));
}

TEST_F(RegistryTest, SandboxedReadOfTheMachineHiveIsNeverPrefixed) {
    const std::wstring key = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
    const std::wstring real = reg_read_string(HKEY_LOCAL_MACHINE, key, L"CurrentVersion");
    ASSERT_FALSE(real.empty());
    sandbox_scope sandbox;
    EXPECT_EQ(reg_read_string(HKEY_LOCAL_MACHINE, key, L"CurrentVersion"), real);
    // The same path under the user's hive is looked for under the sandbox key only.
    ASSERT_TRUE(reg_set_string(test_key, L"Text", L"x"));
    sandbox_root.clear();
    ASSERT_TRUE(reg_set_string(test_key, L"Text", L"real"));
    sandbox_root = sandbox.path();
    EXPECT_EQ(reg_read_string(HKEY_CURRENT_USER, test_key, L"Text"), L"x");
}

TEST_F(RegistryTest, ReadLimitIs2048BytesWithTheTerminator) {
    const std::wstring fits(1023, L'w');
    const std::wstring over(1024, L'w');
    ASSERT_TRUE(reg_set_string(test_key, L"Fits", fits));
    ASSERT_TRUE(reg_set_string(test_key, L"Over", over));
    EXPECT_EQ(reg_read_string(HKEY_CURRENT_USER, test_key, L"Fits"), fits);
    EXPECT_EQ(reg_read_string(HKEY_CURRENT_USER, test_key, L"Over"), L"");
}

TEST_F(RegistryTest, DeletingAKeyThatIsNotThereSucceeds) {
    EXPECT_TRUE(reg_delete_key(L"Software\\VantrelTests\\NeverThere"));
    ASSERT_TRUE(reg_set_string(test_key, L"A", L"1"));
    ASSERT_TRUE(reg_set_string(test_key + L"\\Child", L"B", L"2"));
    EXPECT_TRUE(reg_delete_key(test_key));
    EXPECT_FALSE(user_key_exists(test_key));
    EXPECT_TRUE(user_key_exists(L"Software\\VantrelTests"));
    EXPECT_TRUE(reg_delete_key(test_key));
}
