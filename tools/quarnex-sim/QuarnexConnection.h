// One TCP connection of the simulated Quarnex server to the backup service, with the word
// and byte primitives of the protocol. Tests use it directly to send truncated or
// out-of-order messages; QuarnexSim builds the whole conversations on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quarnexsim {

class QuarnexConnection {
public:
    QuarnexConnection() = default;
    ~QuarnexConnection();
    QuarnexConnection(const QuarnexConnection&) = delete;
    QuarnexConnection& operator=(const QuarnexConnection&) = delete;

    // source: the local address to connect from ("" lets the system choose); on loopback any
    // 127.x.y.z, so one machine can play servers at several addresses.
    bool Connect(const std::string& host, std::uint16_t port, const std::string& source = std::string());
    bool IsOpen() const { return m_socket >= 0; }
    void Close();

    bool SendWord(std::uint32_t word);
    bool SendBytes(const void* data, std::size_t length);

    // Reads exactly length bytes within timeoutMs per wait; false on time-out, error or close.
    bool ReadExact(void* data, std::size_t length, int timeoutMs);
    bool ReadWord(std::uint32_t& word, int timeoutMs);

    // Result of waiting for the peer to close.
    enum class CloseState { Closed, DataPending, TimedOut, Failed };
    // Waits until the service closes the connection; any byte that arrives first is reported
    // as DataPending (it is consumed).
    CloseState WaitClosed(int timeoutMs);

    void SetReadTimeoutMs(int ms) { m_timeoutMs = ms; }
    int ReadTimeoutMs() const { return m_timeoutMs; }

private:
    int m_socket = -1;
    int m_timeoutMs = 30000;
};

} // namespace quarnexsim
