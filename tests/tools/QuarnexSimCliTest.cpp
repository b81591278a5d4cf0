// The quarnex-sim command line as a developer uses it, against a real service on a loopback
// port over a repository in the sandbox.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "GUIComm.h"
#include "HLKBackup.h"
#include "MergeModel.h"
#include "ServiceSingletons.h"
#include "TestSandbox.h"
#include "TestWindow.h"

using namespace quarnexsim;

namespace {

class QuarnexSimCliTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        root = SandboxPath("backups");
        window.AnswerPrompts(true);
        HLKTimeouts t;
        t.listenerPollMs = 20;
        ASSERT_TRUE(testsupport::OpenServiceSingletons(root, window, t));
        ASSERT_TRUE(HLKBackup::GetInstance()->HLK_ResetEphemeral());
        port = std::to_string(HLKBackup::GetInstance()->GetPort());
    }
    void TearDown() override
    {
        testsupport::ReleaseServiceSingletons();
        SandboxTest::TearDown();
    }

    // Runs quarnex-sim; true when it exits with 0. Its output is kept in `output`.
    bool Run(const std::string& args)
    {
        const std::string out = SandboxPath("out.txt");
        const std::string cmd =
            std::string(QUARNEX_SIM_PATH) + " " + args + " --port " + port + " > " + out + " 2>&1";
        const int rc = std::system(cmd.c_str());
        output = ReadFile(out);
        return rc == 0;
    }

    TestWindow window;
    std::string root;
    std::string port;
    std::string output;
};

TEST_F(QuarnexSimCliTest, PushesRestoresAndChecksAgainstWhatItPushed)
{
    const std::string model = SandboxPath("model.img");
    ASSERT_TRUE(Run("ping")) << output;
    EXPECT_NE(output.find("response 0x00000000"), std::string::npos) << output;

    ASSERT_TRUE(Run("push --serial 0x1A2B3 --full --clusters 300 --cluster-size 1024 --scratch-percent 30 "
                    "--vary-lengths --seed 4 --params 1,2,3 --model " +
                    model))
        << output;
    CBFMRepository::GetInstance(root.c_str())->GetServer("0001A2B3")->SetForceFullType(CBFMServer::Never);
    ASSERT_TRUE(Run("push --serial 0x1A2B3 --incremental --clusters 80 --cluster-size 1024 --first-block 100 "
                    "--block-step 2 --scratch-percent 50 --seed 5 --params 1,2,3 --model " +
                    model))
        << output;

    const std::string restored = SandboxPath("restored.img");
    ASSERT_TRUE(Run("restore --serial 0x1A2B3 --out " + restored + " --check " + model)) << output;
    EXPECT_NE(output.find("restore matches what was pushed"), std::string::npos) << output;
    EXPECT_EQ(ReadFile(restored), ReadFile(model));
    SimImage image;
    ASSERT_TRUE(MergeModel::Load(restored, image));
    EXPECT_EQ(image.header, (SimHeader{0x1A2B3, 1024, 1, 2, 3}));

    ASSERT_TRUE(Run("inquire --serial 0x1A2B3")) << output;
    EXPECT_NE(output.find("backup of 0001A2B3"), std::string::npos) << output;

    // A model that does not match is reported as a difference.
    ASSERT_TRUE(
        Run("push --serial 0x1A2B3 --incremental --clusters 1 --cluster-size 1024 --first-block 7 --seed 9 "
            "--params 1,2,3"))
        << output;
    EXPECT_FALSE(Run("restore --serial 0x1A2B3 --check " + model));
    EXPECT_NE(output.find("DIFFERS"), std::string::npos) << output;
}

TEST_F(QuarnexSimCliTest, FallsBackToAFullBackupAndReportsRefusals)
{
    const std::string model = SandboxPath("model.img");
    // No previous backup: the incremental is refused and the full HELLO follows.
    ASSERT_TRUE(
        Run("push --serial 7 --incremental --fallback --clusters 10 --cluster-size 512 --model " + model))
        << output;
    EXPECT_NE(output.find("fell back to full"), std::string::npos) << output;
    ASSERT_TRUE(Run("restore --serial 7 --check " + model)) << output;

    EXPECT_FALSE(Run("push --serial 8 --incremental --clusters 1"));
    EXPECT_NE(output.find("HELLO refused"), std::string::npos) << output;
    EXPECT_FALSE(Run("restore --serial 9"));
    EXPECT_FALSE(Run("push --serial 8")); // neither --full nor --incremental
    EXPECT_NE(output.find("usage"), std::string::npos) << output;
}

} // namespace
