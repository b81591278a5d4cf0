#include "Platform.h"

#include <gtest/gtest.h>

#include "TestSandbox.h"

using namespace hl;

class PlatformTest : public SandboxTest {};

TEST_F(PlatformTest, DirectoryLifecycleAndErrorNumbers)
{
    Platform& os = Os();
    const std::string dir = SandboxPath("d");
    EXPECT_FALSE(os.DirectoryExists(dir));
    ASSERT_TRUE(os.CreateDirectory(dir));
    EXPECT_TRUE(os.DirectoryExists(dir));
    EXPECT_FALSE(os.CreateDirectory(dir));
    EXPECT_EQ(Platform::LastError(), kErrAlreadyExists);

    WriteFile(dir + "/f", "x");
    EXPECT_FALSE(os.RemoveDirectory(dir));
    EXPECT_EQ(Platform::LastError(), kErrDirNotEmpty);

    std::vector<std::string> names;
    ASSERT_TRUE(os.ListDirectory(dir, names));
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], "f");

    ASSERT_TRUE(os.DeleteFile(dir + "/f"));
    EXPECT_FALSE(os.DeleteFile(dir + "/f"));
    EXPECT_EQ(Platform::LastError(), kErrFileNotFound);
    EXPECT_FALSE(os.DeleteFile(dir + "/missing/f"));
    EXPECT_EQ(Platform::LastError(), kErrPathNotFound);
    EXPECT_TRUE(os.RemoveDirectory(dir));
    EXPECT_FALSE(os.PathExists(dir));
}
