// harborlock-bench-fleet: N Quarnex servers connect at the same moment, each pushing a full
// backup; the service serves them one at a time. The figure is the wall time of the fleet
// against the sum of the same backups run one after another with no gap (see README.md).
//
//   harborlock-bench-fleet [--servers 8,32,100] [--size 32M] [--backlog N[,M...]]
//                          [--repeat N] [--work DIR] [--markdown FILE]
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "BenchPlan.h"
#include "CBFMBackup.h"
#include "CBFMFile.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "CLog.h"
#include "FleetClient.h"
#include "FleetWindow.h"
#include "HLKBackup.h"
#include "Platform.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kTarget = 1.15;
// No pass may take longer than this, whatever happens to the clients.
constexpr int kPassLimitMs = 20 * 60 * 1000;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::vector<std::uint64_t> ParseList(const std::string& text)
{
    std::vector<std::uint64_t> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (item.empty())
            continue;
        char* end = nullptr;
        const double v = std::strtod(item.c_str(), &end);
        std::uint64_t scale = 1;
        if (end && (*end == 'M' || *end == 'm'))
            scale = 1ull << 20;
        else if (end && (*end == 'K' || *end == 'k'))
            scale = 1ull << 10;
        else if (end && (*end == 'G' || *end == 'g'))
            scale = 1ull << 30;
        out.push_back(static_cast<std::uint64_t>(v * double(scale)));
    }
    return out;
}

std::string ServerId(std::uint32_t serial)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

std::uint32_t Serial(int i)
{
    return 0x0F1E0000u + static_cast<std::uint32_t>(i);
}

// The service in this process over a fresh backup folder, as the program runs it.
class FleetService {
public:
    FleetService(const std::string& root, int backlog)
    {
        fs::remove_all(root);
        fs::create_directories(root);
        CLog::Init(root);
        CLog::SetLevels(32, CLog::LEVEL_FATAL | CLog::LEVEL_ERROR | CLog::LEVEL_WARN);
        CLog::SetLevels(33, CLog::LEVEL_FATAL | CLog::LEVEL_ERROR | CLog::LEVEL_WARN);
        m_ok = CBFMRepository::GetInstance(hl::JoinPath(root, "backups").c_str()) != nullptr;
        GUIComm::GetInstance(&window);
        HLKBackup::SetListenBacklog(backlog);
        m_ok = m_ok && HLKBackup::GetInstance()->HLK_ResetEphemeral();
        port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
    }
    ~FleetService()
    {
        HLKBackup::Cleanup();
        GUIComm::Cleanup();
        CBFMRepository::Release();
        CLog::Close();
    }
    bool Ok() const { return m_ok; }

    // A ping answered: the previous conversation has ended and the listener is at its accept.
    bool Ping()
    {
        const int fd = hl::Os().Connect("127.0.0.1", port);
        if (fd < 0)
            return false;
        std::uint8_t b[4];
        PutBE(b, kCmdPing);
        bool ok = hl::Os().SendAll(fd, b, 4) && hl::Os().WaitReadable(fd, 120000) == 1 &&
                  hl::Os().Recv(fd, b, 4) == 4 && GetBE(b) == kRspOk;
        hl::Os().Close(fd);
        return ok;
    }

    // Every byte of each server's stored image is what it sent.
    bool Verify(int servers, const BenchPlan& plan, const DataPool& pool, std::string& failure)
    {
        CBFMRepository* repo = CBFMRepository::GetInstance(nullptr);
        std::vector<std::uint8_t> stored(1u << 20);
        for (int i = 0; i < servers; ++i) {
            const std::string id = ServerId(Serial(i));
            std::unique_ptr<CBFMServer> server = repo->GetServer(id);
            std::string current;
            std::unique_ptr<CBFMBackup> backup;
            if (!server || !server->GetCurrentBackup(current) || !(backup = server->GetBackup(current))) {
                failure = id + ": no current backup";
                return false;
            }
            std::unique_ptr<CBFMFile> file = backup->OpenBFMFile(CBFMBackup::BackupFile);
            if (!file) {
                failure = id + ": image does not open";
                return false;
            }
            bool same = true;
            FleetClient::ExpectedImage(Serial(i), plan, pool, [&](const std::uint8_t* p, std::size_t n) {
                while (same && n > 0) {
                    const std::uint32_t k =
                        static_cast<std::uint32_t>(std::min<std::size_t>(n, stored.size()));
                    std::uint32_t got = 0;
                    if (!file->Read(stored.data(), k, got) || got != k ||
                        std::memcmp(stored.data(), p, k) != 0)
                        same = false;
                    p += k;
                    n -= k;
                }
            });
            std::uint32_t extra = 0;
            if (same && file->Read(stored.data(), 1, extra) && extra != 0)
                same = false;
            if (!same) {
                failure = id + ": stored image differs from what was sent";
                return false;
            }
        }
        return true;
    }

    FleetWindow window;
    std::uint16_t port = 0;

private:
    bool m_ok = false;
};

struct Figure {
    int servers = 0;
    int backlog = 0;
    double sequential = 0;  // sum of the backups one after another, no gap
    double fleet = 0;       // first connect to the last backup saved
    double longestWait = 0; // a client's time from connecting to its HELLO answer
    double slowestConnect = 0;
    int stored = 0;
    bool verified = false;
    std::string failure;
};

// The same backups one at a time. Each is counted from its connect until the service is free
// for the next one: its save reported and its worker ended (the worker gives the temporary
// files back before the next connection may start, as in the fleet). That moment is seen as
// the answer to a ping sent right after the save, less what a ping alone costs.
bool RunSequential(const std::string& root, Figure& f, const BenchPlan& plan, const DataPool& pool)
{
    FleetService service(root, f.backlog);
    if (!service.Ok()) {
        f.failure = "service did not start";
        return false;
    }
    double pingCost = 1e9;
    for (int i = 0; i < 5; ++i) {
        const Clock::time_point t0 = Clock::now();
        if (!service.Ping()) {
            f.failure = "ping on the idle service";
            return false;
        }
        pingCost = std::min(pingCost, Seconds(Clock::now() - t0));
    }
    const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(kPassLimitMs);
    for (int i = 0; i < f.servers; ++i) {
        const Clock::time_point t0 = Clock::now();
        const FleetPush r = FleetClient::Push(service.port, Serial(i), plan, pool);
        if (!r.ok || !service.window.WaitSaved(i + 1, 300000) || !service.Ping()) {
            f.failure = "sequential backup " + std::to_string(i) + ": " + (r.ok ? "not saved" : r.failure);
            return false;
        }
        f.sequential += std::max(0.0, Seconds(Clock::now() - t0) - pingCost);
        if (Clock::now() > limit) {
            f.failure = "sequential pass over its time limit";
            return false;
        }
    }
    return true;
}

bool RunFleet(const std::string& root, Figure& f, const BenchPlan& plan, const DataPool& pool)
{
    FleetService service(root, f.backlog);
    if (!service.Ok()) {
        f.failure = "service did not start";
        return false;
    }
    std::mutex lock;
    std::condition_variable go;
    bool released = false;
    int ready = 0;
    Clock::time_point start;
    std::vector<std::future<FleetPush>> clients;
    for (int i = 0; i < f.servers; ++i) {
        clients.push_back(std::async(std::launch::async, [&, i] {
            {
                std::unique_lock<std::mutex> guard(lock);
                ++ready;
                go.notify_all();
                go.wait(guard, [&] { return released; });
            }
            return FleetClient::Push(service.port, Serial(i), plan, pool);
        }));
    }
    {
        std::unique_lock<std::mutex> guard(lock);
        go.wait(guard, [&] { return ready == f.servers; });
        start = Clock::now();
        released = true;
        go.notify_all();
    }
    int ok = 0;
    for (auto& c : clients) {
        const FleetPush r = c.get();
        f.slowestConnect = std::max(f.slowestConnect, Seconds(r.connected - r.started));
        if (r.ok) {
            ++ok;
            f.longestWait = std::max(f.longestWait, Seconds(r.answered - r.started));
        } else if (f.failure.empty()) {
            f.failure = "a client failed: " + r.failure;
        }
    }
    if (ok > 0 && !service.window.WaitSaved(ok, 300000) && f.failure.empty())
        f.failure = "not every backup was saved";
    f.stored = service.window.Saved();
    f.fleet = Seconds(service.window.LastSavedAt() - start);
    if (!f.failure.empty())
        return false;
    std::string failure;
    f.verified = service.Verify(f.servers, plan, pool, failure);
    if (!f.verified)
        f.failure = failure;
    return f.verified;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::uint64_t> servers = {8, 32, 100};
    std::vector<std::uint64_t> backlogs = {std::uint64_t(HLKBackup::kDefaultListenBacklog)};
    std::uint64_t size = 32ull << 20;
    std::string work = "bench-work";
    int repeat = 3;
    std::string markdown;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--servers" && more)
            servers = ParseList(argv[++i]);
        else if (a == "--backlog" && more)
            backlogs = ParseList(argv[++i]);
        else if (a == "--repeat" && more)
            repeat = std::max(1, std::atoi(argv[++i]));
        else if (a == "--size" && more)
            size = ParseList(argv[++i]).at(0);
        else if (a == "--work" && more)
            work = argv[++i];
        else if (a == "--markdown" && more)
            markdown = argv[++i];
        else {
            std::fprintf(stderr,
                         "usage: %s [--servers 8,32,100] [--size 32M] [--backlog 4[,128]] [--repeat 3] "
                         "[--work DIR] [--markdown FILE]\n",
                         argv[0]);
            return 2;
        }
    }

    const std::uint32_t clusterSize = 65536;
    const BenchPlan plan = BenchPlan::Full(
        static_cast<std::uint32_t>(std::max<std::uint64_t>(1, size / clusterSize)), clusterSize);
    const DataPool pool;
    fs::create_directories(work);

    std::vector<Figure> figures;
    bool allMet = true;
    for (std::uint64_t backlog : backlogs) {
        for (std::uint64_t n : servers) {
            // Best of `repeat` runs of each pass, alternating which goes first: the machine is
            // shared, and a short pass is easily slowed by someone else's work.
            Figure f;
            f.servers = static_cast<int>(n);
            f.backlog = static_cast<int>(backlog);
            bool ok = true;
            const std::string root = (fs::path(work) / "fleet").string();
            for (int r = 0; r < repeat && ok; ++r) {
                Figure s = f, a = f;
                s.sequential = 0;
                bool sOk = true, aOk = true;
                for (int k = 0; k < 2; ++k) {
                    if ((k == 0) == (r % 2 == 0)) {
                        std::fprintf(stderr, "N=%d backlog=%d run %d: one after another...\n", f.servers,
                                     f.backlog, r + 1);
                        sOk = RunSequential(root, s, plan, pool);
                    } else {
                        std::fprintf(stderr, "N=%d backlog=%d run %d: all at once...\n", f.servers, f.backlog,
                                     r + 1);
                        aOk = RunFleet(root, a, plan, pool);
                    }
                    fs::remove_all(root);
                }
                if (!sOk || !aOk) {
                    ok = false;
                    f = sOk ? a : s;
                    f.sequential = s.sequential;
                    f.fleet = a.fleet;
                    break;
                }
                if (r == 0 || s.sequential < f.sequential)
                    f.sequential = s.sequential;
                if (r == 0 || a.fleet < f.fleet) {
                    f.fleet = a.fleet;
                    f.longestWait = a.longestWait;
                    f.slowestConnect = a.slowestConnect;
                    f.stored = a.stored;
                    f.verified = a.verified;
                }
            }
            const double ratio = f.sequential > 0 ? f.fleet / f.sequential : 0;
            allMet = allMet && ok && ratio <= kTarget;
            std::fprintf(stderr, "N=%d backlog=%d: sequential %.2f s, fleet %.2f s, ratio %.3f%s%s\n",
                         f.servers, f.backlog, f.sequential, f.fleet, ratio,
                         ok ? "" : ", FAILED: ", f.failure.c_str());
            figures.push_back(f);
        }
    }

    std::ostringstream table;
    table << "| Servers | Accept queue | One after another (s) | All at once (s) | Ratio (target <= 1.15) | "
             "Longest wait for HELLO answer (s) | Slowest connect (s) | Stored byte for byte |\n"
          << "|---|---|---|---|---|---|---|---|\n";
    for (const Figure& f : figures) {
        char line[512];
        const double ratio = f.sequential > 0 ? f.fleet / f.sequential : 0;
        std::snprintf(line, sizeof line, "| %d | %d | %.2f | %.2f | %.3f%s | %.2f | %.2f | %s |\n", f.servers,
                      f.backlog, f.sequential, f.fleet, ratio,
                      ratio <= kTarget && f.failure.empty() ? "" : " (missed)", f.longestWait,
                      f.slowestConnect,
                      f.verified ? (std::to_string(f.stored) + " of " + std::to_string(f.servers)).c_str()
                                 : ("no: " + f.failure).c_str());
        table << line;
    }
    std::printf("Each backup: %llu MiB full, %u-byte clusters; best of %d runs of each pass.\n\n%s",
                static_cast<unsigned long long>(std::uint64_t(plan.Count()) * clusterSize >> 20), clusterSize,
                repeat, table.str().c_str());
    if (!markdown.empty())
        std::ofstream(markdown) << table.str();
    return allMet ? 0 : 3;
}
