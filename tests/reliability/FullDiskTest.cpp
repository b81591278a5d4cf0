// A full disk, for real (a small tmpfs) and through fault injection: the disk fills during a
// transfer, a merge, a commit, an export and an import. Afterwards the previous image is
// intact, no temporary data file is left, the window was told with the designed codes, and
// the service takes the next backup. A backup that was acknowledged at DONE but ran out of
// room afterwards leaves the Quarnex server's next incremental refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "FaultPlatform.h"
#include "QuarnexView.h"
#include "ServiceFixture.h"
#include "TmpfsMount.h"
#if HARBORLOCK_HAS_WORK_QUEUE
#include "CWork.h"
#endif

using namespace quarnexsim;

namespace {

const SimHeader kHeader{0x00FEED01, 1024, 1, 2, 3};

std::vector<SimCluster> Clusters(std::uint32_t count, std::uint32_t seed, int scratch = 0,
                                 std::uint32_t first = 1)
{
    PlanOptions po;
    po.clusterSize = kHeader.clusterSize;
    po.count = count;
    po.scratchPercent = scratch;
    po.firstBlock = first;
    po.seed = seed;
    return ClusterPlan::Generate(po);
}

[[maybe_unused]] std::vector<std::string> RegularFiles(const std::string& dir)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file())
            out.push_back(it->path().string());
    return out;
}

class FullDiskTest : public InProcessServiceTest {
protected:
    // The backup the server holds must be exactly `image`.
    void ExpectRestores(std::uint16_t port, const SimImage& image, const char* what)
    {
        const reliability::RestoreOutcome r = reliability::RestoreFrom(port, kHeader.serialNumber);
        ASSERT_TRUE(r.complete) << what << ": nothing restores: " << r.failure;
        EXPECT_TRUE(reliability::SameImage(r.image, image))
            << what << ": restored " << reliability::Describe(r.image) << ", expected "
            << reliability::Describe(image);
    }
    void ExpectNoTemporaryFiles(const std::string& root, const char* what)
    {
        const std::vector<std::string> left = TemporaryFiles(root);
        EXPECT_TRUE(left.empty()) << what << ": " << left.size() << " temporary files left, e.g. "
                                  << left.front();
    }
    bool HasError(int code)
    {
        const std::vector<int> e = m_window.Errors();
        return std::find(e.begin(), e.end(), code) != e.end();
    }
    // Whether the service refuses an incremental HELLO now.
    static bool IncrementalRefused(std::uint16_t port)
    {
        QuarnexSim sim("127.0.0.1", port);
        sim.SetTimeoutMs(20000);
        bool refused = false;
        EXPECT_TRUE(sim.OfferIncremental(kHeader, refused));
        EXPECT_TRUE(testsupport::ServiceIdle(port));
        return refused;
    }
    bool NotSavedReported()
    {
        return m_window.WaitFor([](const Note& n) {
            return n.message == CM_HLKBackupNotSaved && n.text == reliability::ServerId(kHeader.serialNumber);
        });
    }
};

TEST_F(FullDiskTest, SmallFileSystemFillsDuringTransferMergeExportAndImport)
{
    TmpfsMount disk;
    std::string why;
    if (!disk.Mount(SandboxPath("disk"), 4u << 20, why))
        GTEST_SKIP() << why;
    const std::string root = SandboxPath("disk/backups");
    ASSERT_TRUE(OpenRepository(root, kHeader.serialNumber, 0));
    const std::uint16_t port = StartService();
    ASSERT_NE(port, 0);

    const std::vector<SimCluster> first = Clusters(100, 1, 20);
    ASSERT_TRUE(Push(port, kHeader, true, first).completed);
    ASSERT_TRUE(testsupport::ServiceIdle(port));
    const SimImage a = MergeModel::Full(kHeader, first);
    ExpectRestores(port, a, "first backup");

    // 1. The transfer outgrows the disk (the server's estimate was far too low).
    m_window.Clear();
    const PushResult big = Push(port, kHeader, true, Clusters(5000, 2), 1);
    EXPECT_FALSE(big.completed);
    ASSERT_TRUE(testsupport::ServiceIdle(port));
    EXPECT_TRUE(HasError(4)) << "a transfer cut by a full disk is reported as \"Backup failed.\"";
    EXPECT_FALSE(Saved());
    ExpectRestores(port, a, "after the transfer filled the disk");
    ExpectNoTemporaryFiles(root, "after the transfer filled the disk");

    // 2. The transfer fits, the merge does not.
    m_window.Clear();
    const PushResult mid = Push(port, kHeader, true, Clusters(2200, 3, 10), 1);
    EXPECT_TRUE(mid.completed) << mid.failure;
    ASSERT_TRUE(testsupport::ServiceIdle(port));
    EXPECT_TRUE(HasError(14)) << "a merge cut by a full disk is reported as \"Error finalizing backup.\"";
    EXPECT_TRUE(
        m_window.WaitFor([](const Note& n) { return n.message == CM_HLKSaveBackupDone && !n.success; }));
    ExpectRestores(port, a, "after the merge filled the disk");
    ExpectNoTemporaryFiles(root, "after the merge filled the disk");
    // The Quarnex server believes the backup is stored: its next incremental must not be
    // merged into the older image.
    EXPECT_TRUE(NotSavedReported()) << "the window was not told the next backup will be a full one";
    EXPECT_TRUE(IncrementalRefused(port))
        << "an incremental was accepted after an acknowledged backup was lost";

    // 3. An honest estimate that does not fit is refused before anything is written.
    m_window.Clear();
    const std::int64_t availableMB = static_cast<std::int64_t>(disk.Free() >> 20);
    const PushResult refused = Push(port, kHeader, true, Clusters(3000, 4));
    EXPECT_FALSE(refused.completed);
    EXPECT_EQ(refused.sizeResponse, 0xFFFFFFFFu);
    ASSERT_TRUE(testsupport::ServiceIdle(port));
    EXPECT_TRUE(m_window.WaitFor([&](const Note& n) {
        return n.message == CM_HLKInsufficientDiskSpace && n.number == 4 && n.number2 == availableMB &&
               n.text == reliability::ServerId(kHeader.serialNumber);
    })) << "insufficient-space notification with needed 4 MB, available "
        << availableMB << " MB";
    ExpectRestores(port, a, "after a refused estimate");

    // 4. The next backup goes through.
    m_window.Clear();
    const std::vector<SimCluster> third = Clusters(200, 5, 30);
    ASSERT_TRUE(Push(port, kHeader, true, third).completed);
    ASSERT_TRUE(testsupport::ServiceIdle(port));
    EXPECT_TRUE(Saved());
    const SimImage c = MergeModel::Full(kHeader, third);
    ExpectRestores(port, c, "the backup after the full disk");
    ExpectNoTemporaryFiles(root, "after a good backup");

#if HARBORLOCK_HAS_WORK_QUEUE
    std::vector<TBackupInfo> backups;
    CBFMRepository::GetInstance(nullptr)->GetAllBackups(backups);
    ASSERT_EQ(backups.size(), 1u);
    const TBackupInfo info = backups.front();

    // 5. Export onto a disk too small for the image.
    TmpfsMount small;
    ASSERT_TRUE(small.Mount(SandboxPath("small"), 64u << 10, why)) << why;
    m_window.Clear();
    CWork(CWork::TypeExport, SandboxPath("small/export"), info).Execute();
    EXPECT_TRUE(HasError(11))
        << "an export onto a full disk is reported as \"Copying backup failed because disk is full.\"";
    EXPECT_TRUE(m_window.WaitFor([](const Note& n) { return n.message == CM_HLKExportDone && !n.success; }));
    const std::vector<std::string> partial = RegularFiles(SandboxPath("small"));
    EXPECT_TRUE(partial.empty()) << "a failed export left " << partial.front();
    ExpectRestores(port, c, "after a failed export");

    // 6. Import into a backup folder whose disk is full.
    CWork(CWork::TypeExport, SandboxPath("export"), info).Execute();
    ASSERT_TRUE(m_window.WaitFor([](const Note& n) { return n.message == CM_HLKExportDone && n.success; }));
    ASSERT_TRUE(CBFMRepository::GetInstance(nullptr)->DeleteBackup(info.serverID, info.backupID));
    const std::uint64_t keepFree = 48u << 10;
    {
        std::ofstream filler(SandboxPath("disk/filler"), std::ios::binary);
        const std::string block(64u << 10, '\0');
        while (disk.Free() > keepFree + block.size())
            filler.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    m_window.Clear();
    CWork(CWork::TypeImport, SandboxPath("export"), TBackupInfo()).Execute();
    EXPECT_TRUE(HasError(11))
        << "an import onto a full disk is reported as \"Copying backup failed because disk is full.\"";
    EXPECT_TRUE(m_window.WaitFor([](const Note& n) { return n.message == CM_HLKImportDone && !n.success; }));
    backups.clear();
    CBFMRepository::GetInstance(nullptr)->GetAllBackups(backups);
    EXPECT_TRUE(backups.empty()) << "a failed import left a backup record";
    EXPECT_FALSE(std::filesystem::exists(root + "/" + info.serverID + "/" + info.backupID))
        << "a failed import left its directory";

    std::filesystem::remove(SandboxPath("disk/filler"));
    m_window.Clear();
    CWork(CWork::TypeImport, SandboxPath("export"), TBackupInfo()).Execute();
    EXPECT_TRUE(m_window.WaitFor([](const Note& n) { return n.message == CM_HLKImportDone && n.success; }));
    ExpectRestores(port, c, "the backup imported once the disk had room");
#endif
    StopAll();
}

// Calls that need room on the disk. Opening an existing file never does, so only opens that
// create are counted (see DiskFullPlatform).
constexpr std::uint32_t kNeedsRoom =
    hl::kOpWrite | hl::kOpOpen | hl::kOpMkdir | hl::kOpCopy | hl::kOpTempName | hl::kOpTruncate | hl::kOpSync;

class DiskFullPlatform : public hl::FaultPlatform {
public:
    using hl::FaultPlatform::FaultPlatform;
    int OpenFile(const std::string& path, hl::OpenMode mode) override
    {
        if (mode == hl::OpenMode::Read || mode == hl::OpenMode::ReadWrite)
            return Inner().OpenFile(path, mode);
        return hl::FaultPlatform::OpenFile(path, mode);
    }
};

class InjectedFullDiskTest : public FullDiskTest {
protected:
    // A disk that fills at the kth call needing room and stays full while one backup runs;
    // then room is made. Returns false once k lies beyond the backup.
    bool Run(bool incremental, std::uint64_t k, std::map<std::string, int>& outcomes)
    {
        const std::string root = SandboxPath("k" + std::to_string(k) + (incremental ? "i" : "f"));
        EXPECT_TRUE(OpenRepository(root, kHeader.serialNumber, 0));
        std::uint16_t port = StartService();
        EXPECT_NE(port, 0);
        const std::vector<SimCluster> first = Clusters(120, 21, 25);
        EXPECT_TRUE(Push(port, kHeader, true, first).completed);
        EXPECT_TRUE(testsupport::ServiceIdle(port));
        const SimImage a = MergeModel::Full(kHeader, first);
        const std::vector<SimCluster> second = Clusters(incremental ? 60 : 150, 22, 30, 40);
        const SimImage b =
            incremental ? MergeModel::Incremental(a, kHeader, second) : MergeModel::Full(kHeader, second);

        m_window.Clear();
        DiskFullPlatform fault(hl::PosixPlatform());
        fault.FailNth(k, hl::kErrDiskFull, kNeedsRoom, true);
        QuarnexView view;
        PushResult acknowledged;
        acknowledged.completed = true;
        view.Pushed(kHeader, true, first, acknowledged);
        PushResult p;
        {
            hl::ScopedPlatform use(fault);
            p = Push(port, kHeader, !incremental, second);
            EXPECT_TRUE(testsupport::ServiceIdle(port));
        }
        view.Pushed(kHeader, !incremental, second, p);
        const bool hit = fault.Hit();
        const bool saved = Saved();
        const std::vector<int> errors = m_window.Errors();
        for (int e : errors)
            EXPECT_TRUE(e == 4 || e == 13 || e == 14) << "unexpected error code " << e;
        if (hit && !saved) {
            EXPECT_FALSE(errors.empty()) << "a backup that failed on a full disk was not reported";
        }
        if (!hit) {
            EXPECT_TRUE(saved && errors.empty());
        }

        const reliability::RestoreOutcome r = reliability::RestoreFrom(port, kHeader.serialNumber);
        EXPECT_TRUE(r.complete) << "nothing restores: " << r.failure;
        std::string result = "neither";
        if (reliability::SameImage(r.image, b))
            result = "new";
        else if (reliability::SameImage(r.image, a))
            result = "old";
        EXPECT_NE(result, "neither") << "restored " << reliability::Describe(r.image);
        if (saved) {
            EXPECT_EQ(result, "new") << "a backup reported saved is not what restores";
        }
        const bool lostAfterDone = p.completed && !saved;
        if (lostAfterDone) {
            EXPECT_TRUE(NotSavedReported()) << "the window was not told the next backup will be a full one";
        }
        ++outcomes[std::string(saved           ? "saved"
                               : lostAfterDone ? "failed after DONE"
                                               : "failed before DONE") +
                   ", " + result + " image restores"];
        ExpectNoTemporaryFiles(root, "after the disk was full");

        // Room again: the next backup goes through.
        m_window.Clear();
        const std::vector<SimCluster> third = Clusters(30, 23, 30, 10);
        const PushResult next = Push(port, kHeader, false, third);
        EXPECT_TRUE(next.completed) << next.failure;
        std::string why;
        EXPECT_TRUE(view.Holds(kHeader.serialNumber, r.image, next.fellBackToFull, why)) << why;
        if (lostAfterDone) {
            EXPECT_TRUE(next.fellBackToFull) << "the incremental after a backup lost past DONE was accepted";
        }
        EXPECT_TRUE(testsupport::ServiceIdle(port));
        EXPECT_TRUE(Saved()) << "the backup after the full disk was not saved";
        const SimImage base = result == "new" ? b : a;
        const SimImage c = next.fellBackToFull ? MergeModel::Full(kHeader, third)
                                               : MergeModel::Incremental(base, kHeader, third);
        ExpectRestores(port, c, "the backup after the full disk");
        StopAll();
        return hit;
    }
};

TEST_F(InjectedFullDiskTest, DiskFillsAtEachCallOfAFullBackup)
{
    std::map<std::string, int> outcomes;
    std::uint64_t k = 1;
    for (; k < 400 && !HasFailure(); ++k) {
        SCOPED_TRACE("disk full from call " + std::to_string(k));
        if (!Run(false, k, outcomes))
            break;
    }
    EXPECT_LT(k, 400u);
    for (const auto& [what, n] : outcomes)
        std::printf("[ disk  ] full backup, disk full at one of %llu calls: %s %d\n",
                    static_cast<unsigned long long>(k - 1), what.c_str(), n);
}

TEST_F(InjectedFullDiskTest, DiskFillsAtEachCallOfAnIncrementalBackup)
{
    std::map<std::string, int> outcomes;
    std::uint64_t k = 1;
    for (; k < 400 && !HasFailure(); ++k) {
        SCOPED_TRACE("disk full from call " + std::to_string(k));
        if (!Run(true, k, outcomes))
            break;
    }
    EXPECT_LT(k, 400u);
    for (const auto& [what, n] : outcomes)
        std::printf("[ disk  ] incremental backup, disk full at one of %llu calls: %s %d\n",
                    static_cast<unsigned long long>(k - 1), what.c_str(), n);
}

#if HARBORLOCK_HAS_WORK_QUEUE
TEST_F(FullDiskTest, ExportAndImportReportAFullDiskAtEachCopy)
{
    const std::string root = SandboxPath("backups");
    ASSERT_TRUE(OpenRepository(root, kHeader.serialNumber, 0));
    const std::uint16_t port = StartService();
    ASSERT_NE(port, 0);
    const std::vector<SimCluster> first = Clusters(150, 31, 20);
    ASSERT_TRUE(Push(port, kHeader, true, first).completed);
    ASSERT_TRUE(testsupport::ServiceIdle(port));
    const SimImage a = MergeModel::Full(kHeader, first);
    std::vector<TBackupInfo> backups;
    CBFMRepository::GetInstance(nullptr)->GetAllBackups(backups);
    ASSERT_EQ(backups.size(), 1u);
    const TBackupInfo info = backups.front();

    int exportCuts = 0;
    for (std::uint64_t k = 1; k < 50; ++k) {
        SCOPED_TRACE("export, disk full at data write " + std::to_string(k));
        const std::string dest = SandboxPath("exp" + std::to_string(k));
        m_window.Clear();
        hl::FaultPlatform fault(hl::PosixPlatform());
        fault.FailNth(k, hl::kErrDiskFull, hl::kOpWrite | hl::kOpCopy, true);
        {
            hl::ScopedPlatform use(fault);
            CWork(CWork::TypeExport, dest, info).Execute();
        }
        if (!fault.Hit()) {
            EXPECT_TRUE(
                m_window.WaitFor([](const Note& n) { return n.message == CM_HLKExportDone && n.success; }));
            break;
        }
        ++exportCuts;
        EXPECT_EQ(m_window.Errors(), std::vector<int>{11});
        EXPECT_TRUE(
            m_window.WaitFor([](const Note& n) { return n.message == CM_HLKExportDone && !n.success; }));
        EXPECT_FALSE(std::filesystem::exists(dest)) << "a failed export left its directory";
    }
    EXPECT_GT(exportCuts, 0);

    // Import of that export, after the original was deleted.
    const std::string tree = SandboxPath("exp" + std::to_string(exportCuts + 1));
    ASSERT_TRUE(CBFMRepository::GetInstance(nullptr)->DeleteBackup(info.serverID, info.backupID));
    int importCuts = 0;
    for (std::uint64_t k = 1; k < 50; ++k) {
        SCOPED_TRACE("import, disk full at data write " + std::to_string(k));
        m_window.Clear();
        hl::FaultPlatform fault(hl::PosixPlatform());
        fault.FailNth(k, hl::kErrDiskFull, hl::kOpWrite | hl::kOpCopy, true);
        {
            hl::ScopedPlatform use(fault);
            CWork(CWork::TypeImport, tree, TBackupInfo()).Execute();
        }
        if (!fault.Hit()) {
            EXPECT_TRUE(
                m_window.WaitFor([](const Note& n) { return n.message == CM_HLKImportDone && n.success; }));
            break;
        }
        ++importCuts;
        EXPECT_EQ(m_window.Errors(), std::vector<int>{11});
        EXPECT_TRUE(
            m_window.WaitFor([](const Note& n) { return n.message == CM_HLKImportDone && !n.success; }));
        EXPECT_FALSE(std::filesystem::exists(root + "/" + info.serverID + "/" + info.backupID))
            << "a failed import left its directory";
        const reliability::RestoreOutcome r = reliability::RestoreFrom(port, kHeader.serialNumber);
        EXPECT_TRUE(r.refused) << "a failed import left something to restore";
    }
    EXPECT_GT(importCuts, 0);
    ExpectRestores(port, a, "the imported backup");
    std::printf("[ disk  ] export cut at %d copies, import at %d, each reported with code 11\n", exportCuts,
                importCuts);
    StopAll();
}
#endif

} // namespace
