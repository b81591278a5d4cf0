#include "HostProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Eventually.h"

extern char** environ;

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

} // namespace

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string HostProcess::ExecutablePath()
{
    return HARBORLOCK_HOST_PATH;
}

HostProcess::~HostProcess()
{
    if (!m_ended)
        Kill();
}

bool HostProcess::Start(const Options& options, std::string& why)
{
    if (!m_ended)
        Kill();
    m_options = options;
    m_port = 0;
    std::filesystem::create_directories(options.workDir);
    const std::string portFile = options.workDir + "/port";
    m_notesPath = options.workDir + "/notes";
    m_errPath = options.workDir + "/stderr";
    std::filesystem::remove(portFile);
    std::filesystem::remove(m_notesPath);
    std::filesystem::remove(m_errPath);

    std::vector<std::string> args = {ExecutablePath(), "--root",    options.root, "--port-file",  portFile,
                                     "--notes",        m_notesPath, "--log-dir",  options.workDir};
    if (options.killAtOp)
        args.insert(args.end(), {"--kill-at-op", std::to_string(options.killAtOp)});
    if (options.shortTimeouts)
        args.push_back("--short-timeouts");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (options.workDir + "/stdout").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        why = "cannot start " + args[0];
        m_pid = -1;
        return false;
    }
    m_ended = false;

    bool ended = false;
    const bool settled = testsupport::Eventually(
        [&] {
            const std::string text = ReadWholeFile(portFile);
            if (!text.empty() && text.back() == '\n') {
                m_port = static_cast<std::uint16_t>(std::atoi(text.c_str()));
                return true;
            }
            ended = !Running();
            return ended;
        },
        std::chrono::seconds(30));
    if (settled && !ended)
        return m_port != 0;
    if (ended) {
        why = "host ended before it listened: " + ErrorOutput();
        return false;
    }
    why = "host did not listen within 30 s";
    Kill();
    return false;
}

void HostProcess::Signal(int sig)
{
    if (!m_ended && m_pid > 0)
        ::kill(m_pid, sig);
}

int HostProcess::Wait()
{
    if (m_ended)
        return m_status;
    while (::waitpid(m_pid, &m_status, 0) < 0) {}
    m_ended = true;
    return m_status;
}

bool HostProcess::Running()
{
    if (m_ended)
        return false;
    const pid_t r = ::waitpid(m_pid, &m_status, WNOHANG);
    if (r == m_pid) {
        m_ended = true;
        return false;
    }
    return true;
}

void HostProcess::Kill()
{
    Signal(SIGKILL);
    Wait();
}

bool HostProcess::Stop()
{
    Signal(SIGTERM);
    const int status = Wait();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool HostProcess::KilledBySigkill() const
{
    return m_ended && WIFSIGNALED(m_status) && WTERMSIG(m_status) == SIGKILL;
}

std::vector<std::string> HostProcess::Notes() const
{
    return Lines(ReadWholeFile(m_notesPath));
}

std::string HostProcess::ErrorOutput() const
{
    return ReadWholeFile(m_errPath);
}

std::uint64_t HostProcess::OpsAtStart() const
{
    for (const std::string& line : Notes()) {
        const auto at = line.find(" ops=");
        if (line.rfind("Listening", 0) == 0 && at != std::string::npos)
            return std::strtoull(line.c_str() + at + 5, nullptr, 10);
    }
    return 0;
}

ProcessFigures ProcessFigures::Now()
{
    ProcessFigures f;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++f.descriptors;
    // The iterator's own descriptor was counted too.
    if (f.descriptors > 0)
        --f.descriptors;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++f.threads;
    std::istringstream statm(ReadWholeFile("/proc/self/statm"));
    std::size_t size = 0, resident = 0;
    statm >> size >> resident;
    f.rssKiB = resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
    return f;
}
