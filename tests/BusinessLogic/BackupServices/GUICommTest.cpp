#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "CClientExc.h"
#include "GUIComm.h"
#include "HLKTestHarness.h"

namespace {

class GUICommTest : public ::testing::Test {
protected:
    void SetUp() override { comm = GUIComm::GetInstance(&window); }
    void TearDown() override { GUIComm::Cleanup(); }

    TestWindow window;
    GUIComm* comm = nullptr;
};

TEST(GUICommCreation, RefusesAMissingWindowAndKeepsTheFirstOne)
{
    try {
        GUIComm::GetInstance(nullptr);
        FAIL() << "a null window was accepted";
    } catch (const CClientExc& e) {
        EXPECT_STREQ(e.GetDescription(), "GUI handle is NULL.");
        EXPECT_EQ(e.GetId(), 1234);
        EXPECT_STREQ(e.GetFile(), "BusinessLogic/BackupServices/GUIComm");
    }
    EXPECT_EQ(GUIComm::Instance(), nullptr);

    TestWindow first, second;
    GUIComm* a = GUIComm::GetInstance(&first);
    EXPECT_EQ(GUIComm::GetInstance(&second), a);
    a->NotifyError(3);
    EXPECT_EQ(first.Notes().size(), 1u);
    EXPECT_TRUE(second.Notes().empty());
    GUIComm::Cleanup();
    EXPECT_EQ(GUIComm::Instance(), nullptr);
}

TEST_F(GUICommTest, EveryNotificationCarriesItsPayload)
{
    comm->NotifyBackupInitiated("0001A2B3");
    comm->NotifyBackupStarted("0001A2B3", 62);
    comm->NotifyProgress(100);
    comm->NotifyBackupTransferDone(true);
    comm->NotifySaveBackupStarted();
    comm->NotifySaveBackupDone(false);
    comm->NotifyServiceFailed(1);
    comm->NotifyError(15);
    comm->NotifyInsufficientDiskSpace("00C0FFEE", 136, -1);
    comm->NotifyRestoreStarted("00C0FFEE", 7);
    comm->NotifyRestoreDone(true);
    comm->NotifyExportStarted("Quarnex Server ID: 0001A2B3", "/tmp/x", 3);
    comm->NotifyExportDone(true, "", nullptr);
    comm->NotifyImportStarted("/tmp/y");
    comm->NotifyImportDone(false, "/tmp/y");

    const std::vector<Note> n = window.Notes();
    ASSERT_EQ(n.size(), 15u);
    EXPECT_EQ(n[0].message, 0x8915u);
    EXPECT_EQ(n[0].text, "0001A2B3");
    EXPECT_EQ(n[1].message, 0x8906u);
    EXPECT_EQ(n[1].number, 62);
    EXPECT_EQ(n[2].message, 0x8907u);
    EXPECT_EQ(n[2].value, 100);
    EXPECT_EQ(n[3].message, 0x8908u);
    EXPECT_TRUE(n[3].success);
    EXPECT_EQ(n[4].message, 0x8909u);
    EXPECT_EQ(n[4].value, 0);
    EXPECT_EQ(n[5].message, 0x890Au);
    EXPECT_FALSE(n[5].success);
    EXPECT_EQ(n[6].message, 0x890Bu);
    EXPECT_EQ(n[6].value, 1);
    EXPECT_EQ(n[7].message, 0x890Cu);
    EXPECT_EQ(n[7].value, 15);
    EXPECT_EQ(n[8].message, 0x890Du);
    EXPECT_EQ(n[8].text, "00C0FFEE");
    EXPECT_EQ(n[8].number, 136);
    EXPECT_EQ(n[8].number2, -1);
    EXPECT_EQ(n[9].message, 0x890Fu);
    EXPECT_EQ(n[9].number, 7);
    EXPECT_EQ(n[10].message, 0x8910u);
    EXPECT_TRUE(n[10].success);
    EXPECT_EQ(n[11].message, 0x8911u);
    EXPECT_EQ(n[11].text, "Quarnex Server ID: 0001A2B3");
    EXPECT_EQ(n[11].text2, "/tmp/x");
    EXPECT_EQ(n[11].number, 3);
    EXPECT_EQ(n[12].message, 0x8912u);
    EXPECT_TRUE(n[12].success);
    EXPECT_EQ(n[12].text, "");
    EXPECT_FALSE(n[12].textNull); // an empty text is an empty string, not a null
    EXPECT_EQ(n[13].message, 0x8913u);
    EXPECT_EQ(n[13].text, "/tmp/y");
    EXPECT_EQ(n[14].message, 0x8914u);
    EXPECT_FALSE(n[14].success);
}

TEST_F(GUICommTest, ARefusedPostIsRetriedUntilTheWindowTakesIt)
{
    window.Refuse(3);
    comm->NotifyError(4);
    EXPECT_EQ(window.Refused(), 3);
    ASSERT_EQ(window.Notes().size(), 1u);
    EXPECT_EQ(window.Notes()[0].value, 4);
}

TEST_F(GUICommTest, ErrorTextsAndUnknownCodes)
{
    EXPECT_STREQ(GUIComm::ErrorText(0), "Error starting backup service.  Exit app and try again.");
    EXPECT_STREQ(GUIComm::ErrorText(4), "Backup failed.");
    EXPECT_STREQ(GUIComm::ErrorText(13), "Error reading or writing data in the backup folder.");
    EXPECT_STREQ(GUIComm::ErrorText(15), "Error communicating with Quarnex.");
    EXPECT_STREQ(GUIComm::ErrorText(16), "Unknown error");
    EXPECT_STREQ(GUIComm::ErrorText(-1), "Unknown error");
}

TEST_F(GUICommTest, RespondingWithoutAPendingPromptFails)
{
    EXPECT_FALSE(comm->RespondToRestorePrompt(true));
    EXPECT_TRUE(window.Notes().empty());
}

TEST_F(GUICommTest, ThePromptBlocksUntilTheWindowAnswers)
{
    for (bool answer : {true, false}) {
        window.Clear();
        auto prompt = std::async(std::launch::async, [this, answer] {
            bool accepted = !answer; // must be overwritten by the answer
            bool ok = comm->PromptForRestore(0x0001A2B3, 0x00C0FFEE, 1700000000, accepted);
            return std::make_pair(ok, accepted);
        });
        ASSERT_TRUE(window.WaitForMessage(CM_HLKPromptForRestore));
        const Note n = window.Notes().back();
        EXPECT_EQ(n.words[0], 0x0001A2B3u);
        EXPECT_EQ(n.words[1], 0x00C0FFEEu);
        EXPECT_EQ(n.words[2], 1700000000u);
        // Still waiting: nothing but the window's answer ends it.
        EXPECT_EQ(prompt.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
        EXPECT_TRUE(comm->RespondToRestorePrompt(answer));
        const auto [ok, accepted] = prompt.get();
        EXPECT_TRUE(ok);
        EXPECT_EQ(accepted, answer);
        // The prompt is over: a late answer finds nothing to signal.
        EXPECT_FALSE(comm->RespondToRestorePrompt(true));
    }
}

// The window thread may answer while the worker is tearing its prompt down; the guard keeps
// the event alive while it is signalled (AddressSanitizer reports any use after free here).
TEST_F(GUICommTest, AnswersRacingTheEndOfAPromptAreSafe)
{
    std::atomic<bool> done{false};
    std::thread answerer([&] {
        while (!done)
            comm->RespondToRestorePrompt(true);
    });
    int accepted = 0;
    for (int i = 0; i < 300; ++i) {
        bool a = false;
        if (comm->PromptForRestore(1, 2, 3, a) && a)
            ++accepted;
    }
    done = true;
    answerer.join();
    EXPECT_EQ(accepted, 300);
    EXPECT_EQ(window.Notes().size(), 300u);
}

// The window goes away while a worker still waits in a prompt: the prompt is rejected and
// the worker leaves it before the channel is destroyed.
TEST_F(GUICommTest, CleanupRejectsAPendingPrompt)
{
    auto prompt = std::async(std::launch::async, [this] {
        bool accepted = true;
        const bool ok = comm->PromptForRestore(7, 8, 9, accepted);
        return std::make_pair(ok, accepted);
    });
    ASSERT_TRUE(window.WaitForMessage(CM_HLKPromptForRestore));
    GUIComm::Cleanup();
    const auto [ok, accepted] = prompt.get();
    EXPECT_TRUE(ok);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(GUIComm::Instance(), nullptr);
}

// A service thread that holds the channel past the window's end: the channel stays valid for
// it, but nothing it posts reaches the (destroyed) window, every block is freed, and a prompt
// is rejected at once instead of waiting for an answer that cannot come.
TEST_F(GUICommTest, AHolderThatOutlivesTheWindowReachesNothing)
{
    std::shared_ptr<GUIComm> held = GUIComm::Acquire();
    ASSERT_EQ(held.get(), comm);
    auto prompt = std::async(std::launch::async, [held] {
        bool accepted = true;
        const bool ok = held->PromptForRestore(1, 2, 3, accepted);
        return std::make_pair(ok, accepted);
    });
    ASSERT_TRUE(window.WaitForMessage(CM_HLKPromptForRestore));
    window.Clear();

    GUIComm::Cleanup();
    EXPECT_EQ(GUIComm::Instance(), nullptr);
    EXPECT_EQ(GUIComm::Acquire(), nullptr);
    ASSERT_EQ(prompt.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const auto [ok, accepted] = prompt.get();
    EXPECT_TRUE(ok);
    EXPECT_FALSE(accepted);

    // Blocks and strings of dropped posts are freed (the leak checker sees to that).
    held->NotifyBackupStarted("0001A2B3", 5);
    held->NotifyInsufficientDiskSpace("0001A2B3", 10, 2);
    held->NotifyError(4);
    held->NotifyRestoreDone(false);
    bool accepted2 = true;
    EXPECT_FALSE(held->PromptForRestore(1, 2, 3, accepted2));
    EXPECT_TRUE(accepted2);
    EXPECT_FALSE(held->RespondToRestorePrompt(true));
    EXPECT_TRUE(window.Notes().empty());

    // A new window gets a new channel; the old holder still reaches nothing.
    TestWindow next;
    GUIComm* fresh = GUIComm::GetInstance(&next);
    EXPECT_NE(fresh, held.get());
    held->NotifyError(5);
    fresh->NotifyError(6);
    EXPECT_EQ(next.Errors(), std::vector<int>{6});
    held.reset();
    GUIComm::Cleanup();
}

TEST_F(GUICommTest, CancelRequestsAreReadOnceAndClearedByExportAndImport)
{
    EXPECT_FALSE(comm->IsCancelRequested());
    comm->RequestCancel();
    EXPECT_TRUE(comm->IsCancelRequested());
    EXPECT_FALSE(comm->IsCancelRequested());

    comm->RequestCancel();
    comm->NotifyExportStarted("d", "e", 1);
    EXPECT_FALSE(comm->IsCancelRequested());
    comm->RequestCancel();
    comm->NotifyImportDone(true, "p");
    EXPECT_FALSE(comm->IsCancelRequested());
}

} // namespace
