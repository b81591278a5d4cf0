#include "Baseline.h"

#include <chrono>
#include <future>
#include <thread>

#include "Platform.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

// Blocks small enough to stay in the processor's cache between the read and the write:
// measured faster here than 1 MiB blocks, whose copies go through main memory.
constexpr std::size_t kBlock = 256 * 1024;

double g_lastSyncSeconds = 0;

// The service asks the disk to start writing every 8 MiB of a file it will sync (write-behind);
// the plain writers do the same, so that the baseline is the least work, not a slower way.
constexpr std::uint64_t kWriteBehindChunk = 8u << 20;

class WriteBehind {
public:
    explicit WriteBehind(int fd) : m_fd(fd) {}
    void Written(std::uint64_t end)
    {
        if (end - m_started >= kWriteBehindChunk) {
            hl::Os().StartWriteback(m_fd, m_started, end - m_started);
            m_started = end;
        }
    }

private:
    int m_fd;
    std::uint64_t m_started = 0;
};

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// Reads the files in order, one block at a time, and hands each block to the sink;
// false when a file cannot be read or the sink refuses a block.
template <typename Sink>
bool ForEachBlock(const std::vector<std::string>& files, Sink&& sink)
{
    hl::Platform& os = hl::Os();
    std::vector<std::uint8_t> buffer(kBlock);
    for (const std::string& f : files) {
        const int in = os.OpenFile(f, hl::OpenMode::Read);
        if (in < 0)
            return false;
        bool ok = true;
        for (;;) {
            const std::int64_t n = os.Read(in, buffer.data(), buffer.size());
            if (n < 0)
                ok = false;
            if (n <= 0)
                break;
            if (!sink(buffer.data(), static_cast<std::size_t>(n))) {
                ok = false;
                break;
            }
        }
        os.Close(in);
        if (!ok)
            return false;
    }
    return true;
}

class Listener {
public:
    Listener() : m_fd(hl::Os().Listen(0, 4)) {}
    ~Listener()
    {
        if (m_fd >= 0)
            hl::Os().Close(m_fd);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    int fd() const { return m_fd; }
    std::uint16_t port() const
    {
        return static_cast<std::uint16_t>(m_fd >= 0 ? hl::Os().LocalPort(m_fd) : 0);
    }

private:
    int m_fd;
};

} // namespace

std::int64_t Baseline::ReceiveAll(int listenSocket, const std::string& file)
{
    hl::Platform& os = hl::Os();
    if (os.WaitReadable(listenSocket, BenchClient::kTimeoutMs) != 1)
        return -1;
    const int conn = os.Accept(listenSocket, nullptr);
    if (conn < 0)
        return -1;
    int out = -1;
    if (!file.empty() && (out = os.OpenFile(file, hl::OpenMode::Truncate)) < 0) {
        os.Close(conn);
        return -1;
    }
    // Received bytes are gathered into whole blocks and written at their offsets, the
    // cheapest way into the page cache measured here.
    std::vector<std::uint8_t> buffer(kBlock);
    std::size_t fill = 0;
    std::int64_t total = 0;
    bool ok = true;
    WriteBehind behind(out);
    for (;;) {
        const std::int64_t n = os.Recv(conn, buffer.data() + fill, buffer.size() - fill);
        if (n < 0)
            ok = false;
        if (n > 0) {
            fill += static_cast<std::size_t>(n);
            total += n;
        }
        if (fill > 0 && (fill == buffer.size() || n <= 0)) {
            if (out >= 0 && !os.WriteAt(out, buffer.data(), fill, static_cast<std::uint64_t>(total) - fill)) {
                ok = false;
                break;
            }
            if (out >= 0)
                behind.Written(static_cast<std::uint64_t>(total));
            fill = 0;
        }
        if (n <= 0)
            break;
    }
    os.Close(conn);
    if (out >= 0 && !os.Close(out))
        ok = false;
    return ok ? total : -1;
}

double Baseline::LastSyncSeconds()
{
    return g_lastSyncSeconds;
}

bool Baseline::CopyFiles(const std::vector<std::string>& from, const std::string& to)
{
    hl::Platform& os = hl::Os();
    const int out = os.OpenFile(to, hl::OpenMode::Truncate);
    if (out < 0)
        return false;
    std::uint64_t at = 0;
    WriteBehind behind(out);
    bool ok = ForEachBlock(from, [&](const std::uint8_t* data, std::size_t n) {
        if (!os.WriteAt(out, data, n, at))
            return false;
        at += n;
        behind.Written(at);
        return true;
    });
    const auto syncStart = Clock::now();
    ok = ok && os.Sync(out);
    g_lastSyncSeconds = Seconds(syncStart);
    return os.Close(out) && ok;
}

double Baseline::ReceiveAndCopy(const BackupIdentity& id, BenchPlan& plan, const DataPool& pool,
                                const std::string& streamFile, const std::string& copyFile,
                                double* receiveSeconds)
{
    return ReceiveAndCopyImage(id, plan, pool, streamFile, {}, copyFile, receiveSeconds);
}

double Baseline::ReceiveAndCopyImage(const BackupIdentity& id, BenchPlan& plan, const DataPool& pool,
                                     const std::string& streamFile, const std::vector<std::string>& image,
                                     const std::string& copyFile, double* receiveSeconds)
{
    Listener listener;
    if (listener.fd() < 0)
        return -1;
    const std::uint16_t port = listener.port();
    const auto start = Clock::now();
    auto sender =
        std::async(std::launch::async, [&] { return BenchClient::SendRawBackup(port, id, plan, pool); });
    // The receiver runs on a thread of its own, as the service's worker does: the kernel
    // paces a thread that dirties the page cache by that thread's own history of writes, so
    // a long-lived thread that wrote gigabytes before would be held back more than a new one.
    double received = -1;
    auto receiver = std::async(std::launch::async, [&] {
        const std::int64_t bytes = ReceiveAll(listener.fd(), streamFile);
        if (bytes != std::int64_t(plan.StreamBytes() + 4 * 10))
            return false;
        received = Seconds(start);
        // A full backup copies what it received; an incremental copies the old image instead
        // (the new clusters stay in the stream file, as a merge would read them from there).
        return image.empty() ? CopyFiles({streamFile}, copyFile) : CopyFiles(image, copyFile);
    });
    const bool sent = sender.get();
    const bool copied = receiver.get();
    if (!sent || !copied)
        return -1;
    if (receiveSeconds)
        *receiveSeconds = received;
    return Seconds(start);
}

double Baseline::SendFiles(const std::vector<std::string>& image, std::uint64_t& bytes)
{
    Listener listener;
    if (listener.fd() < 0)
        return -1;
    const std::uint16_t port = listener.port();
    const auto start = Clock::now();
    auto sender = std::async(std::launch::async, [&] {
        hl::Platform& os = hl::Os();
        const int s = os.Connect("127.0.0.1", port);
        if (s < 0)
            return false;
        const bool ok = ForEachBlock(
            image, [&](const std::uint8_t* data, std::size_t n) { return os.SendAll(s, data, n); });
        os.Close(s);
        return ok;
    });
    const std::int64_t received = ReceiveAll(listener.fd(), std::string());
    const bool sent = sender.get();
    if (!sent || received < 0)
        return -1;
    bytes = static_cast<std::uint64_t>(received);
    return Seconds(start);
}

} // namespace bench
