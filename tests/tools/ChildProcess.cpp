#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>

#include "Eventually.h"

extern char** environ;

ChildProcess::~ChildProcess()
{
    if (m_pid > 0 && !m_ended) {
        ::kill(m_pid, SIGKILL);
        Wait(5);
    }
}

bool ChildProcess::Spawn(std::vector<std::string> args, const std::vector<std::string>& env,
                         const std::string& outPath, const std::string& errPath)
{
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool overridden = false;
        for (const std::string& o : env)
            overridden = overridden || o.rfind(name + "=", 0) == 0;
        if (!overridden)
            envStrings.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    m_ended = rc != 0;
    return rc == 0;
}

bool ChildProcess::Running()
{
    if (m_ended)
        return false;
    if (::waitpid(m_pid, &m_status, WNOHANG) == m_pid)
        m_ended = true;
    return !m_ended;
}

int ChildProcess::Wait(int seconds)
{
    if (!testsupport::Eventually([this] { return !Running(); }, std::chrono::seconds(seconds))) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &m_status, 0);
        m_ended = true;
        return -1;
    }
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
}

void ChildProcess::Signal(int sig)
{
    ::kill(m_pid, sig);
}
