// Checksum files written by real backups, and what a verify, a restore, an export and an import
// make of images damaged on disk afterwards: a flipped byte in any sub-file, a cut sub-file, a
// lost or damaged checksum file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "CBFMChecksum.h"
#include "CBFMVerify.h"
#include "CWork.h"
#include "HLKTestHarness.h"

using namespace quarnexsim;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kSerial = 0x0001A2B3;
constexpr std::int32_t kSubFileSize = 5000;
// Data lengths of the pushed clusters (blocks 1..10, all main, so the image keeps this order).
const std::vector<std::size_t> kLengths = {3000, 17, 4096, 0, 1200, 4096, 333, 2500, 4096, 64};

class CBFMVerifyTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        if (HasFatalFailure())
            return;
        for (std::size_t i = 0; i < kLengths.size(); ++i)
            m_clusters.push_back(Cluster(std::uint32_t(i + 1), kModeMain, kLengths[i], i + 7));
        ASSERT_NO_FATAL_FAILURE(PushOk(SimHeader{kSerial, 4096, 11, 22, 33}, true, m_clusters));
        ASSERT_TRUE(Repo()->GetServer("0001A2B3")->GetCurrentBackup(m_backupID));
        m_dir = m_root + "/0001A2B3/" + m_backupID;
    }

    std::unique_ptr<CBFMBackup> Backup() { return Repo()->GetServer("0001A2B3")->GetBackup(m_backupID); }

    CBFMVerify::Result Verify()
    {
        std::unique_ptr<CBFMBackup> backup = Backup();
        EXPECT_TRUE(backup);
        return backup ? CBFMVerify::Verify(*backup) : CBFMVerify::Result();
    }

    // Where each record starts in the logical image, worked out from what was pushed.
    static std::vector<std::uint64_t> RecordStarts()
    {
        std::vector<std::uint64_t> starts;
        std::uint64_t at = 20;
        for (std::size_t length : kLengths) {
            starts.push_back(at);
            at += 12 + length;
        }
        starts.push_back(at); // the end
        return starts;
    }
    static std::uint64_t ImageSize() { return RecordStarts().back(); }

    // The same logical image, kept as a series of small sub-files (as a larger one would be).
    void Resplit(std::int32_t maxBytes)
    {
        const std::string path = m_dir + "/backup.dat";
        std::vector<std::uint8_t> bytes;
        {
            CBFMFile in(path, false);
            bytes.resize(std::size_t(in.GetSize()));
            std::uint32_t got = 0;
            ASSERT_TRUE(in.Read(bytes.data(), std::uint32_t(bytes.size()), got));
        }
        ASSERT_TRUE(CBFMFile::Delete(path));
        CBFMFile out(path, true, maxBytes);
        std::uint32_t written = 0;
        ASSERT_TRUE(out.Write(bytes.data(), std::uint32_t(bytes.size()), written));
        ASSERT_TRUE(out.Sync());
    }

    std::string SubFile(int index) const
    {
        char name[32];
        std::snprintf(name, sizeof name, "/backup_%03d.dat", index);
        return m_dir + name;
    }

    void FlipByte(const std::string& path, std::size_t offset)
    {
        std::string bytes = ReadFile(path);
        ASSERT_LT(offset, bytes.size());
        bytes[offset] = char(bytes[offset] ^ 0x5A);
        WriteFile(path, bytes);
    }

    void Truncate(const std::string& path, std::size_t size) { fs::resize_file(path, size); }

    std::vector<SimCluster> m_clusters;
    std::string m_backupID;
    std::string m_dir;
};

TEST_F(CBFMVerifyTest, ABackupLeavesAChecksumFileThatDescribesItsImage)
{
    ASSERT_TRUE(fs::exists(m_dir + "/backup.sum"));
    EXPECT_FALSE(fs::exists(m_dir + "/merge.sum"));
    CBFMChecksum sum;
    ASSERT_EQ(sum.Open(m_dir + "/backup.sum"), CBFMChecksum::Status::Whole);
    EXPECT_EQ(sum.RecordCount(), kLengths.size());
    EXPECT_EQ(sum.ImageSize(), ImageSize());
    EXPECT_EQ(fs::file_size(m_dir + "/backup.sum"), 16 + 8 * kLengths.size() + 28);

    // Each entry is the hash of a record as the image holds it, header and data side by side.
    const std::string image = ReadFile(m_dir + "/backup_000.dat");
    ASSERT_EQ(image.size(), ImageSize());
    const std::vector<std::uint64_t> starts = RecordStarts();
    for (std::size_t i = 0; i < kLengths.size(); ++i) {
        std::uint64_t hash = 0;
        ASSERT_TRUE(sum.NextRecordHash(hash));
        EXPECT_EQ(hash, CBFMChecksum::Hash(image.data() + starts[i], starts[i + 1] - starts[i]))
            << "record " << i;
    }
    std::uint64_t extra = 0;
    EXPECT_FALSE(sum.NextRecordHash(extra));

    const CBFMVerify::Result r = Verify();
    EXPECT_EQ(r.verdict, CBFMVerify::Verdict::Whole);
    EXPECT_EQ(r.records, kLengths.size());
    EXPECT_EQ(CBFMVerify::Describe(r), "whole (10 records)");
}

TEST_F(CBFMVerifyTest, AFlippedByteInEachSubFileIsNamedBySubFileAndRecordOffset)
{
    ASSERT_NO_FATAL_FAILURE(Resplit(kSubFileSize));
    const int subFiles = int((ImageSize() + kSubFileSize - 1) / kSubFileSize);
    ASSERT_EQ(subFiles, 4);
    ASSERT_EQ(Verify().verdict, CBFMVerify::Verdict::Whole);
    const std::vector<std::uint64_t> starts = RecordStarts();

    for (int k = 0; k < subFiles; ++k) {
        SCOPED_TRACE("sub-file " + std::to_string(k));
        const std::string path = SubFile(k);
        const std::string pristine = ReadFile(path);
        const std::size_t inFile = pristine.size() / 2;
        const std::uint64_t logical = std::uint64_t(k) * kSubFileSize + inFile;
        ASSERT_NO_FATAL_FAILURE(FlipByte(path, inFile));

        // The record holding the byte, found from the pushed lengths alone.
        std::size_t record = 0;
        while (starts[record + 1] <= logical)
            ++record;
        const std::uint64_t start = starts[record];
        char expectedFile[32];
        std::snprintf(expectedFile, sizeof expectedFile, "backup_%03d.dat", int(start / kSubFileSize));

        const CBFMVerify::Result r = Verify();
        EXPECT_EQ(r.verdict, CBFMVerify::Verdict::Damaged);
        EXPECT_EQ(r.file, expectedFile);
        EXPECT_EQ(r.offset, start % kSubFileSize);
        EXPECT_EQ(r.damagedRecords, 1u);
        EXPECT_EQ(CBFMVerify::Describe(r), std::string("damaged in ") + expectedFile + " at offset " +
                                               std::to_string(start % kSubFileSize) +
                                               ": the record does not match its checksum");
        WriteFile(path, pristine);
    }
    EXPECT_EQ(Verify().verdict, CBFMVerify::Verdict::Whole);

    // The header has a checksum of its own.
    ASSERT_NO_FATAL_FAILURE(FlipByte(SubFile(0), 9));
    const CBFMVerify::Result r = Verify();
    EXPECT_EQ(r.verdict, CBFMVerify::Verdict::Damaged);
    EXPECT_EQ(r.file, "backup_000.dat");
    EXPECT_EQ(r.offset, 0u);
    EXPECT_EQ(r.what, "the backup header does not match its checksum");
}

TEST_F(CBFMVerifyTest, ACutSubFileIsNamedWhereItEnds)
{
    ASSERT_NO_FATAL_FAILURE(Resplit(kSubFileSize));
    const std::vector<std::uint64_t> starts = RecordStarts();

    // A sub-file in the middle of the series: the series itself no longer holds together.
    const std::string middle = ReadFile(SubFile(1));
    Truncate(SubFile(1), 4000);
    CBFMVerify::Result r = Verify();
    EXPECT_EQ(r.verdict, CBFMVerify::Verdict::Damaged);
    EXPECT_EQ(r.file, "backup_001.dat");
    EXPECT_EQ(r.offset, 4000u);
    EXPECT_EQ(r.what, "the sub-file ends 1000 bytes early");
    WriteFile(SubFile(1), middle);

    // The last sub-file cut exactly after a record: the structure is whole, the checksum file
    // knows a record is missing.
    const std::uint64_t lastStart = 3 * std::uint64_t(kSubFileSize);
    const std::string last = ReadFile(SubFile(3));
    Truncate(SubFile(3), std::size_t(starts[kLengths.size() - 1] - lastStart));
    r = Verify();
    EXPECT_EQ(r.verdict, CBFMVerify::Verdict::Damaged);
    EXPECT_EQ(r.file, "backup_003.dat");
    EXPECT_EQ(r.offset, starts[kLengths.size() - 1] - lastStart);
    EXPECT_EQ(r.what, "the image ends early, after 9 of its 10 records");

    // Cut inside a record.
    WriteFile(SubFile(3), last);
    Truncate(SubFile(3), std::size_t(starts[kLengths.size() - 1] - lastStart + 20));
    r = Verify();
    EXPECT_EQ(r.verdict, CBFMVerify::Verdict::Damaged);
    EXPECT_EQ(r.file, "backup_003.dat");
    EXPECT_EQ(r.offset, starts[kLengths.size() - 1] - lastStart);
    EXPECT_EQ(r.what, "the last record is cut short");
    WriteFile(SubFile(3), last);
    EXPECT_EQ(Verify().verdict, CBFMVerify::Verdict::Whole);
}

TEST_F(CBFMVerifyTest, WithoutAChecksumFileTheImageIsNotYetCheckedNeverDamaged)
{
    ASSERT_TRUE(fs::remove(m_dir + "/backup.sum"));
    CBFMVerify::Result r = Verify();
    EXPECT_EQ(r.verdict, CBFMVerify::Verdict::NoChecksum);
    EXPECT_EQ(r.records, kLengths.size());
    EXPECT_EQ(CBFMVerify::Describe(r), "no checksum, not yet checked (10 records, structure whole)");

    // Still restored byte for byte, as before checksum files existed.
    const SimImage restored = RestoreOk(kSerial);
    EXPECT_EQ(restored.records, m_clusters);

    // Damage to the structure is still found without one.
    ASSERT_NO_FATAL_FAILURE(Truncate(m_dir + "/backup_000.dat", std::size_t(ImageSize() - 5)));
    r = Verify();
    EXPECT_EQ(r.verdict, CBFMVerify::Verdict::Damaged);
    EXPECT_EQ(r.what, "the last record is cut short");
}

TEST_F(CBFMVerifyTest, ADamagedChecksumFileIsToldApartFromADamagedImage)
{
    ASSERT_NO_FATAL_FAILURE(FlipByte(m_dir + "/backup.sum", 20));
    const CBFMVerify::Result r = Verify();
    EXPECT_EQ(r.verdict, CBFMVerify::Verdict::ChecksumDamaged);
    EXPECT_EQ(r.file, "backup.sum");
    EXPECT_FALSE(CBFMVerify::ImageDamaged(r));
    // The restore goes on as for an image without one.
    EXPECT_EQ(RestoreOk(kSerial).records, m_clusters);
}

TEST_F(CBFMVerifyTest, ARestoreStopsAtTheFirstRecordThatDoesNotMatch)
{
    ASSERT_NO_FATAL_FAILURE(Resplit(kSubFileSize));
    const std::vector<std::uint64_t> starts = RecordStarts();
    // A byte of record 6's data, in the sub-file that holds it.
    const std::uint64_t logical = starts[6] + 12 + 100;
    ASSERT_NO_FATAL_FAILURE(
        FlipByte(SubFile(int(logical / kSubFileSize)), std::size_t(logical % kSubFileSize)));
    window.Clear();

    std::vector<SimCluster> received;
    const RestoreResult r = Sim().Restore(kSerial, [&](const SimCluster& c) { received.push_back(c); });
    EXPECT_EQ(r.response, kOk);
    EXPECT_TRUE(r.gotHeader);
    EXPECT_FALSE(r.gotDone);
    ASSERT_TRUE(Idle());
    // Records 0..5 went out whole; the damaged one and everything after it did not.
    ASSERT_EQ(received.size(), 6u);
    for (std::size_t i = 0; i < received.size(); ++i)
        EXPECT_EQ(received[i], m_clusters[i]);
    EXPECT_EQ(window.Errors(), (std::vector<int>{HLK_ERR_BACKUP_FOLDER_IO, HLK_ERR_RESTORE_FAILED}));
}

TEST_F(CBFMVerifyTest, ARestoreOfAnImageCutAfterARecordEndsAsAReadError)
{
    const std::vector<std::uint64_t> starts = RecordStarts();
    Truncate(m_dir + "/backup_000.dat", std::size_t(starts[8]));
    window.Clear();
    SimImage image;
    const RestoreResult r = Sim().Restore(kSerial, image);
    EXPECT_EQ(r.records, 8u);
    EXPECT_FALSE(r.gotDone);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(window.Errors(), (std::vector<int>{HLK_ERR_BACKUP_FOLDER_IO, HLK_ERR_RESTORE_FAILED}));
}

TEST_F(CBFMVerifyTest, AnIncrementalReplacesTheChecksumFileWithTheMergedImages)
{
    AllowIncrementals("0001A2B3");
    const std::vector<SimCluster> more = {Cluster(3, kModeMain, 99, 40), Cluster(12, kModeScratch, 700, 41)};
    ASSERT_NO_FATAL_FAILURE(PushOk(SimHeader{kSerial, 4096, 11, 22, 33}, false, more));
    std::string current;
    ASSERT_TRUE(Repo()->GetServer("0001A2B3")->GetCurrentBackup(current));
    ASSERT_EQ(current, m_backupID);
    const CBFMVerify::Result r = Verify();
    EXPECT_EQ(r.verdict, CBFMVerify::Verdict::Whole);
    EXPECT_EQ(r.records, kLengths.size() + 1); // block 3 replaced, block 12 added
    EXPECT_FALSE(fs::exists(m_dir + "/merge.sum"));
}

TEST_F(CBFMVerifyTest, AnIncrementalIsNotMergedIntoADamagedImage)
{
    AllowIncrementals("0001A2B3");
    const std::vector<std::uint64_t> starts = RecordStarts();
    // Record 6 is not replaced by the incremental: a merge would copy its damage on.
    ASSERT_NO_FATAL_FAILURE(FlipByte(m_dir + "/backup_000.dat", std::size_t(starts[6] + 12 + 100)));
    const std::string damaged = ReadFile(m_dir + "/backup_000.dat");
    const std::string sum = ReadFile(m_dir + "/backup.sum");

    window.Clear();
    const PushResult r =
        Sim().Push(SimHeader{kSerial, 4096, 11, 22, 33}, false, {Cluster(3, kModeMain, 99, 40)});
    ASSERT_TRUE(r.completed); // DONE is answered before the merge
    ASSERT_TRUE(window.WaitForMessage(CM_HLKSaveBackupDone));
    ASSERT_TRUE(Idle());
    const std::vector<Note> notes = window.Notes();
    ASSERT_GE(notes.size(), 2u);
    EXPECT_FALSE(notes[notes.size() - 2].success);
    EXPECT_EQ(notes.back().message, unsigned(CM_HLKBackupNotSaved));
    // Nothing was committed over the damaged image, no checksum file blesses a merge of it,
    // and the server's next backup is a full one.
    EXPECT_EQ(ReadFile(m_dir + "/backup_000.dat"), damaged);
    EXPECT_EQ(ReadFile(m_dir + "/backup.sum"), sum);
    EXPECT_FALSE(fs::exists(m_dir + "/merge.sum"));
    std::string current;
    EXPECT_FALSE(Repo()->GetServer("0001A2B3")->GetCurrentBackup(current));
    EXPECT_EQ(Verify().verdict, CBFMVerify::Verdict::Damaged);
}

TEST_F(CBFMVerifyTest, ExportAndImportCarryTheChecksumFile)
{
    const std::string original = ReadFile(m_dir + "/backup.sum");
    const std::string exportDir = SandboxPath("export");
    ASSERT_EQ(Repo()->ExportBackup(exportDir, "0001A2B3", m_backupID), CBFMRepository::ResultSuccess);
    const std::string exported = exportDir + "/0001A2B3/" + m_backupID;
    EXPECT_EQ(ReadFile(exported + "/backup.sum"), original);

    ASSERT_TRUE(Repo()->DeleteBackup("0001A2B3", m_backupID));
    EXPECT_FALSE(fs::exists(m_dir + "/backup.sum"));

    // An export whose image was damaged on the way is refused, and leaves nothing behind.
    const std::string image = exported + "/backup_000.dat";
    const std::string pristine = ReadFile(image);
    ASSERT_NO_FATAL_FAILURE(FlipByte(image, 500));
    EXPECT_EQ(Repo()->ImportBackup(exportDir), CBFMRepository::ResultNotOneBackup);
    EXPECT_FALSE(fs::exists(m_dir));

    WriteFile(image, pristine);
    ASSERT_EQ(Repo()->ImportBackup(exportDir), CBFMRepository::ResultSuccess);
    EXPECT_EQ(ReadFile(m_dir + "/backup.sum"), original);
    EXPECT_EQ(Verify().verdict, CBFMVerify::Verdict::Whole);

    // An export of an image without one imports without one.
    ASSERT_TRUE(fs::remove(exported + "/backup.sum"));
    ASSERT_TRUE(Repo()->DeleteBackup("0001A2B3", m_backupID));
    ASSERT_EQ(Repo()->ImportBackup(exportDir), CBFMRepository::ResultSuccess);
    EXPECT_FALSE(fs::exists(m_dir + "/backup.sum"));
    EXPECT_EQ(Verify().verdict, CBFMVerify::Verdict::NoChecksum);
}

TEST_F(CBFMVerifyTest, VerifyOnTheWorkQueueMakesTheNextBackupOfADamagedCurrentOneFull)
{
    AllowIncrementals("0001A2B3");
    // A second server whose backup stays whole.
    ASSERT_NO_FATAL_FAILURE(
        PushOk(SimHeader{0x00C0FFEE, 4096, 1, 2, 3}, true, {Cluster(1, kModeMain, 10, 3)}));
    AllowIncrementals("00C0FFEE");
    ASSERT_NO_FATAL_FAILURE(FlipByte(m_dir + "/backup_000.dat", 40));

    window.Clear();
    CWork(CWork::TypeVerify, "").Execute();
    const std::vector<unsigned> expected = {CM_HLKVerifyStarted, CM_HLKVerifyResult, CM_HLKVerifyResult,
                                            CM_HLKVerifyDone};
    EXPECT_EQ(window.Sequence(), expected);

    std::string current;
    EXPECT_FALSE(Repo()->GetServer("0001A2B3")->GetCurrentBackup(current));
    EXPECT_TRUE(Repo()->GetServer("00C0FFEE")->GetCurrentBackup(current));
    bool refused = false;
    ASSERT_TRUE(Sim().OfferIncremental(SimHeader{kSerial, 4096, 11, 22, 33}, refused));
    EXPECT_TRUE(refused);
    ASSERT_TRUE(Idle());
    ASSERT_TRUE(Sim().OfferIncremental(SimHeader{0x00C0FFEE, 4096, 1, 2, 3}, refused));
    EXPECT_FALSE(refused);
    ASSERT_TRUE(Idle());

    // One server only.
    window.Clear();
    CWork(CWork::TypeVerify, "00C0FFEE").Execute();
    EXPECT_EQ(window.Sequence(),
              (std::vector<unsigned>{CM_HLKVerifyStarted, CM_HLKVerifyResult, CM_HLKVerifyDone}));
}

TEST_F(CBFMVerifyTest, ACancelledVerifyStopsAndSaysSo)
{
    window.Clear();
    GUIComm::Instance()->RequestCancel();
    // The flag is looked at as the first image's reading ends.
    CWork(CWork::TypeVerify, "").Execute();
    EXPECT_EQ(window.Sequence(), (std::vector<unsigned>{CM_HLKVerifyStarted, CM_HLKVerifyDone}));
    EXPECT_FALSE(GUIComm::Instance()->IsCancelRequested());
}

// The sample folder predates checksum files: its backups are not yet checked, and whole.
TEST(CBFMVerifySampleFolder, OldFoldersVerifyAsNotYetChecked)
{
    const fs::path root = fs::temp_directory_path() / ("hl-verify-sample-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::copy(std::string(HARBORLOCK_FIXTURES) + "/backup-folder", root, fs::copy_options::recursive);
    int checked = 0;
    for (const char* path : {"0001A2B3/417", "0001A2B3/12", "00C0FFEE/9999"}) {
        if (!fs::exists(root / path))
            continue;
        CBFMBackup backup((root / path).string());
        const CBFMVerify::Result r = CBFMVerify::Verify(backup);
        EXPECT_EQ(r.verdict, CBFMVerify::Verdict::NoChecksum) << path << ": " << CBFMVerify::Describe(r);
        ++checked;
    }
    EXPECT_GE(checked, 2);
    fs::remove_all(root);
}

} // namespace
