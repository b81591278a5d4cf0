// HostProcess: one run of harborlock-host as a child process, for tests that kill and restart
// the service. The host writes its port to a file once it listens and every notification as a
// line to a notes file; both are read here.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class HostProcess {
public:
    struct Options {
        std::string root;           // backup folder
        std::string workDir;        // port file, notes, output of this run
        std::uint64_t killAtOp = 0; // 0: never kill itself
        bool shortTimeouts = true;
    };

    HostProcess() = default;
    ~HostProcess(); // kills a host still running
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Starts the host and waits (up to 30 s) until it listens. False with a reason otherwise.
    bool Start(const Options& options, std::string& why);
    std::uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }

    // Sends a signal; does not wait.
    void Signal(int sig);
    // SIGKILL and wait.
    void Kill();
    // SIGTERM and wait; true when the host stopped cleanly (exit code 0).
    bool Stop();
    // True while the child has not ended (reaps it when it has).
    bool Running();
    // Waits until the child ended; its wait status.
    int Wait();
    bool KilledBySigkill() const;

    // Lines written so far to the notes file and to the host's standard error.
    std::vector<std::string> Notes() const;
    std::string ErrorOutput() const;
    // Number of file-system changes the host had made at its first notes line.
    std::uint64_t OpsAtStart() const;

    static std::string ExecutablePath();

private:
    Options m_options;
    pid_t m_pid = -1;
    int m_status = 0;
    bool m_ended = true;
    std::uint16_t m_port = 0;
    std::string m_notesPath;
    std::string m_errPath;
};

// Resident memory, descriptors and threads of this process, from /proc/self.
struct ProcessFigures {
    std::size_t descriptors = 0;
    std::size_t threads = 0;
    std::size_t rssKiB = 0;

    static ProcessFigures Now();
};

// A whole file as text ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);
