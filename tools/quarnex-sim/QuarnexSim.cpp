#include "QuarnexSim.h"

#include "QuarnexConnection.h"

namespace quarnexsim {

namespace {

constexpr std::uint32_t kHello = 0x55AA0001;
constexpr std::uint32_t kSize = 0x55AA0002;
constexpr std::uint32_t kCluster = 0x55AA0003;
constexpr std::uint32_t kDone = 0x55AA0004;
constexpr std::uint32_t kPing = 0x55AA0005;
constexpr std::uint32_t kRestore = 0x55AA0006;
constexpr std::uint32_t kInquiry = 0x55AA0007;
constexpr std::uint32_t kOk = 0;

bool ReadHeader(QuarnexConnection& c, SimHeader& h, int timeoutMs)
{
    std::uint8_t b[20];
    if (!c.ReadExact(b, 20, timeoutMs))
        return false;
    h = SimHeader{GetBE(b), GetBE(b + 4), GetBE(b + 8), GetBE(b + 12), GetBE(b + 16)};
    return true;
}

} // namespace

QuarnexSim::QuarnexSim(std::string host, std::uint16_t port) : m_host(std::move(host)), m_port(port) {}

std::vector<std::uint8_t> QuarnexSim::HelloPayload(const SimHeader& h, bool full)
{
    std::vector<std::uint8_t> p(24);
    PutBE(p.data(), h.serialNumber);
    PutBE(p.data() + 4, full ? 1 : 0);
    PutBE(p.data() + 8, h.clusterSize);
    PutBE(p.data() + 12, h.headerParam1);
    PutBE(p.data() + 16, h.headerParam2);
    PutBE(p.data() + 20, h.headerParam3);
    return p;
}

std::vector<std::uint8_t> QuarnexSim::ClusterMessage(const SimCluster& c)
{
    std::vector<std::uint8_t> m(16 + c.data.size());
    PutBE(m.data(), kCluster);
    PutBE(m.data() + 4, c.blockID);
    PutBE(m.data() + 8, c.mode);
    PutBE(m.data() + 12, static_cast<std::uint32_t>(c.data.size()));
    std::copy(c.data.begin(), c.data.end(), m.begin() + 16);
    return m;
}

bool QuarnexSim::Ping(std::uint32_t& response)
{
    QuarnexConnection c;
    if (!c.Connect(m_host, m_port, m_source) || !c.SendWord(kPing) || !c.ReadWord(response, m_timeoutMs))
        return false;
    return c.WaitClosed(m_timeoutMs) == QuarnexConnection::CloseState::Closed;
}

PushResult QuarnexSim::Push(const SimHeader& header, bool full, const std::vector<SimCluster>& clusters,
                            const PushOptions& options)
{
    std::size_t i = 0;
    const std::uint32_t estimate = options.estimate < 0 ? static_cast<std::uint32_t>(clusters.size())
                                                        : static_cast<std::uint32_t>(options.estimate);
    return Push(
        header, full, estimate,
        [&](SimCluster& out) {
            if (i >= clusters.size())
                return false;
            out = clusters[i++];
            return true;
        },
        options);
}

PushResult QuarnexSim::Push(const SimHeader& header, bool full, std::uint32_t estimate,
                            const std::function<bool(SimCluster&)>& next, const PushOptions& options)
{
    PushResult r;
    QuarnexConnection c;
    if (!c.Connect(m_host, m_port, m_source)) {
        r.failure = "connect";
        return r;
    }
    auto hello = [&](bool asFull) {
        const std::vector<std::uint8_t> payload = HelloPayload(header, asFull);
        return c.SendWord(kHello) && c.SendBytes(payload.data(), payload.size()) &&
               c.ReadWord(r.helloResponse, m_timeoutMs);
    };
    if (!hello(full)) {
        r.failure = "HELLO";
        r.closedByService = c.WaitClosed(m_timeoutMs) == QuarnexConnection::CloseState::Closed;
        return r;
    }
    r.helloAnswered = true;
    if (r.helloResponse != kOk && !full && options.fallbackToFull) {
        r.fellBackToFull = true;
        if (!hello(true)) {
            r.failure = "HELLO";
            return r;
        }
    }
    if (r.helloResponse != kOk) {
        r.failure = "HELLO refused";
        return r;
    }

    std::uint8_t sizePayload[4];
    PutBE(sizePayload, estimate);
    if (!c.SendWord(kSize) || !c.SendBytes(sizePayload, 4) || !c.ReadWord(r.sizeResponse, m_timeoutMs)) {
        r.failure = "SIZE";
        r.closedByService = c.WaitClosed(m_timeoutMs) == QuarnexConnection::CloseState::Closed;
        return r;
    }
    r.sizeAnswered = true;
    if (r.sizeResponse != kOk) {
        r.failure = "SIZE refused";
        r.closedByService = c.WaitClosed(m_timeoutMs) == QuarnexConnection::CloseState::Closed;
        return r;
    }

    SimCluster cluster;
    std::vector<std::uint8_t> message;
    while (next(cluster)) {
        message.resize(16 + cluster.data.size());
        PutBE(message.data(), kCluster);
        PutBE(message.data() + 4, cluster.blockID);
        PutBE(message.data() + 8, cluster.mode);
        PutBE(message.data() + 12, static_cast<std::uint32_t>(cluster.data.size()));
        std::copy(cluster.data.begin(), cluster.data.end(), message.begin() + 16);
        if (!c.SendBytes(message.data(), message.size())) {
            r.failure = "CLUSTER";
            return r;
        }
        ++r.clustersSent;
    }

    if (!c.SendWord(kDone) || !c.ReadWord(r.doneResponse, m_timeoutMs)) {
        r.failure = "DONE";
        r.closedByService = c.WaitClosed(m_timeoutMs) == QuarnexConnection::CloseState::Closed;
        return r;
    }
    r.doneAnswered = true;
    r.closedByService = c.WaitClosed(m_timeoutMs) == QuarnexConnection::CloseState::Closed;
    r.completed = r.doneResponse == kOk;
    if (!r.completed)
        r.failure = "DONE refused";
    return r;
}

bool QuarnexSim::OfferIncremental(const SimHeader& header, bool& refused)
{
    QuarnexConnection c;
    const std::vector<std::uint8_t> payload = HelloPayload(header, false);
    std::uint32_t response = 0;
    if (!c.Connect(m_host, m_port, m_source) || !c.SendWord(kHello) ||
        !c.SendBytes(payload.data(), payload.size()) || !c.ReadWord(response, m_timeoutMs))
        return false;
    refused = response != kOk;
    return true;
}

InquiryResult QuarnexSim::Inquire(std::uint32_t serialNumber)
{
    InquiryResult r;
    QuarnexConnection c;
    std::uint8_t payload[4];
    PutBE(payload, serialNumber);
    if (!c.Connect(m_host, m_port, m_source) || !c.SendWord(kInquiry) || !c.SendBytes(payload, 4))
        return r;
    r.answered = c.ReadWord(r.response, m_timeoutMs);
    if (r.answered && r.response == kOk) {
        r.gotHeader = ReadHeader(c, r.header, m_timeoutMs);
        std::uint32_t word = 0;
        r.gotDone = r.gotHeader && c.ReadWord(word, m_timeoutMs) && word == kDone;
    }
    r.closedByService = c.WaitClosed(m_timeoutMs) == QuarnexConnection::CloseState::Closed;
    return r;
}

RestoreResult QuarnexSim::Restore(std::uint32_t serialNumber, SimImage& image)
{
    image = SimImage{};
    return Restore(
        serialNumber, [&image](const SimCluster& c) { image.records.push_back(c); }, &image.header);
}

RestoreResult QuarnexSim::Restore(std::uint32_t serialNumber,
                                  const std::function<void(const SimCluster&)>& sink, SimHeader* header)
{
    RestoreResult r;
    QuarnexConnection c;
    std::uint8_t payload[4];
    PutBE(payload, serialNumber);
    if (!c.Connect(m_host, m_port, m_source) || !c.SendWord(kRestore) || !c.SendBytes(payload, 4)) {
        r.failure = "connect";
        return r;
    }
    r.answered = c.ReadWord(r.response, m_timeoutMs);
    if (!r.answered || r.response != kOk) {
        r.failure = r.answered ? "RESTORE refused" : "RESTORE";
        r.closedByService = c.WaitClosed(m_timeoutMs) == QuarnexConnection::CloseState::Closed;
        return r;
    }
    r.gotHeader = ReadHeader(c, r.header, m_timeoutMs);
    if (!r.gotHeader) {
        r.failure = "header";
        return r;
    }
    if (header)
        *header = r.header;
    SimCluster cluster;
    for (;;) {
        std::uint32_t word = 0;
        if (!c.ReadWord(word, m_timeoutMs)) {
            // The service closes without DONE when the restore failed.
            r.failure = "stream ended without DONE";
            return r;
        }
        if (word == kDone) {
            r.gotDone = true;
            break;
        }
        if (word != kCluster) {
            r.failure = "unexpected word in the stream";
            return r;
        }
        std::uint8_t h[12];
        if (!c.ReadExact(h, 12, m_timeoutMs)) {
            r.failure = "cluster header";
            return r;
        }
        cluster.blockID = GetBE(h);
        cluster.mode = GetBE(h + 4);
        const std::uint32_t length = GetBE(h + 8);
        if (length > 65536) {
            r.failure = "cluster longer than any cluster size";
            return r;
        }
        cluster.data.resize(length);
        if (!c.ReadExact(cluster.data.data(), cluster.data.size(), m_timeoutMs)) {
            r.failure = "cluster data";
            return r;
        }
        sink(cluster);
        ++r.records;
    }
    r.closedByService = c.WaitClosed(m_timeoutMs) == QuarnexConnection::CloseState::Closed;
    return r;
}

} // namespace quarnexsim
