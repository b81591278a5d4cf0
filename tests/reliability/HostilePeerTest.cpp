// Hostile peers against the live listener: conversations cut off, reordered, corrupted,
// oversized or made of noise. The service must answer the next connection every time, keep
// the backup it holds byte for byte, and leave no temporary files behind.
//
// HARBORLOCK_PEER_CONVERSATIONS (default 200) or HARBORLOCK_PEER_SECONDS (a time budget, for
// the long run) and HARBORLOCK_PEER_SEED (default 1) set the run.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>

#include "PlatformWrapper.h"
#include "QuarnexConnection.h"
#include "SFSProtocol.h"
#include "ServiceFixture.h"

using namespace quarnexsim;
using reliability::Random;

namespace {

const SimHeader kReference{0x5EF00D11, 2048, 4, 5, 6};

// Deleting a transfer file takes a while, as it may on a slow disk with a large file.
class SlowDeletePlatform : public hl::PlatformWrapper {
public:
    using hl::PlatformWrapper::PlatformWrapper;
    bool DeleteFile(const std::string& path) override
    {
        if (path.find("/main_") != std::string::npos)
            Inner().Sleep(300);
        return hl::PlatformWrapper::DeleteFile(path);
    }
};

class HostilePeerTest : public InProcessServiceTest {
protected:
    // One message of a conversation, kept apart so that messages can be reordered.
    using Message = std::vector<std::uint8_t>;

    static Message Word(std::uint32_t w)
    {
        Message m(4);
        PutBE(m.data(), w);
        return m;
    }
    static Message WithWord(std::uint32_t w, const std::vector<std::uint8_t>& payload)
    {
        Message m = Word(w);
        m.insert(m.end(), payload.begin(), payload.end());
        return m;
    }

    // A well-formed conversation of a random kind.
    static std::vector<Message> Conversation(Random& rng, std::uint32_t serial)
    {
        std::vector<Message> out;
        const std::uint64_t kind = rng.Between(0, 5);
        if (kind == 0) {
            out.push_back(Word(SFS_CMD_PING));
            return out;
        }
        if (kind == 1 || kind == 2) {
            Message m = Word(kind == 1 ? SFS_CMD_RESTORE : SFS_CMD_INQUIRY);
            m.resize(8);
            PutBE(m.data() + 4, rng.Chance(50) ? serial : kReference.serialNumber);
            out.push_back(m);
            return out;
        }
        const SimHeader h{serial, static_cast<std::uint32_t>(rng.Between(1, 4096)), 1, 2, 3};
        out.push_back(WithWord(SFS_CMD_HELLO, QuarnexSim::HelloPayload(h, kind != 3)));
        Message size = Word(SFS_CMD_SIZE);
        size.resize(8);
        PutBE(size.data() + 4, static_cast<std::uint32_t>(rng.Between(0, 100)));
        out.push_back(size);
        PlanOptions po;
        po.clusterSize = h.clusterSize;
        po.count = static_cast<std::uint32_t>(rng.Between(0, 40));
        po.scratchPercent = static_cast<int>(rng.Between(0, 50));
        po.varyLengths = true;
        po.seed = static_cast<std::uint32_t>(rng.Between(1, 1u << 30));
        for (const SimCluster& c : ClusterPlan::Generate(po))
            out.push_back(QuarnexSim::ClusterMessage(c));
        out.push_back(Word(SFS_CMD_DONE));
        return out;
    }

    // Damages a conversation in one of several ways; returns what was done.
    static std::string Mutate(Random& rng, std::vector<Message>& conv)
    {
        switch (rng.Between(0, 8)) {
        case 0: return "intact";
        case 1: { // cut off anywhere
            std::vector<std::uint8_t> all;
            for (const Message& m : conv)
                all.insert(all.end(), m.begin(), m.end());
            all.resize(static_cast<std::size_t>(rng.Between(0, all.size())));
            conv = {all};
            return "cut off";
        }
        case 2: // two messages swapped
            if (conv.size() > 1)
                std::swap(conv[rng.Between(0, conv.size() - 1)], conv[rng.Between(0, conv.size() - 1)]);
            return "reordered";
        case 3: // a message repeated
            conv.insert(conv.begin() + static_cast<std::ptrdiff_t>(rng.Between(0, conv.size() - 1)),
                        conv[rng.Between(0, conv.size() - 1)]);
            return "repeated";
        case 4: { // bytes flipped
            for (int i = 0; i < 4; ++i) {
                Message& m = conv[rng.Between(0, conv.size() - 1)];
                m[rng.Between(0, m.size() - 1)] ^= static_cast<std::uint8_t>(rng.Between(1, 255));
            }
            return "corrupted";
        }
        case 5: { // a length or cluster size far beyond any limit
            for (Message& m : conv) {
                const std::uint32_t w = GetBE(m.data());
                const std::uint32_t huge = rng.Chance(50) ? 0xFFFFFFFFu : 0x00010001u;
                if (w == SFS_CMD_CLUSTER && m.size() >= 16 && rng.Chance(50))
                    PutBE(m.data() + 12, huge);
                if (w == SFS_CMD_HELLO && m.size() >= 16)
                    PutBE(m.data() + 12, huge);
            }
            return "oversized";
        }
        case 6: { // noise
            Message m(static_cast<std::size_t>(rng.Between(1, 3000)));
            for (auto& b : m)
                b = static_cast<std::uint8_t>(rng.Between(0, 255));
            conv = {m};
            return "noise";
        }
        case 7: // a message dropped
            conv.erase(conv.begin() + static_cast<std::ptrdiff_t>(rng.Between(0, conv.size() - 1)));
            return "dropped";
        default: { // an estimate that no disk can hold
            for (Message& m : conv)
                if (GetBE(m.data()) == SFS_CMD_SIZE && m.size() == 8)
                    PutBE(m.data() + 4, 0x7FFFFFFFu);
            return "huge estimate";
        }
        }
    }
};

TEST_F(HostilePeerTest, PeerThatHangsUpIsCleanedUpBeforeTheNextConnection)
{
    const std::string root = SandboxPath("backups");
    ASSERT_TRUE(OpenRepository(root, kReference.serialNumber, 0));
    const std::uint16_t port = StartService();
    ASSERT_NE(port, 0);
    PlanOptions po;
    po.clusterSize = kReference.clusterSize;
    po.count = 50;
    const std::vector<SimCluster> first = ClusterPlan::Generate(po);
    ASSERT_TRUE(Push(port, kReference, true, first).completed);
    ASSERT_TRUE(testsupport::ServiceIdle(port));

    SlowDeletePlatform slow(hl::PosixPlatform());
    hl::ScopedPlatform use(slow);
    {
        // An incremental into the current record, cut off after a few clusters.
        QuarnexConnection c;
        ASSERT_TRUE(c.Connect("127.0.0.1", port));
        std::uint32_t answer = 1;
        ASSERT_TRUE(c.SendWord(SFS_CMD_HELLO));
        const std::vector<std::uint8_t> hello = QuarnexSim::HelloPayload(kReference, false);
        ASSERT_TRUE(c.SendBytes(hello.data(), hello.size()));
        ASSERT_TRUE(c.ReadWord(answer, 5000));
        ASSERT_EQ(answer, 0u);
        ASSERT_TRUE(c.SendWord(SFS_CMD_SIZE) && c.SendWord(10));
        ASSERT_TRUE(c.ReadWord(answer, 5000));
        ASSERT_EQ(answer, 0u);
        for (int i = 0; i < 3; ++i) {
            const std::vector<std::uint8_t> m =
                QuarnexSim::ClusterMessage(first[static_cast<std::size_t>(i)]);
            ASSERT_TRUE(c.SendBytes(m.data(), m.size()));
        }
    }
    // The next connection is served only once the cut-off one has cleaned up.
    ASSERT_TRUE(testsupport::ServiceIdle(port));
    const std::vector<std::string> left = TemporaryFiles(root);
    EXPECT_TRUE(left.empty()) << "the next connection was served while " << left.front()
                              << " was still there";
    EXPECT_TRUE(m_window.WaitForError(4, 1));
    StopAll();
}

// Found by the session fuzzer: a refused incremental HELLO after SIZE dropped the transfer
// files but left the session taking clusters, and the next CLUSTER wrote through a null file.
TEST_F(HostilePeerTest, RefusedIncrementalAfterSizeTakesNoMoreClusters)
{
    const std::string root = SandboxPath("backups");
    ASSERT_TRUE(OpenRepository(root, kReference.serialNumber, 0));
    const std::uint16_t port = StartService();
    ASSERT_NE(port, 0);
    PlanOptions po;
    po.clusterSize = kReference.clusterSize;
    po.count = 3;
    const std::vector<SimCluster> clusters = ClusterPlan::Generate(po);
    {
        QuarnexConnection c;
        ASSERT_TRUE(c.Connect("127.0.0.1", port));
        std::uint32_t answer = 1;
        const std::vector<std::uint8_t> full = QuarnexSim::HelloPayload(kReference, true);
        ASSERT_TRUE(c.SendWord(SFS_CMD_HELLO) && c.SendBytes(full.data(), full.size()));
        ASSERT_TRUE(c.ReadWord(answer, 5000));
        ASSERT_EQ(answer, 0u);
        ASSERT_TRUE(c.SendWord(SFS_CMD_SIZE) && c.SendWord(3));
        ASSERT_TRUE(c.ReadWord(answer, 5000));
        ASSERT_EQ(answer, 0u);
        // An incremental for a server that has no backup yet: refused, connection kept.
        const SimHeader stranger{0x00BADBAD, kReference.clusterSize, 0, 0, 0};
        const std::vector<std::uint8_t> incremental = QuarnexSim::HelloPayload(stranger, false);
        ASSERT_TRUE(c.SendWord(SFS_CMD_HELLO) && c.SendBytes(incremental.data(), incremental.size()));
        ASSERT_TRUE(c.ReadWord(answer, 5000));
        ASSERT_EQ(answer, 0xFFFFFFFFu);
        // A cluster now is refused and ends the conversation.
        const std::vector<std::uint8_t> m = QuarnexSim::ClusterMessage(clusters[0]);
        c.SendBytes(m.data(), m.size());
        EXPECT_EQ(c.WaitClosed(5000), QuarnexConnection::CloseState::Closed);
    }
    ASSERT_TRUE(testsupport::ServiceIdle(port)) << "the service no longer answers";
    EXPECT_TRUE(m_window.WaitForError(4, 1));
    EXPECT_TRUE(TemporaryFiles(root).empty());

    // After a refusal a full HELLO still starts a backup on the same connection.
    const PushResult p = Push(port, kReference, true, clusters);
    EXPECT_TRUE(p.completed) << p.failure;
    ASSERT_TRUE(testsupport::ServiceIdle(port));
    const reliability::RestoreOutcome r = reliability::RestoreFrom(port, kReference.serialNumber);
    EXPECT_TRUE(r.complete && reliability::SameImage(r.image, MergeModel::Full(kReference, clusters)));
    StopAll();
}

TEST_F(HostilePeerTest, RandomizedClientNeverStopsTheService)
{
    const std::uint64_t seed = reliability::EnvNumber("HARBORLOCK_PEER_SEED", 1);
    const std::uint64_t count = reliability::EnvNumber("HARBORLOCK_PEER_CONVERSATIONS", 200);
    const std::uint64_t seconds = reliability::EnvNumber("HARBORLOCK_PEER_SECONDS", 0);
    Random rng(seed);
    const std::string root = SandboxPath("backups");
    ASSERT_TRUE(OpenRepository(root, kReference.serialNumber, 0));
    const std::uint16_t port = StartService();
    ASSERT_NE(port, 0);

    PlanOptions po;
    po.clusterSize = kReference.clusterSize;
    po.count = 120;
    po.scratchPercent = 25;
    po.varyLengths = true;
    const std::vector<SimCluster> clusters = ClusterPlan::Generate(po);
    ASSERT_TRUE(Push(port, kReference, true, clusters).completed);
    ASSERT_TRUE(testsupport::ServiceIdle(port));
    const SimImage reference = MergeModel::Full(kReference, clusters);

    // Serials of the hostile traffic differ from the reference in every byte.
    const std::uint32_t serials[] = {0x01020304, 0xA0B0C0D0, 0x00000000, 0xFFFFFFFF};
    std::map<std::string, int> kinds;
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t done = 0;
    for (;; ++done) {
        if (seconds ? std::chrono::steady_clock::now() - start > std::chrono::seconds(seconds)
                    : done >= count)
            break;
        SCOPED_TRACE("conversation " + std::to_string(done) + " of seed " + std::to_string(seed));
        std::vector<Message> conv = Conversation(rng, serials[rng.Between(0, 3)]);
        const std::string what = Mutate(rng, conv);
        ++kinds[what];
        {
            QuarnexConnection c;
            ASSERT_TRUE(c.Connect("127.0.0.1", port)) << "the service stopped accepting (" << what << ")";
            for (const Message& m : conv)
                if (!m.empty() && !c.SendBytes(m.data(), m.size()))
                    break; // the service hung up on us: fine
            // Whatever comes back is read until the service closes (or a short while passes).
            if (rng.Chance(50))
                c.WaitClosed(300);
        }
        quarnexsim::QuarnexSim sim("127.0.0.1", port);
        sim.SetTimeoutMs(15000);
        std::uint32_t response = 1;
        ASSERT_TRUE(sim.Ping(response) && response == 0) << "no answer after a " << what << " conversation";
        if (done % 50 == 49) {
            const reliability::RestoreOutcome r = reliability::RestoreFrom(port, kReference.serialNumber);
            ASSERT_TRUE(r.complete && reliability::SameImage(r.image, reference))
                << "the stored backup changed after a " << what << " conversation";
        }
    }
    const reliability::RestoreOutcome r = reliability::RestoreFrom(port, kReference.serialNumber);
    ASSERT_TRUE(r.complete && reliability::SameImage(r.image, reference)) << "the stored backup changed";
    ASSERT_TRUE(testsupport::ServiceIdle(port));
    const std::vector<std::string> left = TemporaryFiles(root);
    EXPECT_TRUE(left.empty()) << left.size() << " temporary files left, e.g. " << left.front();
    std::printf("[ peers ] seed %llu: %llu hostile conversations:", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(done));
    for (const auto& [k, n] : kinds)
        std::printf(" %s %d,", k.c_str(), n);
    std::printf("\n");
    StopAll();
}

} // namespace
