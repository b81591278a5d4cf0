#include "CAppSettings.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "TestSandbox.h"

namespace {

TEST_F(SandboxTest, SettingsMissingFileGivesDefaultsAndWritesThem)
{
    const std::string path = CAppSettings::PathIn(Sandbox());
    EXPECT_EQ(path, Sandbox() + "/Harborlock.cfg");
    std::string port, folder;
    EXPECT_FALSE(CAppSettings::Load(path, port, folder));
    EXPECT_EQ(port, "5001");
    EXPECT_EQ(folder, std::string(std::getenv("HOME")) + "/HarborlockBackups");
    // Written in the parameter-file form: names in byte order, CR LF.
    EXPECT_EQ(ReadFile(path), "BackupDataBasePath: " + folder + "\r\nIPPort: 5001\r\n");
}

TEST_F(SandboxTest, SettingsMissingHeaderLoadsEmptyAndIsNotRewritten)
{
    const std::string path = CAppSettings::PathIn(Sandbox());
    WriteFile(path, "IPPort: 08080\r\n");
    std::string port, folder;
    EXPECT_TRUE(CAppSettings::Load(path, port, folder));
    EXPECT_EQ(port, "08080");
    EXPECT_EQ(folder, "");
    EXPECT_EQ(ReadFile(path), "IPPort: 08080\r\n");
    EXPECT_EQ(CAppSettings::PortValue(port), 8080);
}

TEST_F(SandboxTest, SettingsSaveThenLoadRoundTrips)
{
    const std::string path = CAppSettings::PathIn(Sandbox());
    ASSERT_TRUE(CAppSettings::Save(path, "6000", "/srv/harborlock backups"));
    std::string port, folder;
    EXPECT_TRUE(CAppSettings::Load(path, port, folder));
    EXPECT_EQ(port, "6000");
    EXPECT_EQ(folder, "/srv/harborlock backups");
    EXPECT_FALSE(CAppSettings::Save(SandboxPath("no/such/dir/Harborlock.cfg"), "1", "2"));
}

TEST(CAppSettingsPort, ReadsLikeAtoi)
{
    EXPECT_EQ(CAppSettings::PortValue(" 5001"), 5001);
    EXPECT_EQ(CAppSettings::PortValue("12a"), 12);
    EXPECT_EQ(CAppSettings::PortValue("abc"), 0);
    EXPECT_EQ(CAppSettings::PortValue(""), 0);
    EXPECT_EQ(CAppSettings::PortValue("99999999999999999999"), 1000000);
}

} // namespace
