// A full backup without scratch clusters is stored with one write: TmpMain, which starts with
// the image's header, becomes the image through the same commit the merge file goes through.
// The sub-file size is lowered for these tests, so that a few dozen small clusters make images
// of many sub-files; every stored series must hold exactly the bytes of the simulator's merge
// model, split where a merge file would have been split. A platform wrapper counts the bytes
// written into each data file, which tells a merge (merge_NNN.dat written) from one write.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "CBFMChecksum.h"
#include "CBFMFile.h"
#include "CClientExc.h"
#include "DataFileBytes.h"
#include "HLKTestHarness.h"
#include "PlatformWrapper.h"

using namespace quarnexsim;

namespace {

const SimHeader kHeader{0x0051A7E5, 1024, 21, 22, 23};
const char* const kServerId = "0051A7E5";
constexpr std::int32_t kSubFile = 4000;

// Bytes written into the data sub-files, by series ("main", "scratch", "merge", "backup").
class WriteCounter : public hl::PlatformWrapper {
public:
    WriteCounter() : hl::PlatformWrapper(hl::PosixPlatform()) {}

    int OpenFile(const std::string& path, hl::OpenMode mode) override
    {
        const int fd = PlatformWrapper::OpenFile(path, mode);
        std::lock_guard<std::mutex> guard(m_lock);
        if (fd >= 0)
            m_series[fd] = SeriesOf(path);
        return fd;
    }
    bool Write(int fd, const void* buffer, std::size_t count) override
    {
        const bool ok = PlatformWrapper::Write(fd, buffer, count);
        Count(fd, ok ? count : 0);
        return ok;
    }
    bool WriteAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset) override
    {
        const bool ok = PlatformWrapper::WriteAt(fd, buffer, count, offset);
        Count(fd, ok ? count : 0);
        return ok;
    }

    std::uint64_t Bytes(const std::string& series)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_bytes[series];
    }
    std::uint64_t DataBytes()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::uint64_t total = 0;
        for (const auto& [series, bytes] : m_bytes)
            total += series.empty() ? 0 : bytes;
        return total;
    }

private:
    // "main" for ".../main_007.dat"; "" for anything that is not a data sub-file.
    static std::string SeriesOf(const std::string& path)
    {
        const std::string name = path.substr(path.find_last_of('/') + 1);
        const std::size_t underscore = name.rfind('_');
        if (underscore == std::string::npos || name.size() != underscore + 8 ||
            name.compare(underscore + 4, 4, ".dat") != 0)
            return "";
        for (std::size_t i = underscore + 1; i < underscore + 4; ++i)
            if (name[i] < '0' || name[i] > '9')
                return "";
        return name.substr(0, underscore);
    }
    void Count(int fd, std::size_t bytes)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto it = m_series.find(fd);
        if (it != m_series.end())
            m_bytes[it->second] += bytes;
    }

    std::mutex m_lock;
    std::map<int, std::string> m_series;
    std::map<std::string, std::uint64_t> m_bytes;
};

std::vector<SimCluster> Plan(std::uint32_t seed, std::uint32_t count, int scratchPercent,
                             std::uint32_t first = 1)
{
    PlanOptions po;
    po.clusterSize = kHeader.clusterSize;
    po.count = count;
    po.firstBlock = first;
    po.scratchPercent = scratchPercent;
    po.varyLengths = true;
    po.seed = seed;
    return ClusterPlan::Generate(po);
}

std::uint64_t MainBytes(const std::vector<SimCluster>& clusters)
{
    std::uint64_t bytes = 0;
    for (const SimCluster& c : clusters)
        bytes += MergeModel::IsScratch(c) ? 0 : 12 + c.data.size();
    return bytes;
}

class HLKOneWriteTest : public ServiceTest {
protected:
    void SetUp() override
    {
        CBFMFile::SetDefaultMaxBytesPerSubFile(kSubFile);
        ServiceTest::SetUp();
    }
    void TearDown() override
    {
        ServiceTest::TearDown();
        CBFMFile::SetDefaultMaxBytesPerSubFile(CBFMFile::kDefaultMaxBytesPerSubFile);
    }

    void Restart()
    {
        HLKBackup::Cleanup();
        ASSERT_TRUE(HLKBackup::GetInstance()->HLK_ResetEphemeral());
        port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
    }

    // The current image's sub-files as they lie on the disk, checked against the split a
    // series of kSubFile bytes must have, and their bytes in order.
    std::vector<std::uint8_t> StoredSeries()
    {
        std::unique_ptr<CBFMServer> server = Repo()->GetServer(kServerId);
        std::string name;
        if (!server || !server->GetCurrentBackup(name)) {
            ADD_FAILURE() << "no current backup";
            return {};
        }
        const std::string logical = m_root + "/" + kServerId + "/" + name + "/backup.dat";
        EXPECT_EQ(ReadFile(CBFMFile::ControlFilePath(logical)).find("MaxBytesPerSubFile: 4000\r\n"), 0u);
        std::vector<std::uint8_t> bytes;
        std::vector<std::size_t> sizes;
        for (int i = 0; hl::Os().FileExists(CBFMFile::SubFilePath(logical, i)); ++i) {
            const std::string part = ReadFile(CBFMFile::SubFilePath(logical, i));
            sizes.push_back(part.size());
            bytes.insert(bytes.end(), part.begin(), part.end());
        }
        EXPECT_EQ(sizes.size(), (bytes.size() + kSubFile - 1) / kSubFile) << "sub-files";
        for (std::size_t i = 0; i + 1 < sizes.size(); ++i)
            EXPECT_EQ(sizes[i], std::size_t(kSubFile)) << "sub-file " << i << " is not full";
        return bytes;
    }

    std::vector<std::string> Leftovers()
    {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(m_root)) {
            const std::string name = e.path().filename().string();
            if (name == "transfer.cfg" || name == "commit.cfg" || name.rfind("main_", 0) == 0 ||
                name.rfind("scratch_", 0) == 0 || name.rfind("merge_", 0) == 0 || name == "main.sum" ||
                name == "merge.sum")
                out.push_back(e.path().string());
        }
        return out;
    }

    // The current image's checksum file describes exactly `image`, record for record.
    void ExpectChecksumOf(const std::vector<std::uint8_t>& image)
    {
        std::unique_ptr<CBFMServer> server = Repo()->GetServer(kServerId);
        std::string name;
        ASSERT_TRUE(server && server->GetCurrentBackup(name));
        CBFMChecksum sum;
        ASSERT_EQ(sum.Open(m_root + "/" + kServerId + "/" + name + "/backup.sum"),
                  CBFMChecksum::Status::Whole);
        SimImage parsed;
        ASSERT_TRUE(MergeModel::Parse(image, parsed));
        EXPECT_EQ(sum.ImageSize(), image.size());
        ASSERT_EQ(sum.RecordCount(), parsed.records.size());
        EXPECT_TRUE(sum.HeaderMatches({kHeader.serialNumber, kHeader.clusterSize, kHeader.headerParam1,
                                       kHeader.headerParam2, kHeader.headerParam3}));
        std::size_t at = 20;
        for (const SimCluster& c : parsed.records) {
            const std::size_t size = 12 + c.data.size();
            EXPECT_TRUE(sum.NextRecordMatches(image.data() + at, size)) << "record at " << at;
            at += size;
        }
    }

    bool SavedOk()
    {
        return window.WaitFor([](const Note& n) { return n.message == CM_HLKSaveBackupDone && n.success; });
    }
};

TEST_F(HLKOneWriteTest, FullBackupWithoutScratchIsWrittenOnceAndStoredAsTheMergeModelSays)
{
    const std::vector<SimCluster> clusters = Plan(41, 120, 0);
    const std::vector<std::uint8_t> expected = MergeModel::Serialize(MergeModel::Full(kHeader, clusters));
    ASSERT_GT(expected.size(), std::size_t(10 * kSubFile)) << "the image must span many sub-files";

    WriteCounter counter;
    {
        hl::ScopedPlatform use(counter);
        ASSERT_NO_FATAL_FAILURE(PushOk(kHeader, true, clusters));
    }
    EXPECT_TRUE(SavedOk());
    // Every byte of the image was written once, into TmpMain; nothing into a merge file.
    EXPECT_EQ(counter.Bytes("merge"), 0u);
    EXPECT_EQ(counter.Bytes("main"), expected.size());
    EXPECT_EQ(counter.DataBytes(), expected.size());
    EXPECT_TRUE(StoredSeries() == expected) << "the stored image differs from the model";
    ExpectChecksumOf(expected);
    EXPECT_TRUE(MergeModel::Serialize(RestoreOk(kHeader.serialNumber)) == expected);
    EXPECT_TRUE(Leftovers().empty()) << Leftovers().front();

    // An incremental builds on it like on any merged image.
    AllowIncrementals(kServerId);
    const std::vector<SimCluster> second = Plan(42, 60, 40, 50);
    ASSERT_NO_FATAL_FAILURE(PushOk(kHeader, false, second));
    EXPECT_TRUE(SavedOk());
    const std::vector<std::uint8_t> merged =
        MergeModel::Serialize(MergeModel::Incremental(MergeModel::Full(kHeader, clusters), kHeader, second));
    EXPECT_TRUE(StoredSeries() == merged) << "the incremental's image differs from the model";
    EXPECT_TRUE(MergeModel::Serialize(RestoreOk(kHeader.serialNumber)) == merged);
}

TEST_F(HLKOneWriteTest, OneScratchClusterTakesTheMergeWithTheSameSplit)
{
    // A single scratch cluster, at the very end and repeating a main blockID: the merge must
    // place it, and its output is split like the one-write image.
    std::vector<SimCluster> clusters = Plan(43, 100, 0);
    clusters.push_back(Cluster(clusters[7].blockID, kModeScratch, 300, 5));
    const std::vector<std::uint8_t> expected = MergeModel::Serialize(MergeModel::Full(kHeader, clusters));

    WriteCounter counter;
    {
        hl::ScopedPlatform use(counter);
        ASSERT_NO_FATAL_FAILURE(PushOk(kHeader, true, clusters));
    }
    EXPECT_TRUE(SavedOk());
    EXPECT_EQ(counter.Bytes("merge"), expected.size());
    EXPECT_EQ(counter.Bytes("main"), 20 + MainBytes(clusters));
    EXPECT_TRUE(StoredSeries() == expected) << "the stored image differs from the model";
    ExpectChecksumOf(expected);
    EXPECT_TRUE(Leftovers().empty()) << Leftovers().front();
}

TEST_F(HLKOneWriteTest, AcknowledgedTransfersAreFinishedAtStartUpFromEitherLayout)
{
    // Left by this version: the header at the start of TmpMain, no scratch: committed as it
    // stands, nothing written.
    const std::vector<SimCluster> first = Plan(44, 90, 0);
    HLKBackup::Cleanup();
    ASSERT_NO_FATAL_FAILURE(LeaveAcknowledgedTransfer(*Repo(), kHeader, true, first));
    WriteCounter counter;
    {
        hl::ScopedPlatform use(counter);
        ASSERT_NO_FATAL_FAILURE(Restart());
        EXPECT_TRUE(SavedOk());
    }
    EXPECT_EQ(counter.DataBytes(), 0u) << "the acknowledged image was written again";
    EXPECT_TRUE(StoredSeries() == MergeModel::Serialize(MergeModel::Full(kHeader, first)));
    ExpectChecksumOf(MergeModel::Serialize(MergeModel::Full(kHeader, first)));
    EXPECT_TRUE(Leftovers().empty()) << Leftovers().front();

    // Left by an earlier version: TmpMain holds records only, so it is merged.
    window.Clear();
    const std::vector<SimCluster> second = Plan(45, 90, 0, 3);
    HLKBackup::Cleanup();
    ASSERT_NO_FATAL_FAILURE(LeaveAcknowledgedTransfer(*Repo(), kHeader, true, second, 0, true));
    ASSERT_NO_FATAL_FAILURE(Restart());
    EXPECT_TRUE(SavedOk());
    const std::vector<std::uint8_t> expected = MergeModel::Serialize(MergeModel::Full(kHeader, second));
    EXPECT_TRUE(StoredSeries() == expected);
    EXPECT_TRUE(MergeModel::Serialize(RestoreOk(kHeader.serialNumber)) == expected);
    EXPECT_TRUE(Leftovers().empty()) << Leftovers().front();
}

// The commit record of a commit from TmpMain names its source; whoever finds it finishes the
// switch from there, and a source it does not know leaves the record alone.
class CommitFromMainTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        CBFMFile::SetDefaultMaxBytesPerSubFile(kSubFile);
        m_dir = SandboxPath("0051A7E5/4711");
        ASSERT_TRUE(hl::Os().CreateDirectory(SandboxPath("0051A7E5")) && hl::Os().CreateDirectory(m_dir));
        CBFMBackup backup(m_dir, "4711");
        std::unique_ptr<CBFMFile> main = backup.CreateBFMFile(CBFMBackup::TmpMainFile);
        ASSERT_TRUE(main);
        m_image = MergeModel::Serialize(MergeModel::Full(kHeader, Plan(51, 40, 0)));
        std::uint32_t written = 0;
        ASSERT_TRUE(main->Write(m_image.data(), static_cast<std::uint32_t>(m_image.size()), written));
        ASSERT_TRUE(main->Sync());
        ASSERT_GT(main->GetNumSubFiles(), 2);
        m_subFiles = main->GetNumSubFiles();
    }
    void TearDown() override
    {
        CBFMFile::SetDefaultMaxBytesPerSubFile(CBFMFile::kDefaultMaxBytesPerSubFile);
        SandboxTest::TearDown();
    }
    std::vector<std::uint8_t> Image()
    {
        std::unique_ptr<CBFMFile> file = CBFMBackup(m_dir).OpenBFMFile(CBFMBackup::BackupFile);
        if (!file)
            return {};
        std::vector<std::uint8_t> bytes;
        EXPECT_TRUE(testsupport::ReadDataFile(*file, bytes));
        return bytes;
    }
    // A commit record as CommitMerge writes it, stopped after the first rename.
    void LeaveDecidedCommit(const std::string& source)
    {
        WriteFile(m_dir + "/commit.cfg", "FullBackupDate: 1796769280\r\nLastBackupDate: 1796769280\r\n"
                                         "MaxBytesPerSubFile: 4000\r\nNumIncrementals: 0\r\nNumSubFiles: " +
                                             std::to_string(m_subFiles) + "\r\nSource: " + source + "\r\n");
        ASSERT_TRUE(hl::Os().MoveFile(m_dir + "/main_000.dat", m_dir + "/backup_000.dat"));
    }

    std::string m_dir;
    std::vector<std::uint8_t> m_image;
    int m_subFiles = 0;
};

TEST_F(CommitFromMainTest, CommitMakesTmpMainTheImage)
{
    CBFMBackup backup(m_dir);
    bool decided = false;
    ASSERT_TRUE(backup.CommitMerge(true, nullptr, &decided, CBFMBackup::TmpMainFile));
    EXPECT_TRUE(decided);
    EXPECT_TRUE(Image() == m_image);
    EXPECT_FALSE(hl::Os().PathExists(m_dir + "/main_cfg.dat"));
    EXPECT_FALSE(hl::Os().PathExists(m_dir + "/main_000.dat"));
    EXPECT_FALSE(hl::Os().PathExists(m_dir + "/commit.cfg"));
    EXPECT_EQ(CBFMBackup(m_dir).LastBackupDate(), backup.LastBackupDate());
}

TEST_F(CommitFromMainTest, AnInterruptedCommitFromTmpMainIsFinishedOnTheNextOpen)
{
    ASSERT_NO_FATAL_FAILURE(LeaveDecidedCommit("3"));
    EXPECT_TRUE(Image() == m_image) << "the switch was not finished from main.dat";
    EXPECT_EQ(CBFMBackup(m_dir).LastBackupDate(), 1796769280u);
    EXPECT_FALSE(hl::Os().PathExists(m_dir + "/main_001.dat"));
    EXPECT_FALSE(hl::Os().PathExists(m_dir + "/commit.cfg"));
}

TEST_F(CommitFromMainTest, ACommitRecordNamingAnUnknownSourceIsLeftAlone)
{
    ASSERT_NO_FATAL_FAILURE(LeaveDecidedCommit("4"));
    EXPECT_THROW(CBFMBackup{m_dir}, CClientExc);
    EXPECT_TRUE(hl::Os().PathExists(m_dir + "/commit.cfg"));
    EXPECT_TRUE(hl::Os().PathExists(m_dir + "/main_001.dat"));
}

} // namespace
