// The checksum file byte for byte: the sample image of the storage-format document and its
// checksum file, computed independently with the xxhsum tool (xxHash's XXH3-64), and how the reader takes
// files that are not whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "CBFMBackup.h"
#include "CBFMChecksum.h"
#include "CBFMFile.h"
#include "CBFMVerify.h"
#include "TestSandbox.h"

namespace {

std::string FromHex(const std::string& hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// The full backup of docs/protocol.md: header, blocks 1 "one", 2 "two", 3 "three".
const std::string kImage = FromHex(
    "b3a20100001000000b00000016000000210000000000000100000002000000036f6e6500000002000000020000000374776f00"
    "00000300000001000000057468726565");
const std::string kSum = FromHex("484c434b010000002a6c523e763cb87177e8366aa17434d3bd956d6fc38f2dc5de0ff4f80e7"
                                 "1ae3c03000000000000004300000000"
                                 "0000005ee547baeff99226484c4345");

class CBFMChecksumTest : public SandboxTest {
protected:
    std::string ImagePath() { return SandboxPath("backup.dat"); }
    std::string SumPath() { return SandboxPath("backup.sum"); }

    void WriteImage(const std::string& bytes)
    {
        CBFMFile file(ImagePath(), true);
        std::uint32_t written = 0;
        ASSERT_TRUE(file.Write(bytes.data(), std::uint32_t(bytes.size()), written));
        ASSERT_TRUE(file.Sync());
    }

    CBFMChecksum::Status OpenWith(const std::string& bytes)
    {
        WriteFile(SumPath(), bytes);
        CBFMChecksum sum;
        return sum.Open(SumPath());
    }
};

TEST_F(CBFMChecksumTest, TheSampleImageGetsTheDocumentedChecksumFile)
{
    EXPECT_EQ(CBFMChecksum::PathFor("/a/b/backup.dat"), "/a/b/backup.sum");
    EXPECT_EQ(CBFMChecksum::PathFor("/a/b.c/merge.dat"), "/a/b.c/merge.sum");
    ASSERT_NO_FATAL_FAILURE(WriteImage(kImage));
    {
        CBFMFile image(ImagePath(), false);
        ASSERT_TRUE(CBFMChecksum::WriteForImage(image, SumPath()));
    }
    EXPECT_EQ(ReadFile(SumPath()), kSum);

    CBFMChecksum sum;
    ASSERT_EQ(sum.Open(SumPath()), CBFMChecksum::Status::Whole);
    EXPECT_EQ(sum.RecordCount(), 3u);
    EXPECT_EQ(sum.ImageSize(), 67u);
    EXPECT_EQ(sum.HeaderHash(), 0x71B83C763E526C2Aull);
    std::uint64_t hash = 0;
    ASSERT_TRUE(sum.NextRecordHash(hash));
    EXPECT_EQ(hash, 0xD33474A16A36E877ull);
    ASSERT_TRUE(sum.NextRecordHash(hash));
    EXPECT_EQ(hash, 0xC52D8FC36F6D95BDull);
    ASSERT_TRUE(sum.NextRecordHash(hash));
    EXPECT_EQ(hash, 0x3CAE710EF8F40FDEull);
    EXPECT_FALSE(sum.NextRecordHash(hash));
    EXPECT_EQ(CBFMChecksum::Hash("123456789", 9), 0x72DCB18B67A17DFFull); // xxhsum -H3 of the same
}

// Long blocks take another code path (the processor's widest vector unit): same values.
TEST_F(CBFMChecksumTest, LongBlocksHashAsXxhsumSays)
{
    std::string block(65536, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = char((i * 31) & 255);
    EXPECT_EQ(CBFMChecksum::Hash(block.data(), block.size()), 0x0B481E6D91382B8Eull);
    EXPECT_EQ(CBFMChecksum::Hash(block.data(), 5000), 0x60B1C0AE31E84FEFull);
}

TEST_F(CBFMChecksumTest, OnlyAWholeFileOpens)
{
    EXPECT_EQ(OpenWith(kSum), CBFMChecksum::Status::Whole);
    {
        CBFMChecksum none;
        EXPECT_EQ(none.Open(SandboxPath("absent.sum")), CBFMChecksum::Status::Missing);
    }
    EXPECT_EQ(OpenWith(""), CBFMChecksum::Status::Damaged);
    EXPECT_EQ(OpenWith(kSum.substr(0, kSum.size() - 8)), CBFMChecksum::Status::Damaged); // cut
    EXPECT_EQ(OpenWith(kSum + std::string(8, '\0')), CBFMChecksum::Status::Damaged);     // grown
    std::string entry = kSum;
    entry[17] ^= 1; // a record's entry: the file's own hash no longer agrees
    EXPECT_EQ(OpenWith(entry), CBFMChecksum::Status::Damaged);
    std::string magic = kSum;
    magic[0] = 'X';
    EXPECT_EQ(OpenWith(magic), CBFMChecksum::Status::Damaged);
    std::string count = kSum;
    count[40] = 4; // four records in a file that has room for three
    EXPECT_EQ(OpenWith(count), CBFMChecksum::Status::Damaged);
    std::string version = kSum;
    version[4] = 2;
    EXPECT_EQ(OpenWith(version), CBFMChecksum::Status::Unsupported);
}

TEST_F(CBFMChecksumTest, AnUnfinishedFileIsRemovedAndWritingItOverAnOldOneReplacesIt)
{
    WriteFile(SumPath(), "stale");
    {
        CBFMChecksum sum;
        ASSERT_TRUE(sum.Begin(SumPath(), BackupDataLayout::BackupHeader{1, 512, 0, 0, 0}));
        const std::string record = FromHex("000000010000000200000001") + "x";
        sum.AddRecord(reinterpret_cast<const std::uint8_t*>(record.data()), record.size());
        EXPECT_TRUE(sum.IsWriting());
    } // never finished
    EXPECT_FALSE(std::filesystem::exists(SumPath()));

    CBFMChecksum sum;
    EXPECT_FALSE(sum.Finish()); // nothing begun
    sum.AddRecord(nullptr, 0);  // and nothing written
    EXPECT_FALSE(std::filesystem::exists(SumPath()));
    ASSERT_TRUE(sum.Begin(SumPath(), BackupDataLayout::BackupHeader{1, 512, 0, 0, 0}));
    ASSERT_TRUE(sum.Finish());
    CBFMChecksum read;
    ASSERT_EQ(read.Open(SumPath()), CBFMChecksum::Status::Whole);
    EXPECT_EQ(read.RecordCount(), 0u);
    EXPECT_EQ(read.ImageSize(), 20u);
}

// A merge output of `count` records; its checksum file as well when withSum.
void WriteMerge(CBFMBackup& record, std::uint32_t count, bool withSum)
{
    std::unique_ptr<CBFMFile> merge = record.CreateBFMFile(CBFMBackup::TmpMergeFile);
    ASSERT_TRUE(merge);
    const BackupDataLayout::BackupHeader header{7, 512, 0, 0, 0};
    std::uint8_t bytes[BackupDataLayout::kBackupHeaderSize];
    BackupDataLayout::EncodeBackupHeader(header, bytes);
    std::uint32_t written = 0;
    ASSERT_TRUE(merge->Write(bytes, sizeof bytes, written));
    CBFMChecksum sum;
    if (withSum) {
        ASSERT_TRUE(sum.Begin(record.GetChecksumPath(CBFMBackup::TmpMergeFile), header));
    }
    std::uint8_t rec[BackupDataLayout::kClusterHeaderSize + 40] = {};
    for (std::uint32_t i = 0; i < count; ++i) {
        BackupDataLayout::EncodeClusterHeader({i, BackupDataLayout::kModeMain, 40}, rec);
        ASSERT_TRUE(merge->Write(rec, sizeof rec, written));
        sum.AddRecord(rec, sizeof rec);
    }
    ASSERT_TRUE(merge->Sync());
    if (withSum) {
        ASSERT_TRUE(sum.Finish());
    }
}

// What the commit does with checksum files that do not come from the merge being committed.
TEST_F(CBFMChecksumTest, ACommitNeverLeavesAnImageWithAnotherImagesChecksumFile)
{
    const std::string dir = SandboxPath("5");
    std::filesystem::create_directories(dir);
    CBFMBackup record(dir, "5");
    ASSERT_NO_FATAL_FAILURE(WriteMerge(record, 3, true));
    ASSERT_TRUE(record.CommitMerge(true));
    EXPECT_EQ(CBFMVerify::Verify(record).verdict, CBFMVerify::Verdict::Whole);
    EXPECT_FALSE(std::filesystem::exists(dir + "/merge.sum"));

    // A new image made without one (not by the merge): the old image's goes with the old image.
    ASSERT_NO_FATAL_FAILURE(WriteMerge(record, 4, false));
    ASSERT_TRUE(record.CommitMerge(false));
    EXPECT_FALSE(std::filesystem::exists(dir + "/backup.sum"));
    CBFMVerify::Result r = CBFMVerify::Verify(record);
    EXPECT_EQ(r.verdict, CBFMVerify::Verdict::NoChecksum);
    EXPECT_EQ(r.records, 4u);

    // A stray merge.sum of another merge (here, of three records) is not taken for this one's.
    ASSERT_NO_FATAL_FAILURE(WriteMerge(record, 3, true));
    const std::string stray = ReadFile(dir + "/merge.sum");
    ASSERT_NO_FATAL_FAILURE(WriteMerge(record, 6, false));
    WriteFile(dir + "/merge.sum", stray);
    ASSERT_TRUE(record.CommitMerge(false));
    EXPECT_FALSE(std::filesystem::exists(dir + "/backup.sum"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/merge.sum"));
    r = CBFMVerify::Verify(record);
    EXPECT_EQ(r.verdict, CBFMVerify::Verdict::NoChecksum);
    EXPECT_EQ(r.records, 6u);

    // Clean-up and delete take checksum files along.
    WriteFile(dir + "/merge.sum", stray);
    EXPECT_TRUE(record.Cleanup());
    EXPECT_FALSE(std::filesystem::exists(dir + "/merge.sum"));
    ASSERT_NO_FATAL_FAILURE(WriteMerge(record, 2, true));
    ASSERT_TRUE(record.CommitMerge(false));
    ASSERT_TRUE(std::filesystem::exists(dir + "/backup.sum"));
    EXPECT_TRUE(CBFMBackup::Delete(dir));
    EXPECT_FALSE(std::filesystem::exists(dir + "/backup.sum"));
}

} // namespace
