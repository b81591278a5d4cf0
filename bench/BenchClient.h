// The Quarnex side of the benchmark conversations, over a real loopback connection. It sends
// and receives in large blocks, so that the client's own system calls do not hide the
// service's: the same sender feeds the service and the plain baseline receiver.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "BenchPlan.h"

namespace bench {

struct BackupIdentity {
    std::uint32_t serialNumber = 0x0B3C4D5E;
    std::uint32_t clusterSize = 65536;
    std::uint32_t headerParam1 = 0x11;
    std::uint32_t headerParam2 = 0x22;
    std::uint32_t headerParam3 = 0x33;
};

struct RestoreCheck {
    std::uint64_t records = 0;
    std::uint64_t bytes = 0;  // everything received after the RESTORE word
    bool done = false;        // the stream ended with DONE
    double answerSeconds = 0; // from connecting to the backup header: the service's set-up
    bool contentOk = true;    // every record held the expected block, in order, with its data
    std::string failure;
};

class BenchClient {
public:
    static constexpr std::size_t kBlock = 1u << 20;
    static constexpr int kTimeoutMs = 120000;

    explicit BenchClient(std::uint16_t port) : m_port(port) {}

    // PING answered and closed: the service has finished the previous conversation (it
    // serves one connection at a time).
    bool Ping();

    // HELLO, SIZE, every planned cluster, DONE; true when DONE was answered with OK.
    bool Push(const BackupIdentity& id, bool full, BenchPlan& plan, const DataPool& pool,
              std::string& failure);
    // Of the last Push: seconds from the moment the last cluster and DONE were handed to the
    // connection to the DONE answer (what the Quarnex server waits for its "stored"); -1 when
    // there was no answer.
    double LastDoneSeconds() const { return m_doneSeconds; }

    // The same bytes a backup conversation carries, sent without waiting for any answer:
    // what a plain receiver gets. Closes the connection at the end.
    static bool SendRawBackup(std::uint16_t port, const BackupIdentity& id, BenchPlan& plan,
                              const DataPool& pool);

    // Receives a whole restore and checks its framing: every block 1..blocks once, in order,
    // full length. With compareData it also compares each record's head and tail with the
    // data of a full backup to which an incremental plan was applied (or not); that costs
    // cache misses in the pool, so measured restores leave it to a separate checking one.
    RestoreCheck Restore(const BackupIdentity& id, std::uint32_t blocks, bool incrementalApplied,
                         const DataPool& pool, bool compareData);

private:
    static void FrameStream(int fd, const BackupIdentity& id, std::uint32_t blocks, RestoreCheck& r);
    static bool SendStream(int socket, const BackupIdentity& id, bool full, bool waitForAnswers,
                           BenchPlan& plan, const DataPool& pool, std::string& failure,
                           double* doneSeconds = nullptr);
    std::uint16_t m_port;
    double m_doneSeconds = -1;
};

// Wire words over a socket, for the benchmark's own clients: a whole message in one send, and
// one word read waiting at most timeoutMs for each part of it.
bool SendWords(int fd, std::initializer_list<std::uint32_t> words);
bool ReadWord(int fd, std::uint32_t& word, int timeoutMs = BenchClient::kTimeoutMs);

} // namespace bench
