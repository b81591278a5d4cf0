#include "CBFMFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CClientExc.h"
#include "FaultPlatform.h"
#include "GUIComm.h"
#include "PlatformWrapper.h"
#include "TestSandbox.h"
#include "TestWindow.h"

namespace fs = std::filesystem;

namespace {

std::string Pattern(std::size_t n, unsigned seed = 1)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = char((i * 31 + seed * 7 + i / 251) & 0xFF);
    return s;
}

class CBFMFileTest : public SandboxTest {
protected:
    std::string Logical(const std::string& name = "main.dat") { return SandboxPath(name); }

    static bool WriteAll(CBFMFile& file, const std::string& data)
    {
        std::uint32_t written = 0;
        return file.Write(data.data(), std::uint32_t(data.size()), written) && written == data.size();
    }

    static std::string ReadAll(CBFMFile& file)
    {
        const std::int64_t size = file.GetSize();
        std::string data(std::size_t(size), '\0');
        std::uint32_t got = 0;
        EXPECT_TRUE(file.Read(data.data(), std::uint32_t(size), got));
        EXPECT_EQ(got, std::uint32_t(size));
        return data;
    }

    void WriteSeries(const std::string& logical, const std::vector<std::size_t>& sizes, std::int32_t max)
    {
        for (std::size_t i = 0; i < sizes.size(); ++i)
            WriteFile(CBFMFile::SubFilePath(logical, int(i)), std::string(sizes[i], 'x'));
        WriteFile(CBFMFile::ControlFilePath(logical), "MaxBytesPerSubFile: " + std::to_string(max) +
                                                          "\r\nNumSubFiles: " + std::to_string(sizes.size()) +
                                                          "\r\n");
    }

    static void ExpectOpenFails(const std::string& logical)
    {
        try {
            CBFMFile file(logical, false);
            ADD_FAILURE() << "opened " << logical;
        } catch (const CClientExc& e) {
            EXPECT_STREQ(e.GetDescription(), "Unable to open CBFMFile");
            EXPECT_EQ(e.GetId(), 1234);
        }
    }
};

TEST_F(CBFMFileTest, NamesSplitAtTheLastDotOfTheWholePath)
{
    EXPECT_EQ(CBFMFile::SubFilePath("/a/b/main.dat", 0), "/a/b/main_000.dat");
    EXPECT_EQ(CBFMFile::SubFilePath("/a/b/main.dat", 998), "/a/b/main_998.dat");
    EXPECT_EQ(CBFMFile::ControlFilePath("/a/b/main.dat"), "/a/b/main_cfg.dat");
    EXPECT_EQ(CBFMFile::SubFilePath("/a.d/backup", 7), "/a_007.d/backup");
    EXPECT_EQ(CBFMFile::SubFilePath("/a/backup", 7), "/a/backup_007");
    EXPECT_EQ(CBFMFile::ControlFilePath("/a/backup"), "/a/backup_cfg");
}

TEST_F(CBFMFileTest, CreateReplacesAnOldSeriesWithOneEmptySubFileAndAByteExactControlFile)
{
    WriteSeries(Logical(), {5, 5, 5, 5, 5, 3}, 5);
    {
        CBFMFile file(Logical(), true);
        EXPECT_EQ(file.GetSize(), 0);
        EXPECT_EQ(file.GetNumSubFiles(), 1);
    }
    EXPECT_TRUE(fs::exists(SandboxPath("main_000.dat")));
    EXPECT_EQ(fs::file_size(SandboxPath("main_000.dat")), 0u);
    for (int i = 1; i <= 5; ++i)
        EXPECT_FALSE(fs::exists(CBFMFile::SubFilePath(Logical(), i))) << i;
    EXPECT_EQ(ReadFile(SandboxPath("main_cfg.dat")), "MaxBytesPerSubFile: 2147483647\r\nNumSubFiles: 1\r\n");
    EXPECT_FALSE(fs::exists(Logical())); // the logical name never exists on disk

    CBFMFile reopened(Logical(), false);
    EXPECT_EQ(reopened.GetSize(), 0);
    EXPECT_TRUE(reopened.IsReadOnly());
}

TEST_F(CBFMFileTest, ExactlyFullSubFileGrowsOnlyWithTheNextByte)
{
    CBFMFile file(Logical(), true, 10);
    ASSERT_TRUE(WriteAll(file, Pattern(10)));
    ASSERT_TRUE(file.Flush());
    EXPECT_EQ(file.GetNumSubFiles(), 1);
    EXPECT_FALSE(fs::exists(SandboxPath("main_001.dat")));
    EXPECT_EQ(ReadFile(SandboxPath("main_cfg.dat")), "MaxBytesPerSubFile: 10\r\nNumSubFiles: 1\r\n");

    ASSERT_TRUE(WriteAll(file, "Z"));
    ASSERT_TRUE(file.Flush());
    EXPECT_EQ(file.GetNumSubFiles(), 2);
    EXPECT_EQ(ReadFile(SandboxPath("main_001.dat")), "Z");
    EXPECT_EQ(ReadFile(SandboxPath("main_cfg.dat")), "MaxBytesPerSubFile: 10\r\nNumSubFiles: 2\r\n");
    EXPECT_EQ(file.GetSize(), 11);
}

TEST_F(CBFMFileTest, WriteSpanningThreeSubFilesReadsBackAcrossEveryBoundary)
{
    const std::string data = Pattern(25);
    {
        CBFMFile file(Logical(), true, 10);
        ASSERT_TRUE(WriteAll(file, data));
    }
    EXPECT_EQ(fs::file_size(SandboxPath("main_000.dat")), 10u);
    EXPECT_EQ(fs::file_size(SandboxPath("main_001.dat")), 10u);
    EXPECT_EQ(fs::file_size(SandboxPath("main_002.dat")), 5u);

    CBFMFile file(Logical(), false);
    EXPECT_EQ(file.GetNumSubFiles(), 3);
    EXPECT_EQ(file.GetMaxBytesPerSubFile(), 10);
    EXPECT_EQ(file.GetSize(), 25);
    EXPECT_EQ(ReadAll(file), data);

    // A read that starts just before a boundary returns bytes from both sub-files in order.
    EXPECT_EQ(file.Seek(8, 0), 8);
    char buf[5];
    std::uint32_t got = 0;
    ASSERT_TRUE(file.Read(buf, 5, got));
    EXPECT_EQ(std::string(buf, 5), data.substr(8, 5));

    // Reading past the end yields the short count and false.
    EXPECT_EQ(file.Seek(-2, 2), 23);
    EXPECT_FALSE(file.Read(buf, 5, got));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buf, 2), data.substr(23));
    EXPECT_FALSE(file.Read(buf, 1, got));
    EXPECT_EQ(got, 0u);

    // The opened file is read-only.
    EXPECT_FALSE(file.Write("x", 1, got));
    EXPECT_EQ(got, 0u);
}

TEST_F(CBFMFileTest, SeekClampsAndSupportsEveryOrigin)
{
    const std::string data = Pattern(30);
    CBFMFile file(Logical(), true, 10);
    ASSERT_TRUE(WriteAll(file, data));
    EXPECT_EQ(file.Seek(-5, 0), 0);
    EXPECT_EQ(file.Seek(1000, 0), 30);
    EXPECT_EQ(file.Seek(0, 2), 30);
    EXPECT_EQ(file.Seek(-12, 1), 18);
    EXPECT_EQ(file.Seek(-100, 1), 0);
    EXPECT_EQ(file.Seek(7, 9), 0); // unknown origin
    EXPECT_EQ(file.Seek(15, 0), 15);
    char c = 0;
    std::uint32_t got = 0;
    ASSERT_TRUE(file.Read(&c, 1, got));
    EXPECT_EQ(c, data[15]);

    // At the very end of an exactly full last sub-file: reads give nothing, a write appends.
    EXPECT_EQ(file.Seek(0, 2), 30);
    EXPECT_FALSE(file.Read(&c, 1, got));
    EXPECT_EQ(got, 0u);
    ASSERT_TRUE(WriteAll(file, "tail"));
    EXPECT_EQ(file.GetSize(), 34);
    EXPECT_EQ(file.GetNumSubFiles(), 4);
    EXPECT_EQ(file.Seek(0, 0), 0);
    EXPECT_EQ(ReadAll(file), data + "tail");
}

TEST_F(CBFMFileTest, TheSeriesStopsAt999SubFilesAndReportsWhatWasWritten)
{
    CBFMFile file(Logical(), true, 1);
    ASSERT_TRUE(WriteAll(file, std::string(998, 'a')));
    std::uint32_t written = 0;
    EXPECT_FALSE(file.Write("bcd", 3, written));
    EXPECT_EQ(written, 1u); // the 999th sub-file took one byte, a 1000th is never created
    EXPECT_EQ(file.GetNumSubFiles(), 999);
    EXPECT_TRUE(fs::exists(SandboxPath("main_998.dat")));
    EXPECT_FALSE(fs::exists(SandboxPath("main_999.dat")));
    EXPECT_EQ(file.GetSize(), 999);
    EXPECT_EQ(ReadFile(SandboxPath("main_cfg.dat")), "MaxBytesPerSubFile: 1\r\nNumSubFiles: 999\r\n");

    CBFMFile reopened(Logical(), false);
    EXPECT_EQ(reopened.GetSize(), 999);
}

TEST_F(CBFMFileTest, OpenRefusesDamagedSeries)
{
    // Middle sub-file too short, too long, missing; last larger than a full one.
    WriteSeries(Logical("short.dat"), {10, 9, 4}, 10);
    ExpectOpenFails(Logical("short.dat"));
    WriteSeries(Logical("long.dat"), {10, 11, 4}, 10);
    ExpectOpenFails(Logical("long.dat"));
    WriteSeries(Logical("gap.dat"), {10, 10, 4}, 10);
    fs::remove(CBFMFile::SubFilePath(Logical("gap.dat"), 1));
    ExpectOpenFails(Logical("gap.dat"));
    WriteSeries(Logical("fat.dat"), {10, 11}, 10);
    ExpectOpenFails(Logical("fat.dat"));

    // Control files with absurd numbers, or none at all.
    const std::vector<std::string> controls = {
        "MaxBytesPerSubFile: 0\r\nNumSubFiles: 1\r\n",
        "MaxBytesPerSubFile: -10\r\nNumSubFiles: 1\r\n",
        "MaxBytesPerSubFile: 10\r\nNumSubFiles: 0\r\n",
        "MaxBytesPerSubFile: 10\r\nNumSubFiles: -3\r\n",
        "MaxBytesPerSubFile: 10\r\nNumSubFiles: 2000000000\r\n",
        "MaxBytesPerSubFile: ten\r\nNumSubFiles: 1\r\n",
        "NumSubFiles: 1\r\n",
        "",
        ": broken\r\n",
    };
    int n = 0;
    for (const std::string& control : controls) {
        const std::string logical = Logical("c" + std::to_string(n++) + ".dat");
        WriteSeries(logical, {4}, 10);
        WriteFile(CBFMFile::ControlFilePath(logical), control);
        SCOPED_TRACE(control);
        ExpectOpenFails(logical);
    }
    ExpectOpenFails(Logical("nothing.dat"));

    // The same series with a sound control file opens: the cases above failed for their cause.
    WriteSeries(Logical("good.dat"), {10, 10, 4}, 10);
    CBFMFile good(Logical("good.dat"), false);
    EXPECT_EQ(good.GetSize(), 24);
}

TEST_F(CBFMFileTest, SmallRecordsAreBufferedNotWrittenOneCallEach)
{
    hl::FaultPlatform counter;
    std::string expected;
    {
        hl::ScopedPlatform use(counter);
        CBFMFile file(Logical(), true, 100000);
        counter.ResetCounts();
        for (int i = 0; i < 20000; ++i) {
            const std::string record = Pattern(12 + i % 5, unsigned(i));
            expected += record;
            ASSERT_TRUE(WriteAll(file, record));
        }
        ASSERT_TRUE(file.Flush());
        // 20000 writes of ~14 bytes across 3 sub-files: a handful of system calls, not 20000.
        EXPECT_LT(counter.Calls(hl::kOpWrite), 20u);
        EXPECT_GE(counter.Calls(hl::kOpWrite), 3u); // the data did go out, once per sub-file at least

        counter.ResetCounts();
        EXPECT_EQ(file.Seek(0, 0), 0);
        std::string back;
        for (int i = 0; i < 20000; ++i) {
            char buf[16];
            std::uint32_t got = 0;
            const std::uint32_t n = std::uint32_t(12 + i % 5);
            ASSERT_TRUE(file.Read(buf, n, got));
            back.append(buf, got);
        }
        EXPECT_LT(counter.Calls(hl::kOpRead), 20u);
        EXPECT_GE(counter.Calls(hl::kOpRead), 3u);
        EXPECT_EQ(back, expected);
    }
    CBFMFile reopened(Logical(), false);
    EXPECT_EQ(reopened.GetNumSubFiles(), int(expected.size() / 100000 + 1));
    EXPECT_EQ(ReadAll(reopened), expected);
}

// Counts what reads fetch from the disk.
class ReadCounter : public hl::PlatformWrapper {
public:
    ReadCounter() : hl::PlatformWrapper(hl::Os()) {}
    std::int64_t ReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset) override
    {
        ++calls;
        bytes += count;
        return hl::PlatformWrapper::ReadAt(fd, buffer, count, offset);
    }
    std::size_t calls = 0;
    std::size_t bytes = 0;
};

// The merge reads scratch records in block order, not file order: each such read must fetch
// that record only, while reads that run on (or skip a little) still read ahead.
TEST_F(CBFMFileTest, ReadsAfterAJumpFetchOnlyTheRecordAndRunsReadAhead)
{
    constexpr std::size_t kRecord = 524;
    constexpr std::size_t kRecords = 2000;
    const std::string data = Pattern(kRecord * kRecords, 5);
    {
        CBFMFile file(Logical(), true);
        ASSERT_TRUE(WriteAll(file, data));
    }
    CBFMFile file(Logical(), false);
    ReadCounter counter;
    hl::ScopedPlatform use(counter);

    // Records in a scattered order, each read whole in one call.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < 100; ++i)
        order.push_back((i * 797 + 1013) % kRecords); // never within 8 KiB ahead of the last
    for (std::size_t r : order) {
        ASSERT_EQ(file.Seek(std::int64_t(r * kRecord), 0), std::int64_t(r * kRecord));
        char record[kRecord];
        std::uint32_t got = 0;
        ASSERT_TRUE(file.Read(record, kRecord, got));
        ASSERT_EQ(std::string(record, kRecord), data.substr(r * kRecord, kRecord)) << "record " << r;
    }
    EXPECT_EQ(counter.calls, order.size());
    EXPECT_EQ(counter.bytes, order.size() * kRecord);

    // Every record header from the start, skipping the data between them: read ahead.
    counter.calls = 0;
    for (std::size_t r = 0; r < kRecords; ++r) {
        ASSERT_EQ(file.Seek(std::int64_t(r * kRecord), 0), std::int64_t(r * kRecord));
        char header[12];
        std::uint32_t got = 0;
        ASSERT_TRUE(file.Read(header, sizeof header, got));
        ASSERT_EQ(std::string(header, 12), data.substr(r * kRecord, 12)) << "record " << r;
    }
    EXPECT_LT(counter.calls, 20u); // 1 MiB in windows of up to 256 KiB, not 2000 reads
}

// Records the write-back hints a file gives, and can refuse them.
class WritebackRecorder : public hl::PlatformWrapper {
public:
    WritebackRecorder() : hl::PlatformWrapper(hl::Os()) {}
    bool StartWriteback(int fd, std::uint64_t offset, std::uint64_t count) override
    {
        ranges.push_back({offset, count});
        return !refuse && hl::PlatformWrapper::StartWriteback(fd, offset, count);
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    bool refuse = false;
};

TEST_F(CBFMFileTest, WriteBehindStartsTheDiskOnEachNewStretchOfEverySubFile)
{
    constexpr std::uint64_t kMiB = 1024 * 1024;
    const std::string block = Pattern(kMiB, 3);
    WritebackRecorder recorder;
    hl::ScopedPlatform use(recorder);
    {
        CBFMFile plain(Logical("plain.dat"), true);
        for (int i = 0; i < 20; ++i)
            ASSERT_TRUE(WriteAll(plain, block));
    }
    EXPECT_TRUE(recorder.ranges.empty()); // only files that will be synced ask for it

    // 32 MiB in sub-files of 20 MiB, the hints refused: the data is written all the same.
    recorder.refuse = true;
    {
        CBFMFile merge(Logical("merge.dat"), true, std::int32_t(20 * kMiB));
        merge.SetWriteBehind(true);
        for (int i = 0; i < 32; ++i)
            ASSERT_TRUE(WriteAll(merge, block));
        ASSERT_TRUE(merge.Sync());
    }
    // Sub-file 0: 0-8, 8-16 MiB (its last 4 MiB are left to Sync); sub-file 1 (12 MiB): 0-8 MiB.
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {
        {0, 8 * kMiB}, {8 * kMiB, 8 * kMiB}, {0, 8 * kMiB}};
    EXPECT_EQ(recorder.ranges, expected);
    CBFMFile back(Logical("merge.dat"), false);
    EXPECT_EQ(back.GetSize(), std::int64_t(32 * kMiB));
    EXPECT_EQ(ReadAll(back).substr(30 * kMiB, kMiB), block);
}

TEST_F(CBFMFileTest, LargeWritesAndReadsBypassTheBufferIntact)
{
    const std::string big = Pattern(700000, 3);
    {
        CBFMFile file(Logical(), true, 300000);
        ASSERT_TRUE(WriteAll(file, "head"));
        ASSERT_TRUE(WriteAll(file, big));
        ASSERT_TRUE(WriteAll(file, "tail"));
    }
    CBFMFile file(Logical(), false);
    EXPECT_EQ(file.GetSize(), std::int64_t(big.size() + 8));
    std::string back(big.size() + 8, '\0');
    std::uint32_t got = 0;
    ASSERT_TRUE(file.Read(back.data(), 3, got));
    ASSERT_TRUE(file.Read(back.data() + 3, std::uint32_t(back.size() - 3), got));
    EXPECT_EQ(back, "head" + big + "tail");
}

TEST_F(CBFMFileTest, AFullDiskFailsTheWriteAndTheFlushAndKeepsThePositionTrue)
{
    hl::FaultPlatform full;
    hl::ScopedPlatform use(full);
    CBFMFile file(Logical(), true, 1000);
    ASSERT_TRUE(WriteAll(file, std::string(100, 'a')));
    ASSERT_TRUE(file.Flush());
    full.FailAll(hl::kErrDiskFull, hl::kOpWrite);
    std::uint32_t written = 0;
    // Buffered: the fault shows at the latest when the data must reach the disk.
    const bool accepted = file.Write(std::string(50, 'b').data(), 50, written);
    EXPECT_FALSE(accepted && file.Flush());
    EXPECT_FALSE(file.Flush());
    EXPECT_FALSE(file.Write("c", 1, written));
    full.Disarm();
    EXPECT_EQ(file.GetSize(), 100);
}

TEST_F(CBFMFileTest, DeleteRenameCopyWorkOnTheWholeSeriesAndStopAtAGap)
{
    const std::string data = Pattern(25);
    {
        CBFMFile file(Logical("a.dat"), true, 10);
        ASSERT_TRUE(WriteAll(file, data));
    }
    EXPECT_TRUE(CBFMFile::Delete(Logical("never.dat")));

    ASSERT_TRUE(CBFMFile::Rename(Logical("a.dat"), Logical("b.dat")));
    EXPECT_FALSE(fs::exists(SandboxPath("a_000.dat")));
    EXPECT_FALSE(fs::exists(SandboxPath("a_cfg.dat")));
    {
        CBFMFile b(Logical("b.dat"), false);
        EXPECT_EQ(ReadAll(b), data);
    }

    ASSERT_TRUE(CBFMFile::Copy(Logical("b.dat"), Logical("c.dat"), false));
    {
        CBFMFile c(Logical("c.dat"), false);
        EXPECT_EQ(ReadAll(c), data);
    }
    // The destination control file exists: the copy fails, though the sub-files are copied.
    WriteFile(SandboxPath("c_000.dat"), "changed");
    int error = 0;
    EXPECT_FALSE(CBFMFile::Copy(Logical("b.dat"), Logical("c.dat"), false, &error));
    EXPECT_NE(error, 0);
    EXPECT_EQ(fs::file_size(SandboxPath("c_000.dat")), 10u);

    // A gap ends the series: sub-files after it are not touched.
    fs::remove(SandboxPath("b_001.dat"));
    EXPECT_TRUE(CBFMFile::Delete(Logical("b.dat")));
    EXPECT_FALSE(fs::exists(SandboxPath("b_000.dat")));
    EXPECT_FALSE(fs::exists(SandboxPath("b_cfg.dat")));
    EXPECT_TRUE(fs::exists(SandboxPath("b_002.dat")));
}

TEST_F(CBFMFileTest, CopyReportsDiskFull)
{
    {
        CBFMFile file(Logical("a.dat"), true, 10);
        ASSERT_TRUE(WriteAll(file, Pattern(25)));
    }
    hl::FaultPlatform full;
    full.FailAll(hl::kErrDiskFull, hl::kOpCopy);
    hl::ScopedPlatform use(full);
    int error = 0;
    EXPECT_FALSE(CBFMFile::Copy(Logical("a.dat"), Logical("b.dat"), true, &error));
    EXPECT_EQ(error, hl::kErrDiskFull);
}

TEST_F(CBFMFileTest, CopyReportsProgressPerSubFileAndCanBeCancelled)
{
    {
        CBFMFile file(Logical("a.dat"), true, 10);
        ASSERT_TRUE(WriteAll(file, Pattern(25)));
    }
    TestWindow window;
    GUIComm* gui = GUIComm::GetInstance(&window);
    ASSERT_TRUE(CBFMFile::Copy(Logical("a.dat"), Logical("b.dat"), true));
    int hundreds = 0;
    for (const Note& note : window.Notes()) {
        ASSERT_EQ(note.message, unsigned(CM_HLKProgress));
        EXPECT_GE(note.value, 0);
        EXPECT_LE(note.value, 100);
        hundreds += note.value == 100;
    }
    EXPECT_EQ(hundreds, 3); // the percentage restarts for every sub-file

    // Without reporting, nothing is posted.
    window.Clear();
    ASSERT_TRUE(CBFMFile::Copy(Logical("a.dat"), Logical("c.dat"), false));
    EXPECT_TRUE(window.Notes().empty());

    gui->RequestCancel();
    EXPECT_FALSE(CBFMFile::Copy(Logical("a.dat"), Logical("d.dat"), true));
    GUIComm::Cleanup();
}

} // namespace
