// The data root with its fixed sub-directories.

#include "CClientInfra.h"

#include "CLog.h"
#include "Platform.h"
#include "TestSandbox.h"

namespace {

class CClientInfraTest : public SandboxTest {
protected:
    void TearDown() override
    {
        CClientInfra::Release();
        SandboxTest::TearDown();
    }
};

TEST_F(CClientInfraTest, CreatesTheNineSubDirectoriesAndEmptiesTemp)
{
    const std::string root = SandboxPath("Quarnex/Harborlock");
    // Left over from an earlier run: Temp is emptied, the rest is kept.
    ASSERT_TRUE(hl::Os().CreateDirectory(SandboxPath("Quarnex")));
    ASSERT_TRUE(hl::Os().CreateDirectory(root));
    ASSERT_TRUE(hl::Os().CreateDirectory(root + "/Temp"));
    ASSERT_TRUE(hl::Os().CreateDirectory(root + "/Temp/old"));
    WriteFile(root + "/Temp/old/file", "x");
    WriteFile(root + "/Temp/top", "y");
    ASSERT_TRUE(hl::Os().CreateDirectory(root + "/Config"));
    WriteFile(root + "/Config/Harborlock.cfg", "IPPort: 5001\r\n");

    CClientInfra* infra = CClientInfra::GetInstance(root.c_str());
    const char* names[] = {"/Blobs/Calendar", "/Blobs/Contacts", "/Blobs/FAT", "/Blobs/Mail", "/Blobs/Temp",
                           "/Config",         "/Database",       "/log",       "/Temp"};
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(infra->GetSubDir(i), root + names[i]);
        EXPECT_TRUE(hl::Os().DirectoryExists(root + names[i])) << names[i];
    }
    EXPECT_EQ(infra->GetSubDir(9), "");
    EXPECT_EQ(infra->GetSubDir(-1), "");
    std::vector<std::string> left;
    ASSERT_TRUE(hl::Os().ListDirectory(root + "/Temp", left));
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(ReadFile(root + "/Config/Harborlock.cfg"), "IPPort: 5001\r\n");

    // Later calls keep the first instance and its root.
    EXPECT_EQ(CClientInfra::GetInstance(SandboxPath("elsewhere").c_str()), infra);
    EXPECT_FALSE(hl::Os().PathExists(SandboxPath("elsewhere")));
}

TEST_F(CClientInfraTest, NoRootMeansQuarnexInTheHomeFolder)
{
    const char* home = std::getenv("HOME");
    const std::string saved = home ? home : "";
    setenv("HOME", Sandbox().c_str(), 1);
    CClientInfra* infra = CClientInfra::GetInstance("");
    setenv("HOME", saved.c_str(), 1);
    EXPECT_EQ(infra->GetRoot(), Sandbox() + "/Quarnex");
    EXPECT_EQ(infra->GetSubDir(CClientInfra::SUBDIR_LOG), Sandbox() + "/Quarnex/log");
}

} // namespace
