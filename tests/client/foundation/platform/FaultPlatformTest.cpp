#include "FaultPlatform.h"

#include <gtest/gtest.h>

#include "TestSandbox.h"

using namespace hl;

class FaultPlatformTest : public SandboxTest {};

namespace {
// Writes `n` small files in a directory: one mkdir, then open+write+close each.
bool WriteFiles(const std::string& dir, int n)
{
    Platform& os = Os();
    if (!os.CreateDirectory(dir))
        return false;
    for (int i = 0; i < n; ++i) {
        int fd = os.OpenFile(dir + "/f" + std::to_string(i), OpenMode::Truncate);
        if (fd < 0)
            return false;
        bool ok = os.Write(fd, "data", 4);
        ok = os.Close(fd) && ok;
        if (!ok)
            return false;
    }
    return true;
}
} // namespace

TEST_F(FaultPlatformTest, FailsExactlyTheNthCallOfTheChosenClass)
{
    FaultPlatform fault;
    fault.FailNth(3, kErrDiskFull, kOpWrite);
    ScopedPlatform use(fault);
    EXPECT_FALSE(WriteFiles(SandboxPath("d"), 5));
    EXPECT_EQ(Platform::LastError(), kErrDiskFull);
    EXPECT_EQ(fault.Calls(), 3u); // writes only
    EXPECT_EQ(fault.Failures(), 1u);
    EXPECT_EQ(ReadFile(SandboxPath("d/f1")), "data");
    EXPECT_EQ(ReadFile(SandboxPath("d/f2")), ""); // the failed write never reached the disk
    // Not sticky: the next write goes through.
    int fd = Os().OpenFile(SandboxPath("d/f2"), OpenMode::Truncate);
    EXPECT_TRUE(Os().Write(fd, "x", 1));
    Os().Close(fd);
}

TEST_F(FaultPlatformTest, StickyFaultIsAFullDisk)
{
    FaultPlatform fault;
    fault.FailNth(2, kErrDiskFull, kOpWrite, true);
    ScopedPlatform use(fault);
    EXPECT_FALSE(WriteFiles(SandboxPath("d"), 5));
    int fd = Os().OpenFile(SandboxPath("d/late"), OpenMode::Truncate);
    ASSERT_GE(fd, 0); // opens are another class
    EXPECT_FALSE(Os().Write(fd, "x", 1));
    EXPECT_EQ(Platform::LastError(), kErrDiskFull);
    EXPECT_EQ(fault.Failures(), 2u);
    fault.Disarm();
    EXPECT_TRUE(Os().Write(fd, "x", 1));
    Os().Close(fd);
}

TEST_F(FaultPlatformTest, CrashInjectionLoopReachesTheEnd)
{
    // Fail call k of every file mutation in turn until the operation runs through.
    int k = 1;
    for (;; ++k) {
        FaultPlatform fault;
        fault.FailNth(static_cast<std::uint64_t>(k), kErrDiskFull, kOpFileMutations);
        const std::string dir = SandboxPath("run" + std::to_string(k));
        bool ok;
        {
            ScopedPlatform use(fault);
            ok = WriteFiles(dir, 3);
        }
        EXPECT_EQ(ok, !fault.Hit()) << k;
        if (!fault.Hit())
            break;
        ASSERT_LT(k, 100);
    }
    // mkdir + 3 x (open, write) = 7 mutations: the eighth run is the first clean one.
    EXPECT_EQ(k, 8);
}

TEST_F(FaultPlatformTest, FailedCloseStillReleasesTheDescriptor)
{
    int fd;
    {
        FaultPlatform fault;
        fault.FailNth(1, kErrDiskFull, kOpClose);
        ScopedPlatform use(fault);
        fd = Os().OpenFile(SandboxPath("c"), OpenMode::Truncate);
        ASSERT_GE(fd, 0);
        EXPECT_FALSE(Os().Close(fd));
    }
    EXPECT_FALSE(Os().Write(fd, "x", 1)); // really closed
}

TEST_F(FaultPlatformTest, CountsPerClassAndInjectsStackVersionAndClock)
{
    FaultPlatform fault;
    ScopedPlatform use(fault);
    EXPECT_TRUE(WriteFiles(SandboxPath("d"), 2));
    EXPECT_EQ(fault.Calls(kOpMkdir), 1u);
    EXPECT_EQ(fault.Calls(kOpOpen), 2u);
    EXPECT_EQ(fault.Calls(kOpWrite), 2u);
    EXPECT_EQ(fault.Calls(kOpClose), 2u);
    EXPECT_EQ(fault.Failures(), 0u);

    int major = 0, minor = 0;
    fault.SetSocketStackVersion(1, 1);
    EXPECT_TRUE(Os().SocketStackVersion(major, minor));
    EXPECT_EQ(major * 10 + minor, 11);
    fault.SetWallClockMs(1245592987251);
    EXPECT_EQ(Os().WallClockSeconds(), 1245592987u);
}

TEST(ScopedPlatform, RestoresThePreviousPlatform)
{
    Platform* real = &Os();
    {
        FaultPlatform outer;
        ScopedPlatform a(outer);
        EXPECT_EQ(&Os(), &outer);
        {
            FaultPlatform inner(outer);
            ScopedPlatform b(inner);
            EXPECT_EQ(&Os(), &inner);
        }
        EXPECT_EQ(&Os(), &outer);
    }
    EXPECT_EQ(&Os(), real);
}

TEST(WaitableObjects, AutoResetManualResetAndSemaphore)
{
    Platform& os = Os();
    int autoEvent = os.CreateEvent(false, false);
    int manual = os.CreateEvent(true, true);
    int sem = os.CreateSemaphore(2);
    std::size_t index = 9;
    int both[] = {autoEvent, manual};
    EXPECT_EQ(os.WaitForObjects(both, 2, false, 0, index), WaitResult::Signalled);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(os.WaitForObjects(both, 2, false, 0, index), WaitResult::Signalled); // manual stays set
    ASSERT_TRUE(os.ResetEvent(manual));
    EXPECT_EQ(os.WaitForObjects(both, 2, false, 0, index), WaitResult::Timeout);
    EXPECT_EQ(os.WaitForObjects(&sem, 1, false, 0, index), WaitResult::Signalled);
    EXPECT_EQ(os.WaitForObjects(&sem, 1, false, 0, index), WaitResult::Signalled);
    EXPECT_EQ(os.WaitForObjects(&sem, 1, false, 0, index), WaitResult::Timeout);
    EXPECT_FALSE(os.SetEvent(sem)); // not an event
    os.Close(autoEvent);
    os.Close(manual);
    os.Close(sem);
}
