// A fixture running the real service in this process on a loopback port, over a repository
// the test chooses, with a window that records every notification.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "HLKTestHarness.h"
#include "ReliabilitySupport.h"
#include "ServiceIdle.h"
#include "ServiceSingletons.h"
#include "TestWindow.h"

class InProcessServiceTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        // Every restore prompt is accepted, as the window thread would once the user clicked.
        m_window.AnswerPrompts(true);
        HLKTimeouts t;
        t.payloadReadMs = 2000;
        t.commandPollMs = 50;
        t.maxCommandPolls = 200;
        t.listenerPollMs = 20;
        ASSERT_TRUE(testsupport::OpenServiceSingletons("", m_window, t)); // each test opens its repository
    }
    void TearDown() override
    {
        testsupport::ReleaseServiceSingletons();
        SandboxTest::TearDown();
    }

    // The port once the service serves: the first listener finishes interrupted transfers
    // before it accepts anyone, so an answered ping means they are done.
    static std::uint16_t StartService()
    {
        if (!HLKBackup::GetInstance()->HLK_ResetEphemeral())
            return 0;
        const auto port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
        return testsupport::ServiceIdle(port) ? port : 0;
    }
    static void StopAll()
    {
        HLKBackup::Cleanup();
        CBFMRepository::Release();
    }
    // Opens the repository on root and gives the server a policy that always allows
    // incrementals and keeps `keep` old backups.
    static bool OpenRepository(const std::string& root, std::uint32_t serial, int keep)
    {
        CBFMRepository* repo = CBFMRepository::GetInstance(root.c_str());
        if (!repo)
            return false;
        std::unique_ptr<CBFMServer> s = repo->GetServer(reliability::ServerId(serial));
        if (!s)
            s = repo->CreateServer(reliability::ServerId(serial));
        if (!s)
            return false;
        s->SetForceFullType(CBFMServer::Never);
        s->SetNumOldBackupsToKeep(keep);
        return true;
    }
    static quarnexsim::PushResult Push(std::uint16_t port, const quarnexsim::SimHeader& h, bool full,
                                       const std::vector<quarnexsim::SimCluster>& c,
                                       std::int64_t estimate = -1)
    {
        quarnexsim::QuarnexSim sim("127.0.0.1", port);
        sim.SetTimeoutMs(20000);
        quarnexsim::PushOptions o;
        o.fallbackToFull = true;
        o.estimate = estimate;
        return sim.Push(h, full, c, o);
    }

    bool Saved()
    {
        for (const Note& n : m_window.Notes())
            if (n.message == CM_HLKSaveBackupDone && n.success)
                return true;
        return false;
    }

    // Temporary data files (and their control files) anywhere under dir.
    static std::vector<std::string> TemporaryFiles(const std::string& dir)
    {
        std::vector<std::string> out;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().string();
            for (const char* prefix : {"main_", "scratch_", "merge_", "tmpbackup_"})
                if (name.rfind(prefix, 0) == 0)
                    out.push_back(it->path().string());
        }
        return out;
    }

    TestWindow m_window;
};
