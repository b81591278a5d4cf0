#include "QuarnexConnection.h"

#include "Platform.h"
#include "SimTypes.h"

namespace quarnexsim {

QuarnexConnection::~QuarnexConnection()
{
    Close();
}

bool QuarnexConnection::Connect(const std::string& host, std::uint16_t port, const std::string& source)
{
    Close();
    m_socket = hl::Os().ConnectFrom(source, host, port);
    return m_socket >= 0;
}

void QuarnexConnection::Close()
{
    if (m_socket >= 0)
        hl::Os().Close(m_socket);
    m_socket = -1;
}

bool QuarnexConnection::SendWord(std::uint32_t word)
{
    std::uint8_t bytes[4];
    PutBE(bytes, word);
    return SendBytes(bytes, 4);
}

bool QuarnexConnection::SendBytes(const void* data, std::size_t length)
{
    if (m_socket < 0)
        return false;
    return length == 0 || hl::Os().SendAll(m_socket, data, length);
}

bool QuarnexConnection::ReadExact(void* data, std::size_t length, int timeoutMs)
{
    if (m_socket < 0)
        return false;
    hl::Platform& os = hl::Os();
    auto* p = static_cast<std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < length) {
        if (os.WaitReadable(m_socket, static_cast<std::uint32_t>(timeoutMs)) != 1)
            return false;
        const std::int64_t n = os.Recv(m_socket, p + done, length - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool QuarnexConnection::ReadWord(std::uint32_t& word, int timeoutMs)
{
    std::uint8_t bytes[4];
    if (!ReadExact(bytes, 4, timeoutMs))
        return false;
    word = GetBE(bytes);
    return true;
}

QuarnexConnection::CloseState QuarnexConnection::WaitClosed(int timeoutMs)
{
    if (m_socket < 0)
        return CloseState::Failed;
    hl::Platform& os = hl::Os();
    const int r = os.WaitReadable(m_socket, static_cast<std::uint32_t>(timeoutMs));
    if (r == 0)
        return CloseState::TimedOut;
    if (r < 0)
        return CloseState::Failed;
    std::uint8_t byte;
    const std::int64_t n = os.Recv(m_socket, &byte, 1);
    if (n == 0)
        return CloseState::Closed;
    // A reset by the peer is a close as well.
    return n < 0 ? CloseState::Closed : CloseState::DataPending;
}

} // namespace quarnexsim
