#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "Platform.h"
#include "TestSandbox.h"

using namespace hl;

class PlatformFileTest : public SandboxTest {};

TEST_F(PlatformFileTest, OpenModes)
{
    Platform& os = Os();
    const std::string f = SandboxPath("f");
    EXPECT_EQ(os.OpenFile(f, OpenMode::Read), -1);
    EXPECT_EQ(Platform::LastError(), kErrFileNotFound);
    EXPECT_EQ(os.OpenFile(SandboxPath("no/f"), OpenMode::Create), -1);
    EXPECT_EQ(Platform::LastError(), kErrPathNotFound);

    int fd = os.OpenFile(f, OpenMode::CreateExclusive);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(os.Write(fd, "hello", 5));
    os.Close(fd);
    EXPECT_EQ(os.OpenFile(f, OpenMode::CreateExclusive), -1);
    EXPECT_EQ(Platform::LastError(), kErrAlreadyExists);

    fd = os.OpenFile(f, OpenMode::Create); // keeps contents
    EXPECT_EQ(os.FileSizeOf(fd), 5);
    os.Close(fd);
    fd = os.OpenFile(f, OpenMode::Append);
    ASSERT_TRUE(os.Write(fd, "!", 1));
    os.Close(fd);
    EXPECT_EQ(ReadFile(f), "hello!");
    fd = os.OpenFile(f, OpenMode::Truncate);
    EXPECT_EQ(os.FileSizeOf(fd), 0);
    os.Close(fd);
}

TEST_F(PlatformFileTest, SymbolicLinksAreToldWithoutFollowingThem)
{
    Platform& os = Os();
    ASSERT_TRUE(os.CreateDirectory(SandboxPath("dir")));
    WriteFile(SandboxPath("file"), "x");
    std::filesystem::create_directory_symlink(SandboxPath("dir"), SandboxPath("to-dir"));
    std::filesystem::create_symlink(SandboxPath("gone"), SandboxPath("dangling"));
    const std::pair<const char*, bool> cases[] = {
        {"dir", false}, {"file", false}, {"to-dir", true}, {"dangling", true}};
    for (const auto& [name, expected] : cases) {
        bool isLink = !expected;
        ASSERT_TRUE(os.QuerySymbolicLink(SandboxPath(name), isLink)) << name;
        EXPECT_EQ(isLink, expected) << name;
    }
    bool untouched = true;
    EXPECT_FALSE(os.QuerySymbolicLink(SandboxPath("missing"), untouched));
    EXPECT_EQ(Platform::LastError(), kErrFileNotFound);
    EXPECT_TRUE(untouched);
}

TEST_F(PlatformFileTest, ReadWriteSeekPositionalAndTruncate)
{
    Platform& os = Os();
    int fd = os.OpenFile(SandboxPath("g"), OpenMode::Truncate);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(os.Write(fd, "0123456789", 10));
    EXPECT_EQ(os.Seek(fd, 2, SeekFrom::Begin), 2);
    char buf[16] = {};
    EXPECT_EQ(os.Read(fd, buf, 3), 3);
    EXPECT_STREQ(buf, "234");
    EXPECT_EQ(os.Seek(fd, 0, SeekFrom::Current), 5);
    EXPECT_EQ(os.Seek(fd, -1, SeekFrom::End), 9);
    ASSERT_TRUE(os.WriteAt(fd, "AB", 2, 20)); // leaves a hole
    EXPECT_EQ(os.FileSizeOf(fd), 22);
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(os.ReadAt(fd, buf, 4, 19), 3); // short only at end of file
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'A');
    EXPECT_EQ(buf[2], 'B');
    ASSERT_TRUE(os.Truncate(fd, 4));
    EXPECT_EQ(os.FileSize(SandboxPath("g")), 4);
    EXPECT_TRUE(os.StartWriteback(fd, 0, 4));
    EXPECT_TRUE(os.Sync(fd));
    EXPECT_TRUE(os.Close(fd));
    EXPECT_FALSE(os.Write(fd, "x", 1)); // closed descriptor
    EXPECT_FALSE(os.StartWriteback(fd, 0, 4));
    EXPECT_EQ(os.FileSize(SandboxPath("missing")), -1);
}

TEST_F(PlatformFileTest, MoveReplacesTheTarget)
{
    Platform& os = Os();
    WriteFile(SandboxPath("a"), "new");
    WriteFile(SandboxPath("b"), "old");
    ASSERT_TRUE(os.MoveFile(SandboxPath("a"), SandboxPath("b")));
    EXPECT_EQ(ReadFile(SandboxPath("b")), "new");
    EXPECT_FALSE(os.FileExists(SandboxPath("a")));
    EXPECT_FALSE(os.MoveFile(SandboxPath("a"), SandboxPath("c")));
    EXPECT_EQ(Platform::LastError(), kErrFileNotFound);
    EXPECT_TRUE(os.SyncDirectory(Sandbox()));
}

TEST_F(PlatformFileTest, MoveAcrossFileSystemsCopiesThenUnlinks)
{
    // /dev/shm is a tmpfs on Linux; the sandbox is normally elsewhere.
    Platform& os = Os();
    std::string other = os.MakeTempDirectory("/dev/shm", "hl-test-");
    if (other.empty())
        GTEST_SKIP() << "no /dev/shm";
    WriteFile(SandboxPath("src"), std::string(300000, 'q'));
    const bool ok = os.MoveFile(SandboxPath("src"), other + "/dst");
    EXPECT_TRUE(ok);
    EXPECT_EQ(ReadFile(other + "/dst"), std::string(300000, 'q'));
    EXPECT_FALSE(os.PathExists(SandboxPath("src")));
    os.DeleteFile(other + "/dst");
    os.RemoveDirectory(other);
}

TEST_F(PlatformFileTest, CopyReportsProgressCancelsAndRespectsFailIfExists)
{
    Platform& os = Os();
    const std::string data(3 * 1024 * 1024 + 17, 'z');
    WriteFile(SandboxPath("src"), data);
    std::vector<std::uint64_t> seen;
    ASSERT_TRUE(os.CopyFile(SandboxPath("src"), SandboxPath("dst"), true,
                            [&](std::uint64_t copied, std::uint64_t total) {
                                EXPECT_EQ(total, data.size());
                                seen.push_back(copied);
                                return true;
                            }));
    EXPECT_EQ(ReadFile(SandboxPath("dst")), data);
    ASSERT_GE(seen.size(), 2u); // chunked
    EXPECT_EQ(seen.back(), data.size());

    EXPECT_FALSE(os.CopyFile(SandboxPath("src"), SandboxPath("dst"), true, CopyProgress()));
    EXPECT_EQ(Platform::LastError(), kErrAlreadyExists);
    EXPECT_EQ(ReadFile(SandboxPath("dst")), data);

    int calls = 0;
    EXPECT_FALSE(os.CopyFile(SandboxPath("src"), SandboxPath("cancelled"), false,
                             [&](std::uint64_t, std::uint64_t) { return ++calls < 2; }));
    EXPECT_EQ(Platform::LastError(), kErrCancelled);
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(os.PathExists(SandboxPath("cancelled"))); // no partial copy left

    EXPECT_FALSE(os.CopyFile(SandboxPath("none"), SandboxPath("x"), false, CopyProgress()));
    EXPECT_EQ(Platform::LastError(), kErrFileNotFound);
}

TEST_F(PlatformFileTest, FreeSpaceTempNamesAndAttributes)
{
    Platform& os = Os();
    std::uint64_t free = 0;
    ASSERT_TRUE(os.FreeSpace(Sandbox(), free));
    EXPECT_GT(free, 0u);
    EXPECT_FALSE(os.FreeSpace(SandboxPath("missing/dir"), free));

    std::string t1 = os.TempFileName(Sandbox(), "VKT");
    std::string t2 = os.TempFileName(Sandbox(), "VKT");
    ASSERT_FALSE(t1.empty());
    EXPECT_NE(t1, t2);
    EXPECT_EQ(t1.rfind(Sandbox() + "/VKT", 0), 0u);
    EXPECT_TRUE(os.FileExists(t1));
    EXPECT_EQ(os.TempFileName(SandboxPath("missing"), "VKT"), "");

    WriteFile(SandboxPath("ro"), "x");
    ASSERT_TRUE(os.SetReadOnly(SandboxPath("ro"), true));
    EXPECT_TRUE(os.SetReadOnly(SandboxPath("ro"), false));
    int fd = os.OpenFile(SandboxPath("ro"), OpenMode::ReadWrite);
    EXPECT_GE(fd, 0);
    os.Close(fd);
}

TEST(PlatformErrors, NumbersTheProgramTestsAndTheirTexts)
{
    EXPECT_EQ(Platform::MapErrno(ENOSPC), kErrDiskFull);
    EXPECT_EQ(Platform::MapErrno(EDQUOT), kErrDiskFull);
    EXPECT_EQ(Platform::MapErrno(ENOTEMPTY), kErrDirNotEmpty);
    EXPECT_EQ(Platform::MapErrno(EACCES), kErrAccessDenied);
    EXPECT_EQ(Platform::MapErrno(EPERM), kErrAccessDenied);
    EXPECT_EQ(Platform::MapErrno(ENOENT), kErrFileNotFound);
    EXPECT_EQ(Platform::MapErrno(ENOENT, "/definitely/not/here/f"), kErrPathNotFound);
    EXPECT_EQ(Platform::MapErrno(EMFILE), EMFILE); // passed through
    EXPECT_EQ(Os().ErrorText(kErrDiskFull), std::string(std::strerror(ENOSPC)));
    EXPECT_EQ(Os().ErrorText(kErrAccessDenied), std::string(std::strerror(EACCES)));
    EXPECT_EQ(Os().ErrorText(EMFILE), std::string(std::strerror(EMFILE)));
}

TEST(PlatformSystem, NamesClocksAndFolders)
{
    Platform& os = Os();
    std::string name = os.ComputerName();
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 15u);
    EXPECT_GT(os.ThreadId(), 0u);
    std::uint64_t other = 0;
    std::thread([&] { other = Os().ThreadId(); }).join();
    EXPECT_NE(other, os.ThreadId());
    std::uint64_t a = os.MonotonicMs();
    os.Sleep(2);
    EXPECT_GE(os.MonotonicMs(), a + 2);
    EXPECT_GT(os.WallClockSeconds(), 1700000000u);
    EXPECT_EQ(JoinPath("a/", "/b"), "a/b");
    EXPECT_EQ(JoinPath("a", "b"), "a/b");
    EXPECT_EQ(JoinPath("", "b"), "b");
    EXPECT_FALSE(os.ExecutablePath().empty());
}

TEST(PlatformSystem, DataFolderPrefersXdgDataHome)
{
    const char* savedXdg = std::getenv("XDG_DATA_HOME");
    std::string xdg = savedXdg ? savedXdg : "";
    ::setenv("XDG_DATA_HOME", "/x/data", 1);
    EXPECT_EQ(Os().DataFolder(), "/x/data");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(Os().DataFolder(), Os().HomeDirectory() + "/.local/share");
    if (savedXdg)
        ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
}
