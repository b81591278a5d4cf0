// Peak memory of the service in a process of its own: starts harborlock-bench-host, reads
// its VmHWM (peak resident set) and VmRSS from /proc, and stops it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QProcess;

namespace bench {

class MemoryProbe {
public:
    MemoryProbe();
    ~MemoryProbe();
    MemoryProbe(const MemoryProbe&) = delete;
    MemoryProbe& operator=(const MemoryProbe&) = delete;

    // Starts the host with its repository under root, the given servers prepared as
    // PrepareServer does; false when it did not report a port.
    bool Start(const std::string& hostProgram, const std::string& root,
               const std::vector<std::string>& servers = {});
    std::uint16_t Port() const { return m_port; }
    // Peak and current resident memory of the host in bytes, -1 when unreadable.
    std::int64_t PeakBytes() const { return Read("VmHWM:"); }
    std::int64_t ResidentBytes() const { return Read("VmRSS:"); }
    // Asks the host to stop (end of its standard input) and waits for it.
    void Stop();

private:
    std::int64_t Read(const char* field) const;
    std::unique_ptr<QProcess> m_process;
    std::uint16_t m_port = 0;
};

} // namespace bench
