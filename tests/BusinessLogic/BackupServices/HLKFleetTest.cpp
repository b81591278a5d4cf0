// Several Quarnex servers sharing one backup schedule connect at the same moment. The service
// serves one connection at a time; the others wait in the accept queue and are served back
// to back, each the moment the one before it ends.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>

#include "HLKTestHarness.h"

using namespace quarnexsim;

namespace {

class HLKFleetTest : public ServiceTest {
protected:
    // A listener whose own poll comes far later than any client waits: the next connection
    // can only be served in time if the end of a worker wakes the listener.
    HLKTimeouts Timeouts() override
    {
        HLKTimeouts t = ServiceTest::Timeouts();
        t.listenerPollMs = 120000;
        return t;
    }
};

TEST_F(HLKFleetTest, ThreeServersConnectingAtOnceAreAllStoredByteForByte)
{
    struct Server {
        SimHeader header;
        std::vector<SimCluster> clusters;
    };
    std::vector<Server> servers;
    for (std::uint32_t i = 0; i < 3; ++i) {
        PlanOptions plan;
        plan.count = 300;
        plan.clusterSize = 4096;
        plan.scratchPercent = 20;
        plan.varyLengths = true;
        plan.seed = 40 + i;
        servers.push_back({SimHeader{0x00F1EE01 + i, 4096, i, i + 1, i + 2}, ClusterPlan::Generate(plan)});
    }

    // All three are released together and connect at once.
    std::mutex lock;
    std::condition_variable go;
    bool released = false;
    int ready = 0;
    std::vector<std::future<PushResult>> pushes;
    for (const Server& s : servers) {
        pushes.push_back(std::async(std::launch::async, [&, s] {
            {
                std::unique_lock<std::mutex> guard(lock);
                ++ready;
                go.notify_all();
                go.wait(guard, [&] { return released; });
            }
            QuarnexSim sim("127.0.0.1", port);
            sim.SetTimeoutMs(20000);
            return sim.Push(s.header, true, s.clusters);
        }));
    }
    bool allReady = false;
    {
        std::unique_lock<std::mutex> guard(lock);
        allReady = go.wait_for(guard, std::chrono::seconds(20), [&] { return ready == 3; });
        released = true; // never leave a client waiting, even when failing
        go.notify_all();
    }
    ASSERT_TRUE(allReady);

    for (std::size_t i = 0; i < pushes.size(); ++i) {
        const PushResult r = pushes[i].get();
        EXPECT_TRUE(r.completed) << "server " << i << " stopped at " << r.failure;
        EXPECT_EQ(r.helloResponse, kOk) << "server " << i << " was refused";
    }
    // A ping is answered only after the last worker (and its merge) has ended.
    ASSERT_TRUE(Idle());
    int saved = 0;
    for (const Note& n : window.Notes())
        saved += n.message == CM_HLKSaveBackupDone && n.success;
    EXPECT_EQ(saved, 3);
    EXPECT_TRUE(window.Errors().empty());
    for (const Server& s : servers) {
        char id[16];
        std::snprintf(id, sizeof id, "%08X", s.header.serialNumber);
        EXPECT_EQ(StoredImage(id), MergeModel::Serialize(MergeModel::Full(s.header, s.clusters))) << id;
    }
}

} // namespace
