// HLKWire: the socket side of a conversation: command words, response words and payloads, read
// through the session's receive buffer with the session's time-outs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct HLK_Thread_Sync_t;
struct SessionData;

class HLKWire {
public:
    // The server identifier text of a serial number ("%08X").
    static std::string formatServerId(std::uint32_t serialNumber);
    static int sendResponse(int socket, std::uint32_t word);
    static int socketWrite(int socket, const void* buffer, std::size_t length);
    // Exactly n bytes of payload, or -1.
    static int fillBuffer(SessionData& session, void* buffer, std::size_t n);
    // The next command word, SFS_WAIT_STOPPED, or 0xFFFFFFFF (-1) when the wait failed.
    static std::uint32_t waitCommand(SessionData& session, HLK_Thread_Sync_t& sync);

private:
    // >0 bytes read, 0 peer closed, -1 failure, -2 time-out.
    static std::int64_t socketRead(int socket, void* buffer, std::size_t length, int timeoutMs);
    // socketRead through the session's receive buffer.
    static std::int64_t receive(SessionData& session, void* buffer, std::size_t length, int timeoutMs);
};
