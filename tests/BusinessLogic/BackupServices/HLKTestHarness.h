// Shared pieces of the service tests: a window that records every notification the way the
// main window would receive it, and a fixture running the real service on a loopback port
// over a real repository in the test's sandbox.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "CBFMBackup.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "ClusterPlan.h"
#include "GUIComm.h"
#include "HLKBackup.h"
#include "MergeModel.h"
#include "Platform.h"
#include "QuarnexConnection.h"
#include "QuarnexSim.h"
#include "TestSandbox.h"

constexpr std::uint32_t kOk = 0;
constexpr std::uint32_t kError = 0xFFFFFFFF;

inline quarnexsim::SimCluster Cluster(std::uint32_t id, std::uint32_t mode, std::size_t length, std::uint64_t seed)
{
    quarnexsim::SimCluster c;
    c.blockID = id;
    c.mode = mode;
    c.data.resize(length);
    quarnexsim::ClusterPlan::Fill(c.data, seed * 1000003 + id);
    return c;
}

inline std::vector<std::uint32_t> IdsOf(const quarnexsim::SimImage& image)
{
    std::vector<std::uint32_t> ids;
    for (const quarnexsim::SimCluster& c : image.records)
        ids.push_back(c.blockID);
    return ids;
}


// One received notification, decoded from its payload block.
struct Note {
    unsigned message = 0;
    intptr_t value = 0;      // lParam of blockless messages
    std::string text;        // first string of the block
    std::string text2;       // second string
    bool textNull = false;   // first string pointer was null
    std::int64_t number = 0; // MB, needed MB
    std::int64_t number2 = 0;
    std::uint32_t words[3] = {0, 0, 0}; // prompt block
    bool success = false;
};

// The receiving end of GUIComm: decodes, frees the block as the main window's handler does,
// and keeps the notes. Refuses the first `refusals` posts to exercise the retry.
class TestWindow : public IGUIWindow {
public:
    bool Post(unsigned message, intptr_t lParam) override
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_refusals > 0) {
                --m_refusals;
                ++m_refused;
                return false;
            }
        }
        Note n;
        n.message = message;
        switch (message) {
        case CM_HLKBackupStarted: {
            auto* b = reinterpret_cast<HLKBackupStartedMsg*>(lParam);
            n.text = Str(b->serverId, n.textNull);
            n.number = b->sizeMB;
            break;
        }
        case CM_HLKRestoreStarted: {
            auto* b = reinterpret_cast<HLKRestoreStartedMsg*>(lParam);
            n.text = Str(b->serverId, n.textNull);
            n.number = b->sizeMB;
            break;
        }
        case CM_HLKBackupTransferDone:
        case CM_HLKSaveBackupDone:
        case CM_HLKRestoreDone:
            n.success = reinterpret_cast<HLKResultMsg*>(lParam)->success != 0;
            break;
        case CM_HLKInsufficientDiskSpace: {
            auto* b = reinterpret_cast<HLKInsufficientDiskSpaceMsg*>(lParam);
            n.text = Str(b->serverId, n.textNull);
            n.number = b->neededMB;
            n.number2 = b->availableMB;
            break;
        }
        case CM_HLKPromptForRestore: {
            auto* b = reinterpret_cast<HLKPromptForRestoreMsg*>(lParam);
            n.words[0] = b->requestSerial;
            n.words[1] = b->backupSerial;
            n.words[2] = b->backupDate;
            break;
        }
        case CM_HLKExportStarted: {
            auto* b = reinterpret_cast<HLKExportStartedMsg*>(lParam);
            n.text = Str(b->description, n.textNull);
            bool null2 = false;
            n.text2 = Str(b->destination, null2);
            n.number = b->sizeMB;
            break;
        }
        case CM_HLKExportDone: {
            auto* b = reinterpret_cast<HLKExportDoneMsg*>(lParam);
            n.success = b->success != 0;
            n.text = Str(b->description, n.textNull);
            bool null2 = false;
            n.text2 = Str(b->destination, null2);
            break;
        }
        case CM_HLKImportStarted:
            n.text = Str(reinterpret_cast<HLKImportStartedMsg*>(lParam)->path, n.textNull);
            break;
        case CM_HLKImportDone: {
            auto* b = reinterpret_cast<HLKImportDoneMsg*>(lParam);
            n.success = b->success != 0;
            n.text = Str(b->path, n.textNull);
            break;
        }
        case CM_HLKBackupInitiated:
        case CM_HLKBackupNotSaved:
            n.text = Str(reinterpret_cast<HLKBackupInitiatedMsg*>(lParam)->serverId, n.textNull);
            break;
        default:
            n.value = lParam;
            break;
        }
        GUIComm::FreePayload(message, lParam);
        std::lock_guard<std::mutex> guard(m_lock);
        m_notes.push_back(n);
        m_changed.notify_all();
        return true;
    }

    void Refuse(int count)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_refusals = count;
    }
    int Refused()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_refused;
    }

    std::vector<Note> Notes()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_notes;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_notes.clear();
    }

    // Waits (up to a generous limit, so a hang fails instead of blocking the suite) until a
    // note satisfies pred; returns whether one did.
    bool WaitFor(const std::function<bool(const Note&)>& pred, int timeoutMs = 20000)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (const Note& n : m_notes)
                if (pred(n))
                    return true;
            return false;
        });
    }
    bool WaitForMessage(unsigned message, int timeoutMs = 20000)
    {
        return WaitFor([message](const Note& n) { return n.message == message; }, timeoutMs);
    }
    bool WaitForError(int code, int timeoutMs = 20000)
    {
        return WaitFor([code](const Note& n) { return n.message == CM_HLKError && n.value == code; }, timeoutMs);
    }

    // Notes without progress reports, as message numbers.
    std::vector<unsigned> Sequence()
    {
        std::vector<unsigned> out;
        for (const Note& n : Notes())
            if (n.message != CM_HLKProgress)
                out.push_back(n.message);
        return out;
    }
    std::vector<int> Errors()
    {
        std::vector<int> out;
        for (const Note& n : Notes())
            if (n.message == CM_HLKError)
                out.push_back(static_cast<int>(n.value));
        return out;
    }

private:
    static std::string Str(const char* s, bool& isNull)
    {
        isNull = s == nullptr;
        return s ? std::string(s) : std::string();
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Note> m_notes;
    int m_refusals = 0;
    int m_refused = 0;
};

// The real service on an ephemeral loopback port, over a repository in the sandbox.
class ServiceTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        m_root = SandboxPath("backups");
        ASSERT_NE(CBFMRepository::GetInstance(m_root.c_str()), nullptr);
        GUIComm::GetInstance(&window);
        HLKBackup::SetTimeouts(Timeouts());
        ASSERT_TRUE(HLKBackup::GetInstance()->HLK_ResetEphemeral());
        port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
        ASSERT_GT(port, 0);
    }

    void TearDown() override
    {
        HLKBackup::Cleanup();
        GUIComm::Cleanup();
        CBFMRepository::Release();
        HLKBackup::SetTimeouts(HLKTimeouts{});
        SandboxTest::TearDown();
    }

    // Short enough that silence and stop cases end in well under a second each.
    virtual HLKTimeouts Timeouts()
    {
        HLKTimeouts t;
        t.payloadReadMs = 400;
        t.commandPollMs = 50;
        t.maxCommandPolls = 200;
        t.threadStopMs = 10000;
        t.threadStartMs = 10000;
        t.listenerPollMs = 20;
        return t;
    }

    quarnexsim::QuarnexSim Sim()
    {
        quarnexsim::QuarnexSim sim("127.0.0.1", port);
        sim.SetTimeoutMs(20000);
        return sim;
    }

    // A connection that has been accepted by the service (the listener serves one at a time).
    bool Connect(quarnexsim::QuarnexConnection& c) { return c.Connect("127.0.0.1", port); }

    // Waits until the service has finished every conversation: a ping is only answered once
    // the previous worker ended its command loop.
    bool Idle()
    {
        std::uint32_t response = 1;
        return Sim().Ping(response) && response == 0;
    }

    CBFMRepository* Repo() { return CBFMRepository::GetInstance(m_root.c_str()); }

    // The stored image of the server's current backup, read from the files on disk.
    std::vector<std::uint8_t> StoredImage(const std::string& serverId)
    {
        std::unique_ptr<CBFMServer> server = Repo()->GetServer(serverId);
        if (!server)
            return {};
        std::string name;
        if (!server->GetCurrentBackup(name))
            return {};
        const std::string text = ReadFile(m_root + "/" + serverId + "/" + name + "/backup_000.dat");
        return std::vector<std::uint8_t>(text.begin(), text.end());
    }

    // Pushes a backup that must complete, and waits for the merge to end.
    void PushOk(const quarnexsim::SimHeader& h, bool full, const std::vector<quarnexsim::SimCluster>& clusters)
    {
        window.Clear();
        const quarnexsim::PushResult r = Sim().Push(h, full, clusters);
        ASSERT_TRUE(r.completed) << r.failure;
        EXPECT_TRUE(r.closedByService);
        ASSERT_TRUE(window.WaitForMessage(CM_HLKSaveBackupDone));
        ASSERT_TRUE(Idle());
    }

    // New servers force full backups by default; these tests want incrementals.
    void AllowIncrementals(const std::string& serverId)
    {
        std::unique_ptr<CBFMServer> server = Repo()->GetServer(serverId);
        ASSERT_TRUE(server);
        server->SetForceFullType(CBFMServer::Never);
    }

    quarnexsim::SimImage RestoreOk(std::uint32_t serial)
    {
        quarnexsim::SimImage image;
        const quarnexsim::RestoreResult r = Sim().Restore(serial, image);
        EXPECT_EQ(r.response, kOk);
        EXPECT_TRUE(r.gotDone) << r.failure;
        EXPECT_TRUE(r.closedByService);
        return image;
    }

    TestWindow window;
    std::uint16_t port = 0;
    std::string m_root;
};
