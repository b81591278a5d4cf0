// The merge's writer thread on real data files: bytes land in order whatever the sizes they
// are handed over in, and a failed write reaches the merge.
#include "HLKMergeWriter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "CBFMFile.h"
#include "DataFileBytes.h"
#include "TestSandbox.h"

namespace {

class HLKMergeWriterTest : public SandboxTest {
protected:
    std::vector<std::uint8_t> Contents(const std::string& path)
    {
        CBFMFile file(path, false);
        std::vector<std::uint8_t> bytes;
        EXPECT_TRUE(testsupport::ReadDataFile(file, bytes));
        return bytes;
    }
};

TEST_F(HLKMergeWriterTest, WritesEverythingInOrderAfterWhatTheFileAlreadyHeld)
{
    std::mt19937 rng(5);
    std::vector<std::uint8_t> expected = {'H', 'E', 'A', 'D'};
    const std::string path = SandboxPath("merge.dat");
    {
        CBFMFile file(path, true, 999983); // several sub-files
        std::uint32_t written = 0;
        ASSERT_TRUE(file.Write(expected.data(), 4, written));
        HLKMergeWriter writer(file);
        // From single bytes to pieces larger than the writer's whole ring.
        for (std::size_t size : {1u, 12u, 524u, 65548u, 524287u, 524288u, 524289u, 1400000u, 3u, 700000u}) {
            std::vector<std::uint8_t> piece(size);
            for (auto& b : piece)
                b = static_cast<std::uint8_t>(rng());
            ASSERT_TRUE(writer.Append(piece.data(), piece.size()));
            expected.insert(expected.end(), piece.begin(), piece.end());
        }
        ASSERT_TRUE(writer.Finish());
        ASSERT_TRUE(writer.Finish()); // a second call changes nothing
        ASSERT_TRUE(file.Sync());
        EXPECT_GT(file.GetNumSubFiles(), 3);
    }
    EXPECT_EQ(Contents(path), expected);
}

TEST_F(HLKMergeWriterTest, AFailedWriteFailsTheAppendsAfterItAndFinish)
{
    const std::string path = SandboxPath("merge.dat");
    {
        CBFMFile created(path, true);
    }
    CBFMFile readOnly(path, false); // every write into it fails
    HLKMergeWriter writer(readOnly);
    const std::vector<std::uint8_t> piece(300000, 0x5A);
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i)
        refused = !writer.Append(piece.data(), piece.size());
    EXPECT_TRUE(refused) << "the writer kept taking data after its writes failed";
    EXPECT_FALSE(writer.Finish());
    EXPECT_EQ(readOnly.GetSize(), 0);
}

} // namespace
