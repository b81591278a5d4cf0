#include "CrashPlatform.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

void CrashPlatform::KillSelf()
{
    ::kill(::getpid(), SIGKILL);
    for (;;)
        ::pause();
}

namespace {

sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

void CrashPlatform::BlockStopSignals()
{
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int CrashPlatform::WaitForStopSignal()
{
    const sigset_t set = StopSignals();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {}
    return sig;
}

const char* CrashPlatform::OpName(hl::PlatformOp op)
{
    switch (op) {
    case hl::kOpMkdir: return "mkdir";
    case hl::kOpRmdir: return "rmdir";
    case hl::kOpOpen: return "open";
    case hl::kOpWrite: return "write";
    case hl::kOpTruncate: return "truncate";
    case hl::kOpSync: return "sync";
    case hl::kOpUnlink: return "unlink";
    case hl::kOpRename: return "rename";
    case hl::kOpCopy: return "copy";
    case hl::kOpAttributes: return "attributes";
    case hl::kOpTempName: return "tempname";
    default: return "other";
    }
}

int CrashPlatform::Intercept(hl::PlatformOp op)
{
    if ((op & hl::kOpFileMutations) == 0)
        return 0;
    const std::uint64_t n = ++m_count;
    if (m_killAt != 0 && n == m_killAt) {
        if (m_noticeFd >= 0) {
            char line[96];
            const int len = std::snprintf(line, sizeof line, "Killed at op %llu %s\n",
                                          static_cast<unsigned long long>(n), OpName(op));
            if (len > 0)
                Inner().Write(m_noticeFd, line, static_cast<std::size_t>(len));
        }
        KillSelf();
    }
    return 0;
}
