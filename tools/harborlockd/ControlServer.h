// ControlServer: the local control channel of harborlockd, a Unix stream socket that only
// the owning user can use (mode 0600, and each peer's user id is checked as well).
//
// One request per connection: a line of tab-separated fields (format "text" or "json", the
// command, its arguments). The answer is the exit code for harborlock-ctl on its own line,
// then the body; the daemon closes the connection after it.
#pragma once

#include <map>
#include <string>
#include <vector>

class ControlServer {
public:
    ControlServer() = default;
    ~ControlServer(); // closes every connection and removes the socket file
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens on path. Fails (with a reason) when another daemon answers there.
    bool Open(const std::string& path, std::string& why);
    void Close();
    const std::string& Path() const { return m_path; }

    // Descriptors to wait on for reading: the listener and every open connection.
    std::vector<int> Descriptors() const;
    // Called when fd is readable. Returns true with the request's fields once a connection has
    // sent a whole line; the connection stays open for the answer.
    bool OnReadable(int fd, std::vector<std::string>& request);
    // Sends the answer and closes the connection.
    void Answer(int fd, int exitCode, const std::string& body);

private:
    void Drop(int fd);

    std::string m_path;
    int m_listenFd = -1;
    std::map<int, std::string> m_clients; // connection -> bytes received so far
    std::map<int, bool> m_answering;      // connections whose request is complete
};
