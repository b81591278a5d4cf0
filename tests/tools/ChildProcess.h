// A child process (harborlockd, quarnex-sim) with its output in files, killed if the test
// leaves it running.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts args[0] with this process's environment, `env` ("NAME=value") overriding it;
    // standard input is /dev/null.
    bool Spawn(std::vector<std::string> args, const std::vector<std::string>& env, const std::string& outPath,
               const std::string& errPath);
    // True while the child has not ended (reaps it when it has).
    bool Running();
    // Exit code, or -1 when it has not ended within `seconds` (it is killed then).
    int Wait(int seconds);
    void Signal(int sig);
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_status = 0;
    bool m_ended = true;
};
