// Shared pieces of the service tests: a fixture running the real service on a loopback port
// over a real repository in the test's sandbox, with the recording window of TestWindow.h.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CBFMBackup.h"
#include "CBFMFile.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "ClusterPlan.h"
#include "GUIComm.h"
#include "HLKBackup.h"
#include "MergeModel.h"
#include "Platform.h"
#include "QuarnexConnection.h"
#include "QuarnexSim.h"
#include "ServiceIdle.h"
#include "ServiceSingletons.h"
#include "TestSandbox.h"
#include "TestWindow.h"

constexpr std::uint32_t kOk = 0;
constexpr std::uint32_t kError = 0xFFFFFFFF;

inline quarnexsim::SimCluster Cluster(std::uint32_t id, std::uint32_t mode, std::size_t length,
                                      std::uint64_t seed)
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

// The real service on an ephemeral loopback port, over a repository in the sandbox.
// What a worker leaves on the disk after an acknowledged DONE: the image's backup header at the
// start of TmpMain (none with recordsOnly, as an earlier version left it), the clusters in
// TmpMain and TmpScratch as they arrived (each record is the CLUSTER message without its
// command word), the transfer record (its scratch count off by scratchCountError), and no
// current backup. A full backup gets a new record (and its server one where there is none);
// an incremental uses the current one.
inline void LeaveAcknowledgedTransfer(CBFMRepository& repo, const quarnexsim::SimHeader& header, bool full,
                                      const std::vector<quarnexsim::SimCluster>& clusters,
                                      std::int64_t scratchCountError = 0, bool recordsOnly = false)
{
    char serverId[9];
    std::snprintf(serverId, sizeof serverId, "%08X", header.serialNumber);
    std::unique_ptr<CBFMServer> server = repo.GetServer(serverId);
    if (!server)
        server = repo.CreateServer(serverId);
    ASSERT_TRUE(server);
    std::unique_ptr<CBFMBackup> backup;
    if (full) {
        backup = server->CreateBackup();
    } else {
        std::string current;
        ASSERT_TRUE(server->GetCurrentBackup(current));
        backup = server->GetBackup(current);
    }
    ASSERT_TRUE(backup);
    CBFMBackup::TransferRecord record;
    record.serialNumber = header.serialNumber;
    record.clusterSize = header.clusterSize;
    record.headerParam1 = header.headerParam1;
    record.headerParam2 = header.headerParam2;
    record.headerParam3 = header.headerParam3;
    record.full = full;
    record.estimate = static_cast<std::int64_t>(clusters.size());
    {
        std::unique_ptr<CBFMFile> main = backup->CreateBFMFile(CBFMBackup::TmpMainFile);
        std::unique_ptr<CBFMFile> scratch = backup->CreateBFMFile(CBFMBackup::TmpScratchFile);
        ASSERT_TRUE(main && scratch);
        if (!recordsOnly) {
            const std::vector<std::uint8_t> stored =
                quarnexsim::MergeModel::Serialize(quarnexsim::SimImage{header, {}});
            std::uint32_t written = 0;
            ASSERT_TRUE(main->Write(stored.data(), static_cast<std::uint32_t>(stored.size()), written));
        }
        for (const quarnexsim::SimCluster& c : clusters) {
            const std::vector<std::uint8_t> m = quarnexsim::QuarnexSim::ClusterMessage(c);
            const auto size = static_cast<std::uint32_t>(m.size() - 4);
            const bool isScratch = quarnexsim::MergeModel::IsScratch(c);
            std::uint32_t written = 0;
            ASSERT_TRUE((isScratch ? scratch : main)->Write(m.data() + 4, size, written));
            (isScratch ? record.scratchCount : record.mainCount) += 1;
            (isScratch ? record.scratchBytes : record.mainBytes) += size;
        }
        ASSERT_TRUE(main->Sync() && scratch->Sync());
    }
    record.scratchCount += scratchCountError;
    ASSERT_TRUE(server->ClearCurrentBackup());
    ASSERT_TRUE(backup->SaveTransferRecord(record));
}

class ServiceTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        m_root = SandboxPath("backups");
        ASSERT_TRUE(testsupport::OpenServiceSingletons(m_root, window, Timeouts()));
        ASSERT_TRUE(HLKBackup::GetInstance()->HLK_ResetEphemeral());
        port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
        ASSERT_GT(port, 0);
    }

    void TearDown() override
    {
        testsupport::ReleaseServiceSingletons();
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

    // Waits until the service has finished every conversation.
    bool Idle() { return testsupport::ServiceIdle(port); }

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
    void PushOk(const quarnexsim::SimHeader& h, bool full,
                const std::vector<quarnexsim::SimCluster>& clusters)
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
