#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "CClientExc.h"
#include "DupString.h"
#include "FaultPlatform.h"
#include "MakeDirPath.h"
#include "OS_CExc.h"
#include "Platform.h"
#include "SmartPtr.h"
#include "TestSandbox.h"

TEST(CClientExc, NullOrEmptyDescriptionGetsDefaultText)
{
    CClientExc a(nullptr, 1234, __FILE__, __LINE__);
    CClientExc b("", 1234, __FILE__, __LINE__);
    EXPECT_STREQ(a.GetDescription(), "no specific error details");
    EXPECT_STREQ(b.GetDescription(), "no specific error details");
}

TEST(CClientExc, CopiesOwnTheirTextAndDisplayWithId)
{
    auto* original = new CClientExc("RepositoryDir is not valid.", 1234, "f.cpp", 7);
    CClientExc copy(*original);
    CClientExc* clone = original->Clone();
    original->SetDescription("changed");
    delete original;
    EXPECT_EQ(copy.GetDisplayText(), "[ID: 1234] RepositoryDir is not valid.");
    EXPECT_STREQ(clone->GetDescription(), "RepositoryDir is not valid.");
    EXPECT_EQ(clone->GetLine(), 7);
    EXPECT_STREQ(clone->GetFile(), "f.cpp");
    delete clone;
}

TEST(OS_CExc, FormatNamesCodesAndCutsAt511)
{
    EXPECT_EQ(OS_CExc("x", "f", 7, DB_EXC_INTERNAL_ERROR).Format(),
              "OS_CExc(DB_EXC_INTERNAL_ERROR): 'x' in 'f'(7).");
    EXPECT_EQ(OS_CExc("d", "f", 1, 13).Format(), "OS_CExc(UNKNOWN): 'd' in 'f'(1).");
    EXPECT_EQ(OS_CExc("d", "f", 1, 19).Format(), "OS_CExc(UNKNOWN): 'd' in 'f'(1).");
    EXPECT_EQ(OS_CExc("d", "f", 1, 14).Format(), "OS_CExc(DB_EXC_DUPLICATE_SUBSCRIBER): 'd' in 'f'(1).");
    EXPECT_EQ(OS_CExc("d", "f", 1, 18).Format(), "OS_CExc(DB_EXC_RTN_ERR_UP): 'd' in 'f'(1).");
    EXPECT_EQ(OS_CExc(std::string(2000, 'a'), "f", 1, 0).Format().size(), 511u);
}

namespace {
struct Counted {
    explicit Counted(std::atomic<int>& d) : deaths(d) {}
    virtual ~Counted() { ++deaths; }
    std::atomic<int>& deaths;
};
} // namespace

TEST(SmartPtr, LastOfThreeCopiesDeletesOnce)
{
    std::atomic<int> deaths{0};
    {
        SmartPtr<Counted> a(new Counted(deaths));
        SmartPtr<Counted> b(a);
        SmartPtr<Counted> c;
        c = b;
        EXPECT_EQ(a.UseCount(), 3u);
        a.Release();
        b.Release();
        EXPECT_EQ(deaths, 0);
        EXPECT_FALSE(c.IsNull());
    }
    EXPECT_EQ(deaths, 1);
}

TEST(SmartPtr, AssigningRawPointerReleasesOldObject)
{
    std::atomic<int> deaths{0};
    SmartPtr<Counted> a(new Counted(deaths));
    SmartPtr<Counted> keep(a);
    a = new Counted(deaths);
    EXPECT_EQ(deaths, 0); // still held by keep
    EXPECT_EQ(a.UseCount(), 1u);
    keep.Release();
    EXPECT_EQ(deaths, 1);
    a = static_cast<Counted*>(nullptr);
    EXPECT_EQ(deaths, 2);
    EXPECT_TRUE(a.IsNull());
}

TEST(SmartPtr, CopiesReleasedOnManyThreadsDeleteOnce)
{
    std::atomic<int> deaths{0};
    std::vector<std::thread> threads;
    {
        SmartPtr<Counted> shared(new Counted(deaths));
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([copy = shared]() mutable {
                for (int i = 0; i < 1000; ++i) {
                    SmartPtr<Counted> local(copy);
                    local.Release();
                }
            });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(deaths, 1);
}

TEST(DupString, CopiesEmptyAndNull)
{
    EXPECT_EQ(DupString(nullptr), nullptr);
    char* empty = DupString("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    delete[] empty;
    const char* text = "Server ID: 0001A2B3";
    char* copy = DupString(text);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, text);
    delete[] copy;
}

class MakeDirPathTest : public SandboxTest {};

TEST_F(MakeDirPathTest, CreatesEachMissingLevelAndCollapsesDoubledSeparators)
{
    hl::FaultPlatform watch;
    hl::ScopedPlatform use(watch);
    MakeDirPath(Sandbox() + "/a//b/");
    EXPECT_TRUE(hl::Os().DirectoryExists(SandboxPath("a")));
    EXPECT_TRUE(hl::Os().DirectoryExists(SandboxPath("a/b")));
    EXPECT_EQ(watch.Calls(hl::kOpMkdir), 2u); // a, then a/b; never "" or a doubled name
}

TEST_F(MakeDirPathTest, ExistingPathCreatesNothing)
{
    hl::FaultPlatform watch;
    hl::ScopedPlatform use(watch);
    EXPECT_NO_THROW(MakeDirPath(Sandbox()));
    EXPECT_EQ(watch.Calls(hl::kOpMkdir), 0u);
}

TEST_F(MakeDirPathTest, RelativePathAndEmptyPath)
{
    // Relative paths start at the working directory; "" has an empty first component.
    EXPECT_THROW(MakeDirPath(""), CClientExc);
}

TEST_F(MakeDirPathTest, FailedCreationThrowsWithThePrefixReached)
{
    WriteFile(SandboxPath("file"), "x"); // a file where a directory must go
    try {
        MakeDirPath(SandboxPath("file/sub/deeper"));
        FAIL() << "no exception";
    } catch (const CClientExc& e) {
        EXPECT_EQ(e.GetId(), 1234);
        EXPECT_EQ(e.GetLine(), 1821);
        EXPECT_EQ(std::string(e.GetDescription()),
                  "MakeDirPath(const char*): An error occurred while creating the directory:\n" +
                      SandboxPath("file/sub"));
    }
}

TEST_F(MakeDirPathTest, InjectedMkdirFailureThrowsAndStopsThere)
{
    hl::FaultPlatform fault;
    fault.FailNth(2, hl::kErrAccessDenied, hl::kOpMkdir);
    hl::ScopedPlatform use(fault);
    EXPECT_THROW(MakeDirPath(SandboxPath("x/y/z")), CClientExc);
    EXPECT_TRUE(hl::Os().DirectoryExists(SandboxPath("x")));
    EXPECT_FALSE(hl::Os().PathExists(SandboxPath("x/y")));
    EXPECT_EQ(fault.Calls(hl::kOpMkdir), 2u);
}
