#include "HostWindow.h"

#include <cstdio>
#include <stdexcept>

#include "Platform.h"

namespace {

std::string Str(const char* s)
{
    return s ? std::string(s) : std::string("(null)");
}

} // namespace

HostWindow::HostWindow(const std::string& path)
{
    if (path.empty()) {
        m_fd = 1;
        return;
    }
    m_fd = hl::PosixPlatform().OpenFile(path, hl::OpenMode::Append);
    if (m_fd < 0)
        throw std::runtime_error("cannot open " + path);
    m_ownsFd = true;
}

HostWindow::~HostWindow()
{
    if (m_ownsFd)
        hl::PosixPlatform().Close(m_fd);
}

std::string HostWindow::Describe(unsigned message, intptr_t lParam)
{
    char buf[512];
    switch (message) {
    case CM_HLKBackupStarted: {
        auto* b = reinterpret_cast<HLKBackupStartedMsg*>(lParam);
        std::snprintf(buf, sizeof buf, "BackupStarted %s %u", Str(b->serverId).c_str(), b->sizeMB);
        break;
    }
    case CM_HLKProgress: std::snprintf(buf, sizeof buf, "Progress %ld", static_cast<long>(lParam)); break;
    case CM_HLKBackupTransferDone:
        std::snprintf(buf, sizeof buf, "BackupTransferDone %d",
                      reinterpret_cast<HLKResultMsg*>(lParam)->success);
        break;
    case CM_HLKSaveBackupStarted: std::snprintf(buf, sizeof buf, "SaveBackupStarted"); break;
    case CM_HLKSaveBackupDone:
        std::snprintf(buf, sizeof buf, "SaveBackupDone %d", reinterpret_cast<HLKResultMsg*>(lParam)->success);
        break;
    case CM_HLKServiceFailed:
        std::snprintf(buf, sizeof buf, "ServiceFailed %ld", static_cast<long>(lParam));
        break;
    case CM_HLKError: std::snprintf(buf, sizeof buf, "Error %ld", static_cast<long>(lParam)); break;
    case CM_HLKInsufficientDiskSpace: {
        auto* b = reinterpret_cast<HLKInsufficientDiskSpaceMsg*>(lParam);
        std::snprintf(buf, sizeof buf, "InsufficientDiskSpace %s %d %d", Str(b->serverId).c_str(),
                      b->neededMB, b->availableMB);
        break;
    }
    case CM_HLKPromptForRestore: {
        auto* b = reinterpret_cast<HLKPromptForRestoreMsg*>(lParam);
        std::snprintf(buf, sizeof buf, "PromptForRestore %08X %08X %u", b->requestSerial, b->backupSerial,
                      b->backupDate);
        break;
    }
    case CM_HLKRestoreStarted: {
        auto* b = reinterpret_cast<HLKRestoreStartedMsg*>(lParam);
        std::snprintf(buf, sizeof buf, "RestoreStarted %s %u", Str(b->serverId).c_str(), b->sizeMB);
        break;
    }
    case CM_HLKRestoreDone:
        std::snprintf(buf, sizeof buf, "RestoreDone %d", reinterpret_cast<HLKResultMsg*>(lParam)->success);
        break;
    case CM_HLKBackupInitiated:
        std::snprintf(buf, sizeof buf, "BackupInitiated %s",
                      Str(reinterpret_cast<HLKBackupInitiatedMsg*>(lParam)->serverId).c_str());
        break;
    case CM_HLKPeerRefused:
        std::snprintf(buf, sizeof buf, "PeerRefused %s",
                      Str(reinterpret_cast<HLKPeerRefusedMsg*>(lParam)->line).c_str());
        break;
    case CM_HLKBackupNotSaved:
        std::snprintf(buf, sizeof buf, "BackupNotSaved %s",
                      Str(reinterpret_cast<HLKBackupInitiatedMsg*>(lParam)->serverId).c_str());
        break;
    default: std::snprintf(buf, sizeof buf, "Message 0x%04X", message); break;
    }
    return buf;
}

bool HostWindow::Post(unsigned message, intptr_t lParam)
{
    std::string text = Describe(message, lParam);
    GUIComm::FreePayload(message, lParam);
    // Nobody sits at this PC: every restore prompt is accepted. GUIComm posts the prompt
    // outside its lock, so the answer can be given right away.
    if (message == CM_HLKPromptForRestore)
        if (GUIComm* gui = GUIComm::Instance())
            gui->RespondToRestorePrompt(true);
    Line(text);
    return true;
}

void HostWindow::Line(const std::string& text)
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::string line = text;
    if (m_counter) {
        char ops[40];
        std::snprintf(ops, sizeof ops, " ops=%llu", static_cast<unsigned long long>(m_counter()));
        line += ops;
    }
    line += '\n';
    // Straight to the descriptor: nothing stays in a process buffer when the process is killed.
    hl::PosixPlatform().Write(m_fd, line.data(), line.size());
}
