// The record stream on real data files: every record handed out whole and in order across
// blocks and sub-files, records of one block side by side, and damage told from the end.
#include "HLKRecordStream.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BackupDataLayout.h"
#include "CBFMFile.h"
#include "TestSandbox.h"

namespace {

using BackupDataLayout::kClusterHeaderSize;

constexpr std::uint32_t kClusterSize = 65536;

std::vector<std::uint8_t> Record(std::uint32_t id, std::uint32_t length, std::uint8_t fill)
{
    std::vector<std::uint8_t> record(kClusterHeaderSize + length, fill);
    BackupDataLayout::EncodeClusterHeader({id, BackupDataLayout::kModeMain, length}, record.data());
    if (length > 0)
        record.back() = static_cast<std::uint8_t>(id); // tells a record cut at its end
    return record;
}

class HLKRecordStreamTest : public SandboxTest {
protected:
    // A data file holding `prefix` and then the records, in sub-files of `subFile` bytes.
    std::unique_ptr<CBFMFile> Write(const std::vector<std::vector<std::uint8_t>>& records,
                                    const std::vector<std::uint8_t>& tail = {},
                                    std::int32_t subFile = 1 << 30)
    {
        const std::string path = SandboxPath("data.dat");
        {
            CBFMFile file(path, true, subFile);
            std::uint32_t written = 0;
            EXPECT_TRUE(file.Write("HEAD", 4, written));
            for (const auto& r : records)
                EXPECT_TRUE(file.Write(r.data(), std::uint32_t(r.size()), written));
            if (!tail.empty()) {
                EXPECT_TRUE(file.Write(tail.data(), std::uint32_t(tail.size()), written));
            }
            EXPECT_TRUE(file.Flush());
        }
        auto file = std::make_unique<CBFMFile>(path, false);
        EXPECT_EQ(file->Seek(4, 0), 4); // the stream starts where the file stands
        return file;
    }
};

TEST_F(HLKRecordStreamTest, HandsOutEveryRecordWholeAcrossBlocksAndSubFiles)
{
    std::mt19937 rng(3);
    std::vector<std::vector<std::uint8_t>> records;
    std::size_t bytes = 0;
    for (std::uint32_t id = 0; bytes < (5u << 20); ++id) {
        const std::uint32_t length = id % 7 == 0 ? 0 : id % 11 == 0 ? kClusterSize : rng() % kClusterSize;
        records.push_back(Record(id, length, static_cast<std::uint8_t>(rng())));
        bytes += records.back().size();
    }
    auto file = Write(records, {}, 999983); // records straddle sub-files
    ASSERT_GT(file->GetNumSubFiles(), 4);

    HLKRecordStream stream(*file, kClusterSize);
    const std::uint8_t* previous = nullptr;
    std::uint32_t previousSize = 0;
    std::size_t sideBySide = 0;
    for (const auto& expected : records) {
        const bool buffered = stream.NextIsBuffered();
        const std::uint8_t* record = nullptr;
        std::uint32_t size = 0;
        ASSERT_EQ(stream.Next(record, size), HLKRecordStream::Result::Record);
        ASSERT_EQ(std::vector<std::uint8_t>(record, record + size), expected);
        if (buffered) {
            // Served from the same block: right after the record before it.
            ASSERT_EQ(record, previous + previousSize);
            ++sideBySide;
        }
        previous = record;
        previousSize = size;
    }
    EXPECT_GT(sideBySide, records.size() / 2);
    const std::uint8_t* record = nullptr;
    std::uint32_t size = 0;
    EXPECT_EQ(stream.Next(record, size), HLKRecordStream::Result::Ended);
    EXPECT_EQ(stream.Next(record, size), HLKRecordStream::Result::Ended);
}

TEST_F(HLKRecordStreamTest, AFileWithoutRecordsEndsAtOnce)
{
    auto file = Write({});
    HLKRecordStream stream(*file, kClusterSize);
    const std::uint8_t* record = nullptr;
    std::uint32_t size = 0;
    EXPECT_EQ(stream.Next(record, size), HLKRecordStream::Result::Ended);
}

TEST_F(HLKRecordStreamTest, CutAndOversizedRecordsAreDamage)
{
    const std::vector<std::vector<std::uint8_t>> whole = {Record(1, 100, 0xA1), Record(2, 0, 0xA2)};
    std::vector<std::uint8_t> cutRecord = Record(3, 5000, 0xA3);
    cutRecord.resize(cutRecord.size() - 1);
    std::vector<std::uint8_t> oversized(kClusterHeaderSize + 16, 0);
    BackupDataLayout::EncodeClusterHeader({4, BackupDataLayout::kModeMain, kClusterSize + 1},
                                          oversized.data());
    const struct {
        const char* what;
        std::vector<std::uint8_t> tail;
    } cases[] = {
        {"part of a header", {0, 0, 0, 9, 0}},
        {"a record one byte short", cutRecord},
        {"a length past the cluster size", oversized},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto file = Write(whole, c.tail);
        HLKRecordStream stream(*file, kClusterSize);
        const std::uint8_t* record = nullptr;
        std::uint32_t size = 0;
        for (const auto& expected : whole) {
            ASSERT_EQ(stream.Next(record, size), HLKRecordStream::Result::Record);
            EXPECT_EQ(std::vector<std::uint8_t>(record, record + size), expected);
        }
        EXPECT_EQ(stream.Next(record, size), HLKRecordStream::Result::Damaged);
        EXPECT_EQ(stream.Next(record, size), HLKRecordStream::Result::Damaged);
    }
}

} // namespace
