#include "BenchClient.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "Platform.h"

namespace bench {

namespace {

class Socket {
public:
    explicit Socket(std::uint16_t port) : m_fd(hl::Os().Connect("127.0.0.1", port)) {}
    ~Socket()
    {
        if (m_fd >= 0)
            hl::Os().Close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

bool ReadExact(int fd, void* buffer, std::size_t n, int timeoutMs = BenchClient::kTimeoutMs)
{
    auto* p = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        if (hl::Os().WaitReadable(fd, timeoutMs) != 1)
            return false;
        const std::int64_t r = hl::Os().Recv(fd, p + done, n - done);
        if (r <= 0)
            return false;
        done += static_cast<std::size_t>(r);
    }
    return true;
}

// Waits for the service to close its end.
bool WaitClosed(int fd)
{
    std::uint8_t byte;
    if (hl::Os().WaitReadable(fd, BenchClient::kTimeoutMs) != 1)
        return false;
    return hl::Os().Recv(fd, &byte, 1) <= 0;
}

} // namespace

bool SendWords(int fd, std::initializer_list<std::uint32_t> words)
{
    std::uint8_t b[32];
    std::size_t n = 0;
    for (std::uint32_t w : words) {
        PutBE(b + n, w);
        n += 4;
    }
    return hl::Os().SendAll(fd, b, n);
}

bool ReadWord(int fd, std::uint32_t& word, int timeoutMs)
{
    std::uint8_t b[4];
    if (!ReadExact(fd, b, 4, timeoutMs))
        return false;
    word = GetBE(b);
    return true;
}

bool BenchClient::Ping()
{
    Socket s(m_port);
    std::uint32_t answer = 1;
    return s.fd() >= 0 && SendWords(s.fd(), {kCmdPing}) && ReadWord(s.fd(), answer) && answer == kRspOk &&
           WaitClosed(s.fd());
}

bool BenchClient::SendStream(int fd, const BackupIdentity& id, bool full, bool waitForAnswers,
                             BenchPlan& plan, const DataPool& pool, std::string& failure, double* doneSeconds)
{
    std::uint32_t answer = 0;
    if (!SendWords(fd, {kCmdHello, id.serialNumber, full ? 1u : 0u, id.clusterSize, id.headerParam1,
                        id.headerParam2, id.headerParam3})) {
        failure = "HELLO not sent";
        return false;
    }
    if (waitForAnswers && (!ReadWord(fd, answer) || answer != kRspOk)) {
        failure = "HELLO refused";
        return false;
    }
    if (!SendWords(fd, {kCmdSize, plan.Count()})) {
        failure = "SIZE not sent";
        return false;
    }
    if (waitForAnswers && (!ReadWord(fd, answer) || answer != kRspOk)) {
        failure = "SIZE refused";
        return false;
    }

    std::vector<std::uint8_t> block(kBlock + 16 + plan.ClusterSize());
    std::size_t fill = 0;
    PlannedCluster c;
    plan.Rewind();
    while (plan.Next(c)) {
        std::uint8_t* m = block.data() + fill;
        PutBE(m, kCmdCluster);
        PutBE(m + 4, c.blockID);
        PutBE(m + 8, c.mode);
        PutBE(m + 12, c.length);
        std::memcpy(m + 16, pool.Slice(c.blockID, c.generation, c.length), c.length);
        fill += 16 + c.length;
        if (fill >= kBlock) {
            if (!hl::Os().SendAll(fd, block.data(), fill)) {
                failure = "CLUSTER not sent";
                return false;
            }
            fill = 0;
        }
    }
    PutBE(block.data() + fill, kCmdDone);
    fill += 4;
    if (!hl::Os().SendAll(fd, block.data(), fill)) {
        failure = "DONE not sent";
        return false;
    }
    const auto sent = std::chrono::steady_clock::now();
    if (waitForAnswers && (!ReadWord(fd, answer) || answer != kRspOk)) {
        failure = "DONE refused";
        return false;
    }
    if (doneSeconds)
        *doneSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    if (waitForAnswers && !WaitClosed(fd)) {
        failure = "connection left open after DONE";
        return false;
    }
    return true;
}

bool BenchClient::Push(const BackupIdentity& id, bool full, BenchPlan& plan, const DataPool& pool,
                       std::string& failure)
{
    m_doneSeconds = -1;
    Socket s(m_port);
    if (s.fd() < 0) {
        failure = "connect";
        return false;
    }
    return SendStream(s.fd(), id, full, true, plan, pool, failure, &m_doneSeconds);
}

bool BenchClient::SendRawBackup(std::uint16_t port, const BackupIdentity& id, BenchPlan& plan,
                                const DataPool& pool)
{
    Socket s(port);
    std::string failure;
    return s.fd() >= 0 && SendStream(s.fd(), id, true, false, plan, pool, failure);
}

void BenchClient::FrameStream(int fd, const BackupIdentity& id, std::uint32_t blocks, RestoreCheck& r)
{
    // Walks the records as the bytes arrive, carrying a word or header that a read cut in
    // two in a small stash, and skipping data in place: a receiver that frames the stream
    // and costs little more than a plain one.
    std::vector<std::uint8_t> buf(kBlock);
    std::uint8_t stash[12];
    std::size_t stashed = 0;
    enum class Want { Word, Header, Data } want = Want::Word;
    std::uint64_t dataLeft = 0;
    std::uint32_t expectedID = 1;
    for (;;) {
        const std::int64_t got = hl::Os().Recv(fd, buf.data(), buf.size());
        if (got <= 0) {
            r.failure = "stream ended without DONE";
            return;
        }
        r.bytes += static_cast<std::uint64_t>(got);
        const std::uint8_t* p = buf.data();
        const std::uint8_t* end = p + got;
        while (p < end) {
            if (want == Want::Data) {
                const std::uint64_t n = std::min<std::uint64_t>(dataLeft, std::uint64_t(end - p));
                p += n;
                dataLeft -= n;
                if (dataLeft == 0)
                    want = Want::Word;
                continue;
            }
            const std::size_t size = want == Want::Word ? 4 : 12;
            const std::uint8_t* item = nullptr;
            if (stashed == 0 && std::size_t(end - p) >= size) {
                item = p;
                p += size;
            } else {
                const std::size_t n = std::min<std::size_t>(size - stashed, std::size_t(end - p));
                std::memcpy(stash + stashed, p, n);
                stashed += n;
                p += n;
                if (stashed < size)
                    continue;
                item = stash;
                stashed = 0;
            }
            if (want == Want::Word) {
                const std::uint32_t word = GetBE(item);
                if (word == kCmdDone) {
                    r.done = p == end;
                    if (!r.done)
                        r.failure = "bytes after DONE";
                    if (r.records != blocks)
                        r.contentOk = false;
                    WaitClosed(fd);
                    return;
                }
                if (word != kCmdCluster) {
                    r.failure = "bad word in the stream";
                    return;
                }
                want = Want::Header;
            } else {
                const std::uint32_t length = GetBE(item + 8);
                if (GetBE(item) != expectedID || length != id.clusterSize)
                    r.contentOk = false;
                if (length > id.clusterSize) {
                    r.failure = "bad record";
                    return;
                }
                ++expectedID;
                ++r.records;
                dataLeft = length;
                want = dataLeft > 0 ? Want::Data : Want::Word;
            }
        }
    }
}

RestoreCheck BenchClient::Restore(const BackupIdentity& id, std::uint32_t blocks, bool incrementalApplied,
                                  const DataPool& pool, bool compareData)
{
    RestoreCheck r;
    const auto start = std::chrono::steady_clock::now();
    Socket s(m_port);
    std::uint32_t answer = 1;
    if (s.fd() < 0 || !SendWords(s.fd(), {kCmdRestore, id.serialNumber}) || !ReadWord(s.fd(), answer) ||
        answer != kRspOk) {
        r.failure = "RESTORE refused";
        return r;
    }
    std::uint8_t header[20];
    if (!ReadExact(s.fd(), header, 20)) {
        r.failure = "no backup header";
        return r;
    }
    r.bytes = 24;
    r.answerSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (GetBE(header) != id.serialNumber || GetBE(header + 4) != id.clusterSize)
        r.contentOk = false;
    if (!compareData) {
        FrameStream(s.fd(), id, blocks, r);
        return r;
    }

    // Parse the stream out of large reads: [CLUSTER][12-byte header][data] ... [DONE].
    std::vector<std::uint8_t> buf(kBlock + 16 + id.clusterSize);
    std::size_t have = 0;
    std::size_t pos = 0;
    std::uint32_t expectedID = 1;
    for (;;) {
        // Make room and read more when the next item is not complete in the buffer.
        auto need = [&](std::size_t n) {
            while (have - pos < n) {
                if (pos > 0) {
                    std::memmove(buf.data(), buf.data() + pos, have - pos);
                    have -= pos;
                    pos = 0;
                }
                if (hl::Os().WaitReadable(s.fd(), kTimeoutMs) != 1)
                    return false;
                const std::int64_t got = hl::Os().Recv(s.fd(), buf.data() + have, buf.size() - have);
                if (got <= 0)
                    return false;
                have += static_cast<std::size_t>(got);
                r.bytes += static_cast<std::uint64_t>(got);
            }
            return true;
        };
        if (!need(4)) {
            r.failure = "stream ended without DONE";
            return r;
        }
        const std::uint32_t word = GetBE(buf.data() + pos);
        pos += 4;
        if (word == kCmdDone) {
            r.done = true;
            break;
        }
        if (word != kCmdCluster || !need(12)) {
            r.failure = "bad word in the stream";
            return r;
        }
        const std::uint32_t blockID = GetBE(buf.data() + pos);
        const std::uint32_t length = GetBE(buf.data() + pos + 8);
        pos += 12;
        if (length > id.clusterSize || !need(length)) {
            r.failure = "bad record";
            return r;
        }
        if (blockID != expectedID || length != id.clusterSize)
            r.contentOk = false;
        if (compareData) {
            const std::uint32_t generation =
                incrementalApplied && BenchPlan::ReplacedByIncremental(blockID) ? 1 : 0;
            const std::uint8_t* expected = pool.Slice(blockID, generation, length);
            // Head and tail of each record: enough to see a wrong, stale or shifted record.
            const std::size_t probe = std::min<std::size_t>(length, 16);
            if (std::memcmp(buf.data() + pos, expected, probe) != 0 ||
                std::memcmp(buf.data() + pos + length - probe, expected + length - probe, probe) != 0)
                r.contentOk = false;
        }
        ++expectedID;
        pos += length;
        ++r.records;
    }
    if (r.records != blocks)
        r.contentOk = false;
    WaitClosed(s.fd());
    return r;
}

} // namespace bench
