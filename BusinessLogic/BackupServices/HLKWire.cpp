#include "HLKWire.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "HLKInternal.h"
#include "HLKServer.h"
#include "Platform.h"
#include "SFSProtocol.h"
#include "SessionData.h"

namespace {
const char* const kUnit = "BusinessLogic/BackupServices/HLKWire";
} // namespace

std::string HLKWire::formatServerId(std::uint32_t serialNumber)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serialNumber);
    return text;
}

int HLKWire::socketWrite(int socket, const void* buffer, std::size_t length)
{
    // SendAll goes on after short sends and never raises SIGPIPE.
    return hl::Os().SendAll(socket, buffer, length) ? 0 : -1;
}

int HLKWire::sendResponse(int socket, std::uint32_t word)
{
    std::uint8_t bytes[SFS_WORD_SIZE];
    SFS_PutWord(bytes, word);
    if (socketWrite(socket, bytes, sizeof bytes) != 0) {
        HLK_INTERNAL();
        return -1;
    }
    return 0;
}

std::int64_t HLKWire::socketRead(int socket, void* buffer, std::size_t length, int timeoutMs)
{
    hl::Platform& os = hl::Os();
    const int r = os.WaitReadable(socket, static_cast<std::uint32_t>(timeoutMs));
    if (r < 0)
        return -1;
    if (r == 0)
        return -2;
    return os.Recv(socket, buffer, length);
}

std::int64_t HLKWire::receive(SessionData& session, void* buffer, std::size_t length, int timeoutMs)
{
    if (session.rxPos < session.rxEnd) {
        const std::size_t k = std::min(length, session.rxEnd - session.rxPos);
        std::memcpy(buffer, session.rxBuffer.data() + session.rxPos, k);
        session.rxPos += k;
        return static_cast<std::int64_t>(k);
    }
    // Large reads (cluster data) go straight to their destination.
    if (length >= session.rxBuffer.size())
        return socketRead(session.socket, buffer, length, timeoutMs);
    const std::int64_t r =
        socketRead(session.socket, session.rxBuffer.data(), session.rxBuffer.size(), timeoutMs);
    if (r <= 0)
        return r;
    session.rxPos = 0;
    session.rxEnd = static_cast<std::size_t>(r);
    const std::size_t k = std::min(length, session.rxEnd);
    std::memcpy(buffer, session.rxBuffer.data(), k);
    session.rxPos = k;
    return static_cast<std::int64_t>(k);
}

int HLKWire::fillBuffer(SessionData& session, void* buffer, std::size_t n)
{
    auto* p = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        const std::int64_t r = receive(session, p + done, n - done, session.timeouts.payloadReadMs);
        if (r < 1) {
            HLK_ERROR("HLKServer fillBuffer(): socketRead() timeout or error\n");
            return -1;
        }
        done += static_cast<std::size_t>(r);
    }
    return 0;
}

std::uint32_t HLKWire::waitCommand(SessionData& session, HLK_Thread_Sync_t& sync)
{
    std::uint8_t word[SFS_WORD_SIZE];
    std::size_t received = 0;
    int timeouts = 0;
    while (received < sizeof word) {
        const std::int64_t r =
            receive(session, word + received, sizeof word - received, session.timeouts.commandPollMs);
        if (r == -2) {
            if (sync.StopRequested())
                return SFS_WAIT_STOPPED;
            if (timeouts >= session.timeouts.maxCommandPolls)
                return 0xFFFFFFFF;
            ++timeouts;
            continue;
        }
        if (r < 1) {
            HLK_ERROR("HLKServer waitCommand(): socketRead() error\n");
            return 0xFFFFFFFF;
        }
        received += static_cast<std::size_t>(r);
    }
    return SFS_GetWord(word);
}
