// A simulated Quarnex server: the client side of every conversation with the backup service
// (ping, full and incremental backup, inquiry, restore), over a real TCP connection.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SimTypes.h"

namespace quarnexsim {

struct PushOptions {
    // After an incremental HELLO is refused, send a full HELLO on the same connection, as a
    // Quarnex server does.
    bool fallbackToFull = false;
    // Clusters announced by SIZE; negative: the number actually sent (vector form only).
    std::int64_t estimate = -1;
};

struct PushResult {
    bool completed = false; // DONE answered with OK
    bool helloAnswered = false;
    std::uint32_t helloResponse = 0;
    bool fellBackToFull = false;
    bool sizeAnswered = false;
    std::uint32_t sizeResponse = 0;
    std::uint32_t clustersSent = 0;
    bool doneAnswered = false;
    std::uint32_t doneResponse = 0;
    bool closedByService = false; // the service closed the connection at the end
    std::string failure;          // where the conversation stopped, empty when completed
};

struct InquiryResult {
    bool answered = false;
    std::uint32_t response = 0;
    bool gotHeader = false;
    SimHeader header;
    bool gotDone = false;
    bool closedByService = false;
};

struct RestoreResult {
    bool answered = false;
    std::uint32_t response = 0;
    bool gotHeader = false;
    SimHeader header;
    std::uint64_t records = 0;
    bool gotDone = false; // the stream ended with DONE
    bool closedByService = false;
    std::string failure;
};

class QuarnexSim {
public:
    QuarnexSim(std::string host, std::uint16_t port);

    void SetTimeoutMs(int ms) { m_timeoutMs = ms; }
    // The local address every later conversation connects from ("" = the system's choice).
    void SetSourceAddress(const std::string& source) { m_source = source; }

    // PING; true when a response word arrived (in response) and the service closed.
    bool Ping(std::uint32_t& response);

    PushResult Push(const SimHeader& header, bool full, const std::vector<SimCluster>& clusters,
                    const PushOptions& options = {});
    // Streams clusters from next() until it answers false (nothing is held in memory).
    PushResult Push(const SimHeader& header, bool full, std::uint32_t estimate,
                    const std::function<bool(SimCluster&)>& next, const PushOptions& options = {});

    // Offers an incremental backup and hangs up after the HELLO answer. True when an answer
    // came; refused tells whether it was SFS_RSP_ERROR (a full backup would have to follow).
    bool OfferIncremental(const SimHeader& header, bool& refused);

    InquiryResult Inquire(std::uint32_t serialNumber);

    // Restores into image (header and records in the order received).
    RestoreResult Restore(std::uint32_t serialNumber, SimImage& image);
    // Streams each record to sink.
    RestoreResult Restore(std::uint32_t serialNumber, const std::function<void(const SimCluster&)>& sink,
                          SimHeader* header = nullptr);

    // The 24-byte HELLO payload.
    static std::vector<std::uint8_t> HelloPayload(const SimHeader& header, bool full);
    // CLUSTER word, 12-byte header and data, as one buffer.
    static std::vector<std::uint8_t> ClusterMessage(const SimCluster& cluster);

private:
    std::string m_host;
    std::uint16_t m_port;
    int m_timeoutMs = 30000;
    std::string m_source;
};

} // namespace quarnexsim
