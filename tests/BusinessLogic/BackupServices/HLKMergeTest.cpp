// The merge engine on its own: transfer files written straight to CBFMFiles, merged without a
// connection or a backup record, and compared byte for byte with the simulator's independent
// merge model.
#include "HLKMerge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BackupDataLayout.h"
#include "CBFMFile.h"
#include "DataFileBytes.h"
#include "HLKRecordIO.h"
#include "MergeModel.h"
#include "SessionData.h"
#include "TestSandbox.h"

namespace {

using quarnexsim::MergeModel;
using quarnexsim::SimCluster;
using quarnexsim::SimHeader;
using quarnexsim::SimImage;

constexpr std::uint32_t kClusterSize = 64;
const SimHeader kHeader{0x0001A2B3, kClusterSize, 7, 8, 9};

SimCluster Make(std::uint32_t id, std::uint32_t mode, std::size_t length, std::uint8_t fill)
{
    SimCluster c;
    c.blockID = id;
    c.mode = mode;
    c.data.assign(length, fill);
    return c;
}

// Arrival order as a Quarnex server sends it: main clusters ascending, scratch clusters
// anywhere, with repeated blockIDs, the extreme blockIDs and empty clusters among them.
std::vector<SimCluster> Plan(unsigned seed, std::size_t count, std::uint32_t clusterSize = kClusterSize)
{
    std::mt19937 rng(seed);
    std::vector<SimCluster> out;
    std::uint32_t nextMain = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = rng() % 5 == 0 ? 0 : 1 + rng() % clusterSize;
        const auto fill = static_cast<std::uint8_t>(rng());
        if (rng() % 2 == 0) {
            nextMain += rng() % 3; // 0: the same blockID again
            out.push_back(Make(nextMain, quarnexsim::kModeMain, length, fill));
        } else {
            std::uint32_t id = rng() % 40;
            if (rng() % 10 == 0)
                id = rng() % 2 ? 0u : 0xFFFFFFFFu;
            const std::uint32_t mode = rng() % 4 == 0 ? (quarnexsim::kModeScratch | quarnexsim::kModeMain)
                                                      : quarnexsim::kModeScratch;
            out.push_back(Make(id, mode, length, fill));
        }
    }
    return out;
}

class HLKMergeTest : public SandboxTest {
protected:
    // Files the clusters into TmpMain and TmpScratch and fills the session as the transfer
    // does, the scratch index sorted as finishBackup sorts it.
    void Transfer(const std::vector<SimCluster>& clusters, const SimHeader& header = kHeader)
    {
        session->serialNumber = header.serialNumber;
        session->clusterSize = header.clusterSize;
        session->headerParam1 = header.headerParam1;
        session->headerParam2 = header.headerParam2;
        session->headerParam3 = header.headerParam3;
        session->clusterBuffer.assign(header.clusterSize + BackupDataLayout::kClusterHeaderSize, 0);
        session->tmpMain = std::make_unique<CBFMFile>(SandboxPath("TmpMain.dat"), true);
        session->tmpScratch = std::make_unique<CBFMFile>(SandboxPath("TmpScratch.dat"), true);
        for (const SimCluster& c : clusters) {
            std::uint8_t header[BackupDataLayout::kClusterHeaderSize];
            const auto length = static_cast<std::uint32_t>(c.data.size());
            BackupDataLayout::EncodeClusterHeader({c.blockID, c.mode, length}, header);
            if (MergeModel::IsScratch(c)) {
                session->scratchIndex.push_back(
                    {c.blockID, static_cast<std::uint32_t>(session->scratchBytes)});
                ASSERT_EQ(HLKRecordIO::writeClusterBlk(*session->tmpScratch, header, c.data.data(), length),
                          0);
                session->scratchCount += 1;
                session->scratchBytes += static_cast<std::uint32_t>(BackupDataLayout::RecordSize(length));
            } else {
                ASSERT_EQ(HLKRecordIO::writeClusterBlk(*session->tmpMain, header, c.data.data(), length), 0);
                session->mainCount += 1;
            }
        }
        std::stable_sort(session->scratchIndex.begin(), session->scratchIndex.end(),
                         [](const ScratchIndexEntry& a, const ScratchIndexEntry& b) {
                             return HLKMerge::compareBlockIDs(a, b) < 0;
                         });
        ASSERT_TRUE(session->tmpMain->Flush() && session->tmpScratch->Flush());
        ASSERT_EQ(session->tmpMain->Seek(0, 0), 0);
    }

    std::unique_ptr<CBFMFile> MergeFile()
    {
        auto file = std::make_unique<CBFMFile>(SandboxPath("TmpMerge.dat"), true);
        EXPECT_EQ(HLKRecordIO::writeBackupHeader(*file, session->backupHeader()), 0);
        return file;
    }

    static std::vector<std::uint8_t> Contents(const std::string& path)
    {
        CBFMFile file(path, false);
        std::vector<std::uint8_t> bytes;
        EXPECT_TRUE(testsupport::ReadDataFile(file, bytes));
        return bytes;
    }

    std::unique_ptr<CBFMFile> StoredImage(const SimImage& image)
    {
        const std::vector<std::uint8_t> bytes = MergeModel::Serialize(image);
        {
            CBFMFile file(SandboxPath("main.dat"), true);
            std::uint32_t written = 0;
            EXPECT_TRUE(file.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), written));
            EXPECT_TRUE(file.Flush());
        }
        return std::make_unique<CBFMFile>(SandboxPath("main.dat"), false);
    }

    std::unique_ptr<SessionData> session = std::make_unique<SessionData>();
};

TEST_F(HLKMergeTest, FullMergeMatchesTheModel)
{
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(seed);
        session = std::make_unique<SessionData>();
        const std::vector<SimCluster> clusters = Plan(seed, 300);
        ASSERT_NO_FATAL_FAILURE(Transfer(clusters));
        auto merge = MergeFile();
        ASSERT_EQ(HLKMerge::mergeFullBackup(*session, *merge), 0);
        merge.reset();
        EXPECT_EQ(Contents(SandboxPath("TmpMerge.dat")),
                  MergeModel::Serialize(MergeModel::Full(kHeader, clusters)));
        EXPECT_EQ(session->mergeCount, session->mainCount + session->scratchCount);
    }
}

TEST_F(HLKMergeTest, IncrementalMergeMatchesTheModel)
{
    for (unsigned seed : {5u, 6u, 7u, 8u}) {
        SCOPED_TRACE(seed);
        session = std::make_unique<SessionData>();
        const SimImage stored = MergeModel::Full(kHeader, Plan(seed, 200));
        const std::vector<SimCluster> clusters = Plan(seed + 100, 120);
        ASSERT_NO_FATAL_FAILURE(Transfer(clusters));
        auto old = StoredImage(stored);
        auto merge = MergeFile();
        ASSERT_EQ(HLKMerge::mergeIncrBackup(*session, *old, *merge), 0);
        merge.reset();
        EXPECT_EQ(Contents(SandboxPath("TmpMerge.dat")),
                  MergeModel::Serialize(MergeModel::Incremental(stored, kHeader, clusters)));
    }
}

// Megabytes of records, so that the merges read across many blocks of their record streams,
// write runs of records that a block boundary or a new record cuts, and cross sub-files.
TEST_F(HLKMergeTest, MergesOfManyBlocksAndSubFilesMatchTheModel)
{
    constexpr std::uint32_t kLarge = 8192;
    const SimHeader header{0x0001A2B3, kLarge, 7, 8, 9};
    CBFMFile::SetDefaultMaxBytesPerSubFile(1000003); // a prime: records straddle sub-files
    struct Restore {
        ~Restore() { CBFMFile::SetDefaultMaxBytesPerSubFile(CBFMFile::kDefaultMaxBytesPerSubFile); }
    } restore;

    const std::vector<SimCluster> first = Plan(11, 2500, kLarge);
    ASSERT_NO_FATAL_FAILURE(Transfer(first, header));
    auto merge = MergeFile();
    ASSERT_EQ(HLKMerge::mergeFullBackup(*session, *merge), 0);
    merge.reset();
    const SimImage stored = MergeModel::Full(header, first);
    const std::vector<std::uint8_t> storedBytes = MergeModel::Serialize(stored);
    ASSERT_GT(storedBytes.size(), 4u << 20);
    EXPECT_EQ(Contents(SandboxPath("TmpMerge.dat")), storedBytes);

    session = std::make_unique<SessionData>();
    const std::vector<SimCluster> next = Plan(12, 400, kLarge);
    ASSERT_NO_FATAL_FAILURE(Transfer(next, header));
    auto old = StoredImage(stored);
    ASSERT_GT(old->GetNumSubFiles(), 3);
    ASSERT_EQ(old->Seek(0, 0), 0);
    merge = MergeFile();
    ASSERT_EQ(HLKMerge::mergeIncrBackup(*session, *old, *merge), 0);
    merge.reset();
    EXPECT_EQ(Contents(SandboxPath("TmpMerge.dat")),
              MergeModel::Serialize(MergeModel::Incremental(stored, header, next)));
}

TEST_F(HLKMergeTest, IncrementalRefusesAnImageOfAnotherIdentity)
{
    ASSERT_NO_FATAL_FAILURE(Transfer(Plan(9, 20)));
    SimHeader other = kHeader;
    other.headerParam3 += 1;
    auto old = StoredImage(MergeModel::Full(other, Plan(10, 20)));
    auto merge = MergeFile();
    EXPECT_EQ(HLKMerge::mergeIncrBackup(*session, *old, *merge), -1);
}

TEST_F(HLKMergeTest, ARecordHeaderCutShortIsDamageNotTheEnd)
{
    ASSERT_NO_FATAL_FAILURE(Transfer({Make(1, quarnexsim::kModeMain, 8, 0xAA)}));
    // Five stray bytes after the last whole record of TmpMain.
    std::uint32_t written = 0;
    ASSERT_TRUE(session->tmpMain->Seek(0, 2) > 0);
    ASSERT_TRUE(session->tmpMain->Write("\0\0\0\2\0", 5, written));
    ASSERT_TRUE(session->tmpMain->Flush());
    ASSERT_EQ(session->tmpMain->Seek(0, 0), 0);
    auto merge = MergeFile();
    EXPECT_EQ(HLKMerge::mergeFullBackup(*session, *merge), -1);
}

} // namespace
