#include "BackupDataLayout.h"

#include <gtest/gtest.h>

#include <vector>

using namespace BackupDataLayout;

TEST(BackupDataLayoutTest, StoredHeaderIsLittleEndianAndWireHeaderBigEndian)
{
    const BackupHeader header{0x0001A2B3, 4096, 11, 22, 0xDEADBEEF};
    std::uint8_t stored[kBackupHeaderSize];
    std::uint8_t wire[kBackupHeaderSize];
    EncodeBackupHeader(header, stored);
    EncodeBackupHeaderWire(header, wire);

    const std::vector<std::uint8_t> storedExpected = {
        0xB3, 0xA2, 0x01, 0x00, 0x00, 0x10, 0x00, 0x00, 11, 0, 0, 0, 22, 0, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE};
    const std::vector<std::uint8_t> wireExpected = {0x00, 0x01, 0xA2, 0xB3, 0x00, 0x00, 0x10, 0x00, 0,   0, 0,
                                                    11,   0,    0,    0,    22,   0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(std::vector<std::uint8_t>(stored, stored + kBackupHeaderSize), storedExpected);
    EXPECT_EQ(std::vector<std::uint8_t>(wire, wire + kBackupHeaderSize), wireExpected);
    EXPECT_EQ(DecodeBackupHeader(stored), header);
    // Header bytes in the wire order read as a stored header give a different backup.
    EXPECT_NE(DecodeBackupHeader(wire), header);
}

TEST(BackupDataLayoutTest, ClusterHeaderIsBigEndianAndSizesAddUp)
{
    const ClusterHeader cluster{0xFFFFFFFF, kModeScratch | kModeMain, 0x00010000};
    std::uint8_t bytes[kClusterHeaderSize];
    EncodeClusterHeader(cluster, bytes);
    const std::vector<std::uint8_t> expected = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 3, 0x00, 0x01, 0x00, 0x00};
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + kClusterHeaderSize), expected);
    EXPECT_EQ(DecodeClusterHeader(bytes), cluster);

    EXPECT_EQ(RecordSize(0), 12u);
    EXPECT_EQ(RecordSize(0xFFFFFFFFu), 12u + 0xFFFFFFFFull); // no 32-bit wrap
}

TEST(BackupDataLayoutTest, RecordCountEstimate)
{
    EXPECT_EQ(EstimateRecordCount(20, 4096), 0u); // header only
    EXPECT_EQ(EstimateRecordCount(0, 4096), 0u);  // shorter than a header: no underflow
    EXPECT_EQ(EstimateRecordCount(20 + 3 * (4096 + 12), 4096), 3u);
    EXPECT_EQ(EstimateRecordCount(20 + 3 * (4096 + 12) - 1, 4096), 2u);
    EXPECT_EQ(EstimateRecordCount(20 + 12 * 5, 0), 5u); // clusterSize 0 does not divide by zero
    EXPECT_TRUE(IsUsableClusterSize(65536));
    EXPECT_FALSE(IsUsableClusterSize(65537));
}
