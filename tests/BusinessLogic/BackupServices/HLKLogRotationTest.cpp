// A debug log that cannot be rotated never costs a backup: the service logs throughout a
// conversation, so a failure inside the log must stay there.
#include <gtest/gtest.h>

#include <filesystem>

#include "CLog.h"
#include "HLKTestHarness.h"
#include "MergeModel.h"

using namespace quarnexsim;

namespace {

class HLKLogRotationTest : public ServiceTest {
protected:
    void SetUp() override
    {
        CLog::ResetForTests();
        ServiceTest::SetUp();
        CLog::Init(Sandbox());
        CLog::SetLevels(32, CLog::LEVEL_ERROR | CLog::LEVEL_WARN | CLog::LEVEL_DEBUG);
        CLog::SetLevels(33, CLog::LEVEL_ERROR | CLog::LEVEL_WARN | CLog::LEVEL_DEBUG);
    }
    void TearDown() override
    {
        ServiceTest::TearDown();
        CLog::ResetForTests();
    }
};

TEST_F(HLKLogRotationTest, BackupAndRestoreCompleteWhenTheLogCannotBeRotated)
{
    namespace fs = std::filesystem;
    // A non-empty folder at the older generation's name can be neither deleted as a file nor
    // replaced by the rename, so the first line the service writes from here on fails to rotate.
    const std::string older = CLog::GetLogDirectory() + "/quarnexLog_01.txt";
    fs::create_directories(older + "/keep");
    fs::resize_file(CLog::GetLogFileName(), CLog::kMaxFileSize);

    const SimHeader h{0x0001A2B3, 1024, 1, 2, 3};
    const std::vector<SimCluster> clusters = {Cluster(1, kModeMain, 100, 1), Cluster(2, kModeScratch, 50, 1),
                                              Cluster(3, kModeMain, 10, 1)};
    ASSERT_NO_FATAL_FAILURE(PushOk(h, true, clusters));
    EXPECT_TRUE(window.Errors().empty());
    const SimImage model = MergeModel::Full(h, clusters);
    EXPECT_EQ(StoredImage("0001A2B3"), MergeModel::Serialize(model));
    EXPECT_EQ(MergeModel::Serialize(RestoreOk(0x0001A2B3)), MergeModel::Serialize(model));

    // The log noted why it stopped, and stopped.
    const std::string text = ReadFile(CLog::GetLogFileName());
    const std::string tail = "CLOG ERROR: Error Renaming " + CLog::GetLogFileName() + " to " + older + "\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_TRUE(fs::is_directory(older));
}

} // namespace
