// Restores from damaged or foreign stored files, and restores whose peer goes away.
#include <gtest/gtest.h>

#include <cstdio>

#include "HLKTestHarness.h"

using namespace quarnexsim;

namespace {

constexpr std::uint32_t kSerial = 0x0001A2B3;

class HLKRestoreTest : public ServiceTest {
protected:
    std::string StoredPath()
    {
        std::string name;
        EXPECT_TRUE(Repo()->GetServer("0001A2B3")->GetCurrentBackup(name));
        return m_root + "/0001A2B3/" + name + "/backup_000.dat";
    }

    // Rewrites the clusterSize word of the stored header (little-endian at offset 4), as in a
    // file from elsewhere: without a checksum file, which would stop the restore at the header.
    void PatchClusterSize(std::uint32_t size)
    {
        const std::string path = StoredPath();
        std::remove((path.substr(0, path.find_last_of('/')) + "/backup.sum").c_str());
        std::string bytes = ReadFile(path);
        ASSERT_GE(bytes.size(), 20u);
        std::uint8_t le[4];
        PutLE(le, size);
        bytes.replace(4, 4, reinterpret_cast<const char*>(le), 4);
        WriteFile(path, bytes);
    }

    std::vector<std::uint32_t> Words(QuarnexConnection& c, std::size_t max)
    {
        std::vector<std::uint32_t> words;
        std::uint32_t w = 0;
        while (words.size() < max && c.ReadWord(w, 20000))
            words.push_back(w);
        return words;
    }
};

TEST_F(HLKRestoreTest, AStoredClusterSizeAboveTheLimitIsRefused)
{
    ASSERT_NO_FATAL_FAILURE(
        PushOk(SimHeader{kSerial, 4096, 0, 0, 0}, true, {Cluster(1, kModeMain, 4096, 1)}));
    ASSERT_NO_FATAL_FAILURE(PatchClusterSize(65537));
    window.Clear();
    SimImage image;
    const RestoreResult r = Sim().Restore(kSerial, image);
    EXPECT_EQ(r.response, kOk); // the backup was found; its header is refused afterwards
    EXPECT_FALSE(r.gotHeader);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(window.Errors(), (std::vector<int>{13, 5}));
    EXPECT_EQ(window.Sequence(), (std::vector<unsigned>{CM_HLKError, CM_HLKRestoreDone, CM_HLKError}));
}

// A record longer than the header's clusterSize (a damaged or foreign file) ends the restore
// as a read error; it must never overrun the buffer of clusterSize bytes.
TEST_F(HLKRestoreTest, ARecordLongerThanTheClusterSizeEndsTheRestoreAsAReadError)
{
    const std::vector<SimCluster> clusters = {Cluster(1, kModeMain, 100, 1), Cluster(2, kModeMain, 4096, 1),
                                              Cluster(3, kModeMain, 50, 1)};
    ASSERT_NO_FATAL_FAILURE(PushOk(SimHeader{kSerial, 4096, 0, 0, 0}, true, clusters));
    ASSERT_NO_FATAL_FAILURE(PatchClusterSize(1000));
    window.Clear();

    SimImage image;
    const RestoreResult r = Sim().Restore(kSerial, image);
    EXPECT_EQ(r.response, kOk);
    EXPECT_TRUE(r.gotHeader);
    EXPECT_EQ(r.header.clusterSize, 1000u);
    EXPECT_EQ(r.records, 1u); // cluster 1 went out, cluster 2 is refused
    EXPECT_FALSE(r.gotDone);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(window.Errors(), (std::vector<int>{13, 5}));
    bool doneFalse = false;
    for (const Note& n : window.Notes())
        if (n.message == CM_HLKRestoreDone)
            doneFalse = !n.success;
    EXPECT_TRUE(doneFalse);
}

// A stored clusterSize of 0 has no divisor for the progress figures.
TEST_F(HLKRestoreTest, AZeroClusterSizeInAStoredHeaderDividesNothingByZero)
{
    ASSERT_NO_FATAL_FAILURE(PushOk(SimHeader{kSerial, 512, 0, 0, 0}, true, {}));
    ASSERT_NO_FATAL_FAILURE(PatchClusterSize(0));
    window.Clear();
    SimImage image;
    RestoreResult r = Sim().Restore(kSerial, image);
    EXPECT_TRUE(r.gotDone);
    EXPECT_EQ(r.header.clusterSize, 0u);
    ASSERT_TRUE(Idle());
    EXPECT_TRUE(window.Errors().empty());

    // With a record, that record is longer than the header allows.
    ASSERT_NO_FATAL_FAILURE(PushOk(SimHeader{kSerial, 512, 0, 0, 0}, true, {Cluster(1, kModeMain, 512, 1)}));
    ASSERT_NO_FATAL_FAILURE(PatchClusterSize(0));
    window.Clear();
    r = Sim().Restore(kSerial, image);
    EXPECT_FALSE(r.gotDone);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(window.Errors(), (std::vector<int>{13, 5}));
}

TEST_F(HLKRestoreTest, AStoredFileCutInsideARecordEndsAsAReadError)
{
    const std::vector<SimCluster> clusters = {Cluster(1, kModeMain, 300, 1), Cluster(2, kModeMain, 300, 1)};
    ASSERT_NO_FATAL_FAILURE(PushOk(SimHeader{kSerial, 512, 0, 0, 0}, true, clusters));
    for (std::size_t cut : {5u, 300u}) { // inside the last record's header, inside its data
        SCOPED_TRACE(cut);
        const std::string path = StoredPath();
        std::string bytes = ReadFile(path);
        WriteFile(path, bytes.substr(0, 20 + 312 + 312 - cut));
        window.Clear();
        SimImage image;
        const RestoreResult r = Sim().Restore(kSerial, image);
        EXPECT_EQ(r.records, 1u);
        EXPECT_FALSE(r.gotDone);
        ASSERT_TRUE(Idle());
        EXPECT_EQ(window.Errors(), (std::vector<int>{13, 5}));
        WriteFile(path, bytes);
    }
}

// The Quarnex server goes away in the middle of a restore: the service neither dies of a
// broken pipe nor hangs; the window hears of the failed send.
TEST_F(HLKRestoreTest, APeerLeavingDuringTheRestoreEndsItAsACommunicationError)
{
    PlanOptions plan;
    plan.count = 256;
    plan.clusterSize = 65536;
    const std::vector<SimCluster> clusters = ClusterPlan::Generate(plan); // 16 MiB
    ASSERT_NO_FATAL_FAILURE(PushOk(SimHeader{kSerial, 65536, 0, 0, 0}, true, clusters));
    window.Clear();

    {
        QuarnexConnection c;
        ASSERT_TRUE(Connect(c));
        ASSERT_TRUE(c.SendWord(0x55AA0006));
        ASSERT_TRUE(c.SendWord(kSerial));
        const std::vector<std::uint32_t> words = Words(c, 6); // response, the header's 5 words
        ASSERT_EQ(words.size(), 6u);
        EXPECT_EQ(words[0], kOk);
        EXPECT_EQ(words[1], kSerial);
    } // closed with megabytes still to come
    ASSERT_TRUE(window.WaitForError(5));
    ASSERT_TRUE(Idle());
    EXPECT_EQ(window.Errors(), (std::vector<int>{15, 5}));
    const std::vector<unsigned> seq = window.Sequence();
    ASSERT_GE(seq.size(), 4u);
    EXPECT_EQ(seq.front(), static_cast<unsigned>(CM_HLKRestoreStarted));
    EXPECT_EQ(seq[seq.size() - 2], static_cast<unsigned>(CM_HLKRestoreDone));

    // The stored backup is still whole and restores.
    EXPECT_EQ(MergeModel::Serialize(RestoreOk(kSerial)),
              MergeModel::Serialize(MergeModel::Full(SimHeader{kSerial, 65536, 0, 0, 0}, clusters)));
}

} // namespace
