#include "OS_CFolderLock.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "Platform.h"
#include "TestSandbox.h"

namespace {

using Result = OS_CFolderLock::Result;

TEST_F(SandboxTest, FolderLockAdmitsOneHolderAndNamesIt)
{
    const std::string folder = SandboxPath("backups");
    const std::string fallback = SandboxPath("config");
    hl::Os().CreateDirectory(fallback);

    OS_CFolderLock first;
    ASSERT_EQ(first.Acquire(folder, fallback, "Harborlock"), Result::Locked);
    EXPECT_EQ(first.LockFile(), Sandbox() + "/.backups.harborlock-lock");
    // The backup folder itself is not touched: it need not even exist yet.
    EXPECT_FALSE(hl::Os().PathExists(folder));

    // Another spelling of the same folder meets the same lock (flock is per open file, so a
    // second object in this process stands for a second program).
    OS_CFolderLock second;
    EXPECT_EQ(second.Acquire(Sandbox() + "/./x/../backups/", fallback, "harborlockd"), Result::HeldElsewhere);
    EXPECT_EQ(second.Holder(), "Harborlock (process " + std::to_string(::getpid()) + ")");
    EXPECT_FALSE(second.IsHeld());

    // A different folder is free.
    OS_CFolderLock other;
    EXPECT_EQ(other.Acquire(SandboxPath("other"), fallback, "harborlockd"), Result::Locked);

    first.Release();
    EXPECT_EQ(second.Acquire(folder, fallback, "harborlockd"), Result::Locked);
}

TEST_F(SandboxTest, FolderLockSwitchKeepsTheOldFolderUntilTheNewOneIsHeld)
{
    const std::string fallback = SandboxPath("config");
    hl::Os().CreateDirectory(fallback);
    OS_CFolderLock window, daemon;
    ASSERT_EQ(window.Acquire(SandboxPath("b"), fallback, "Harborlock"), Result::Locked);
    ASSERT_EQ(daemon.Acquire(SandboxPath("a"), fallback, "harborlockd"), Result::Locked);

    // Switching to a folder someone else serves fails and keeps the old one.
    EXPECT_EQ(daemon.Acquire(SandboxPath("b"), fallback, "harborlockd"), Result::HeldElsewhere);
    EXPECT_TRUE(daemon.IsHeld());
    OS_CFolderLock probe;
    EXPECT_EQ(probe.Acquire(SandboxPath("a"), fallback, "probe"), Result::HeldElsewhere);

    // Switching to a free folder lets the old one go.
    EXPECT_EQ(daemon.Acquire(SandboxPath("c"), fallback, "harborlockd"), Result::Locked);
    EXPECT_EQ(probe.Acquire(SandboxPath("a"), fallback, "probe"), Result::Locked);
}

TEST_F(SandboxTest, FolderLockFallsBackWhenTheParentCannotHoldTheFile)
{
    // A parent that is no directory cannot hold the lock file, whoever runs the test.
    const std::string parent = SandboxPath("plainfile");
    const std::string fallback = SandboxPath("config");
    WriteFile(parent, "x");
    hl::Os().CreateDirectory(fallback);
    OS_CFolderLock a, b, c;
    EXPECT_EQ(a.Acquire(parent + "/backups", fallback, "one"), Result::Locked);
    EXPECT_EQ(a.LockFile().rfind(fallback + "/folder", 0), 0u) << a.LockFile();
    EXPECT_EQ(b.Acquire(parent + "/backups", fallback, "two"), Result::HeldElsewhere);
    EXPECT_EQ(b.Holder().rfind("one (process ", 0), 0u);
    // Without a fallback there is nowhere to lock.
    EXPECT_EQ(c.Acquire(parent + "/backups", "", "three"), Result::Failed);
}

} // namespace
