#include "HarborlockDaemon.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>

#ifdef HARBORLOCK_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "CAppSettings.h"
#include "CBFMRepository.h"
#include "CClientExc.h"
#include "CClientInfra.h"
#include "CLog.h"
#include "CTimeUtil.h"
#include "CWork.h"
#include "ClientUtil.h"
#include "ControlPath.h"
#include "ControlText.h"
#include "GUIComm.h"
#include "HLKBackup.h"
#include "MakeDirPath.h"
#include "OS_CPCQ_Executer.h"
#include "Platform.h"

namespace {

// The daemon speaks for the desktop application in the debug log.
constexpr int kCategoryApp = 31;
constexpr unsigned kWorkerStopTimeoutMs = 5000;
constexpr std::ptrdiff_t kWorkerCapacity = 1024;

bool InServedRange(int port)
{
    return port >= 1025 && port <= 8191;
}

} // namespace

HarborlockDaemon::~HarborlockDaemon()
{
    if (m_signalFd >= 0)
        ::close(m_signalFd);
}

void HarborlockDaemon::Notify([[maybe_unused]] const std::string& state)
{
#ifdef HARBORLOCK_HAVE_SYSTEMD
    sd_notify(0, state.c_str());
#endif
}

void HarborlockDaemon::LogActivity(const std::string& text)
{
    m_activity.Log(text);
}

bool HarborlockDaemon::StartBackupService()
{
    const int port = CAppSettings::PortValue(m_port);
    if (!InServedRange(port))
        std::fprintf(stderr,
                     "harborlockd: TCP port \"%s\" lies outside 1025..8191; the service does not listen "
                     "until the settings name a port in that range\n",
                     m_port.c_str());
    if (!HLKBackup::GetInstance()->HLK_Reset(port)) {
        LogActivity("Error starting backup service");
        return false;
    }
    return true;
}

void HarborlockDaemon::StopBackupService()
{
    if (!HLKBackup::GetInstance()->HLK_Stop())
        LogActivity("Error stopping backup service");
}

int HarborlockDaemon::Run(const DaemonOptions& options)
{
    m_options = options;
    const int rc = Start();
    if (rc == kExitStopped)
        Loop();
    Stop();
    return rc;
}

int HarborlockDaemon::Start()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    m_signalFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (m_signalFd < 0) {
        std::fprintf(stderr, "harborlockd: cannot receive signals\n");
        return kExitInternal;
    }

    // The window's start-up: data root, debug log, client directories.
    m_dataRoot = HarborlockDataRoot();
    try {
        MakeDirPath(m_dataRoot);
        CLog::Init(m_dataRoot);
        CLog::SetProgramLevels();
        CClientInfra::GetInstance(m_dataRoot.c_str());
    } catch (const CClientExc& e) {
        std::fprintf(stderr, "harborlockd: cannot use the data folder %s: %s\n", m_dataRoot.c_str(),
                     e.GetDisplayText().c_str());
        return kExitInternal;
    }
    CClientInfra* infra = CClientInfra::GetInstance(nullptr);

    // The window's show handler: notification sender, activity log, settings, repository,
    // service, work queue.
    GUIComm::GetInstance(&m_window);
    if (!m_activity.Open(CActivityLog::PathIn(infra->GetSubDir(CClientInfra::SUBDIR_LOG))))
        CLog::Error(kCategoryApp, "HarborlockDaemon::OpenActivityLogFile(): open failed\n");

    m_settingsPath = m_options.settingsPath.empty()
                         ? CAppSettings::PathIn(infra->GetSubDir(CClientInfra::SUBDIR_CONFIG))
                         : m_options.settingsPath;
    CAppSettings::Load(m_settingsPath, m_port, m_folder);
    if (m_folder.empty()) {
        std::fprintf(stderr, "harborlockd: %s names no backup folder (BackupDataBasePath)\n",
                     m_settingsPath.c_str());
        return kExitFolder;
    }

    // Only one program serves a backup folder; the second one does not open it at all.
    switch (m_lock.Acquire(m_folder, infra->GetSubDir(CClientInfra::SUBDIR_CONFIG), "harborlockd")) {
    case OS_CFolderLock::Result::Locked: break;
    case OS_CFolderLock::Result::HeldElsewhere:
        std::fprintf(stderr,
                     "harborlockd: the backup folder %s is already served by %s; it is not opened again\n",
                     m_folder.c_str(), m_lock.Holder().c_str());
        CLog::Error(kCategoryApp, "HarborlockDaemon::Start(): backup folder %s is served by %s\n",
                    m_folder.c_str(), m_lock.Holder().c_str());
        return kExitFolderInUse;
    case OS_CFolderLock::Result::Failed:
        std::fprintf(stderr, "harborlockd: cannot create a lock file for the backup folder %s\n",
                     m_folder.c_str());
        return kExitFolder;
    }

    try {
        m_repositoryOpen = CBFMRepository::GetInstance(m_folder.c_str()) != nullptr;
    } catch (const CClientExc& e) {
        std::string cause = e.GetDescription() ? e.GetDescription() : "";
        std::replace(cause.begin(), cause.end(), '\n', ' ');
        LogActivity("Unable to use backup folder " + m_folder + ": " + cause);
        std::fprintf(stderr, "harborlockd: cannot use the backup folder %s: %s\n", m_folder.c_str(),
                     cause.c_str());
        return kExitFolder;
    }

    std::string why;
    const std::string controlPath =
        m_options.controlPath.empty() ? DefaultControlPath() : m_options.controlPath;
    if (!m_control.Open(controlPath, why)) {
        std::fprintf(stderr, "harborlockd: %s\n", why.c_str());
        return kExitControl;
    }

    ReadPeerRules();
    if (!StartBackupService()) {
        std::fprintf(stderr, "harborlockd: the backup service did not start on TCP port %s\n",
                     m_port.c_str());
        return kExitService;
    }

    m_worker =
        std::make_unique<OS_CPCQ_Executer<CWork>>("GUIWorker", 1, kWorkerStopTimeoutMs, kWorkerCapacity);
    // An export or import still copying when the stop time-out passes is cancelled, so the
    // repository removes its half-made copy before the queue goes.
    m_worker->SetStopTimeoutAction([] {
        if (GUIComm* gui = GUIComm::Instance())
            gui->RequestCancel();
    });

    CheckQuietServers();

    const int listening = HLKBackup::GetInstance()->GetPort();
    std::printf("harborlockd: ready, TCP port %d, backup folder %s, control socket %s\n", listening,
                m_folder.c_str(), m_control.Path().c_str());
    std::fflush(stdout);
    Notify("READY=1\nSTATUS=Idle, TCP port " + std::to_string(listening) + ", backup folder " + m_folder);
    return kExitStopped;
}

void HarborlockDaemon::Stop()
{
    m_stopping = true;
    Notify("STOPPING=1");
    // No one will answer once the loop ends: a waiting restore request is rejected now, and
    // one asked during the stop is rejected as it is posted.
    m_window.RejectPromptsAtOnce();
    if (m_prompt)
        AnswerPrompt(false);

    // The window's close order: work queue, service, repository, notification sender,
    // activity log.
    m_worker.reset();
    if (GUIComm::Instance()) {
        StopBackupService();
        HLKBackup::Cleanup();
    }
    DaemonWindow::Note note;
    while (m_window.Take(note))
        HandleNote(note);
    for (const WaitingClient& client : m_workClients)
        m_control.Answer(client.fd, kCtlFailed,
                         Message(client.json, "stopped", "harborlockd stopped before the work was done"));
    m_workClients.clear();
    CBFMRepository::Release();
    m_repositoryOpen = false;
    GUIComm::Cleanup();
    m_activity.Close();

    m_control.Close();
    m_lock.Release();
    CClientInfra::Release();
    CLog::Close();
}

void HarborlockDaemon::Loop()
{
    while (true) {
        std::vector<pollfd> fds;
        fds.push_back({m_signalFd, POLLIN, 0});
        fds.push_back({m_window.WakeFd(), POLLIN, 0});
        for (const int fd : m_control.Descriptors())
            fds.push_back({fd, POLLIN, 0});

        Clock::time_point wake = m_nextQuietCheck;
        if (m_prompt)
            wake = std::min(wake, m_prompt->deadline);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now());
        const int timeoutMs = static_cast<int>(std::max<long long>(0, left.count()) + 1);
        const int n = ::poll(fds.data(), fds.size(), timeoutMs);
        if (n < 0 && errno != EINTR) {
            CLog::Error(kCategoryApp, "HarborlockDaemon::Loop(): poll failed\n");
            return;
        }

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            bool stop = false;
            while (::read(m_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if (info.ssi_signo == SIGHUP)
                    m_reloadPending = true;
                else
                    stop = true;
            }
            if (stop)
                return;
        }
        if (fds[1].revents & POLLIN) {
            DaemonWindow::Note note;
            while (m_window.Take(note))
                HandleNote(note);
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            std::vector<std::string> request;
            if (m_control.OnReadable(fds[i].fd, request))
                HandleRequest(fds[i].fd, request);
        }
        if (m_prompt && Clock::now() >= m_prompt->deadline)
            AnswerPrompt(false);
        if (m_reloadPending)
            ReloadSettings();
        if (Clock::now() >= m_nextQuietCheck)
            CheckQuietServers();
    }
}

void HarborlockDaemon::HandleNote(const DaemonWindow::Note& note)
{
    if (note.message == CM_HLKPromptForRestore) {
        if (note.rejectedAtOnce) {
            LogActivity(CServiceActivity::RestoreRequestLine(note.request, false));
            return;
        }
        const HLKPromptForRestoreMsg request = *reinterpret_cast<HLKPromptForRestoreMsg*>(note.lParam);
        GUIComm::FreePayload(note.message, note.lParam);
        if (m_prompt) // only one worker can ask at a time; an older question is void
            AnswerPrompt(false);
        PendingPrompt prompt;
        prompt.id = m_nextPromptId++;
        prompt.request = request;
        prompt.deadline = Clock::now() + std::chrono::seconds(m_options.promptTimeoutSeconds);
        m_prompt = prompt;
        CLog::Debug(kCategoryApp, "HarborlockDaemon: restore request %u from %08X waits for an answer\n",
                    prompt.id, request.requestSerial);
        Notify("STATUS=Restore request " + std::to_string(prompt.id) + " from Quarnex Server ID " +
               Hex8(request.requestSerial) + " waits: harborlock-ctl accept|reject");
        return;
    }

    bool success = false;
    if (note.message == CM_HLKExportDone)
        success = reinterpret_cast<HLKExportDoneMsg*>(note.lParam)->success != 0;
    if (note.message == CM_HLKImportDone)
        success = reinterpret_cast<HLKImportDoneMsg*>(note.lParam)->success != 0;
    if (note.message == CM_HLKError) {
        const int code = static_cast<int>(note.lParam & 0xFF);
        if (code >= HLK_ERR_EXPORT_INTERNAL && code <= HLK_ERR_IMPORT_EXISTS && !m_workClients.empty() &&
            m_workClients.front().errorCode < 0)
            m_workClients.front().errorCode = code;
    }

    const std::string stateBefore = m_status.GetStatus().state;
    const bool busyBefore = m_status.GetStatus().busy;
    CServiceActivity::Follow follow = CServiceActivity::Follow::None;
    const std::vector<std::string> lines = m_status.Apply(note.message, note.lParam, m_folder, &follow);
    FollowVerify(note, lines);
    GUIComm::FreePayload(note.message, note.lParam);
    for (const std::string& line : lines)
        LogActivity(line);

    switch (follow) {
    case CServiceActivity::Follow::StopService:
        // As in the window: the service stays stopped until the settings change.
        if (!m_stopping)
            StopBackupService();
        break;
    case CServiceActivity::Follow::ExportFinished: AnswerWorkClient(true, success); break;
    case CServiceActivity::Follow::ImportFinished: AnswerWorkClient(false, success); break;
    case CServiceActivity::Follow::VerifyFinished: // answered by FollowVerify
    case CServiceActivity::Follow::None: break;
    }
    if (m_status.GetStatus().state != stateBefore)
        Notify("STATUS=" + m_status.GetStatus().state);
    // A finished backup (or import) may end a server's silence; a failed one may not.
    if (busyBefore && !m_status.GetStatus().busy && !m_stopping)
        CheckQuietServers();
}

void HarborlockDaemon::AnswerPrompt(bool accepted)
{
    const PendingPrompt prompt = *m_prompt;
    m_prompt.reset();
    LogActivity(CServiceActivity::RestoreRequestLine(prompt.request, accepted));
    GUIComm* gui = GUIComm::Instance();
    if (!gui || !gui->RespondToRestorePrompt(accepted)) {
        CLog::Error(kCategoryApp,
                    "HarborlockDaemon::CM_HLKPromptForRestore(): RespondToRestorePrompt() failed\n");
        if (!m_stopping)
            StartBackupService();
    }
    Notify("STATUS=" + m_status.GetStatus().state);
}

void HarborlockDaemon::AnswerWorkClient(bool isExport, bool success)
{
    if (m_workClients.empty())
        return;
    const WaitingClient client = m_workClients.front();
    m_workClients.pop_front();
    const std::string what = isExport ? "Export of backup " : "Import of backup ";
    const std::string line = what + CServiceActivity::ResultWord(success);
    if (success) {
        m_control.Answer(client.fd, kCtlOk, Message(client.json, "completed", line));
        return;
    }
    const int code = client.errorCode >= 0 ? client.errorCode
                                           : (isExport ? HLK_ERR_EXPORT_INTERNAL : HLK_ERR_IMPORT_INTERNAL);
    const std::string text = GUIComm::ErrorText(code);
    m_control.Answer(client.fd, kCtlFailed,
                     client.json ? Message(true, "failed", text, code) : text + "\n" + line + ".\n");
}

void HarborlockDaemon::FollowVerify(const DaemonWindow::Note& note, const std::vector<std::string>& lines)
{
    if (note.message != CM_HLKVerifyStarted && note.message != CM_HLKVerifyResult &&
        note.message != CM_HLKVerifyDone)
        return;
    if (m_workClients.empty() || !m_workClients.front().isVerify)
        return;
    WaitingClient& client = m_workClients.front();
    for (const std::string& line : lines)
        client.lines += line + "\n";
    if (note.message == CM_HLKVerifyResult) {
        static const char* const kVerdicts[] = {"whole",      "damaged",  "no checksum", "checksum damaged",
                                                "unreadable", "cancelled"};
        const auto* msg = reinterpret_cast<const HLKVerifyResultMsg*>(note.lParam);
        const char* verdict = msg->verdict < 6 ? kVerdicts[msg->verdict] : "unknown";
        client.results += std::string(client.results.empty() ? "" : ",") +
                          "{\"description\":" + Json(msg->description ? msg->description : "") +
                          ",\"verdict\":" + Json(verdict) +
                          ",\"nextBackupFull\":" + (msg->forceFull ? "true" : "false") +
                          ",\"text\":" + Json(msg->text ? msg->text : "") + "}";
        return;
    }
    if (note.message != CM_HLKVerifyDone)
        return;
    const auto* done = reinterpret_cast<const HLKVerifyDoneMsg*>(note.lParam);
    const WaitingClient finished = client;
    m_workClients.pop_front();
    // Damage found, or a verify that did not finish, is not a success for a script.
    const bool ok = done->completed && done->damaged == 0;
    const char* result = !done->completed ? "cancelled" : done->damaged ? "damaged" : "completed";
    if (finished.json) {
        m_control.Answer(finished.fd, ok ? kCtlOk : kCtlFailed,
                         std::string("{\"result\":") + Json(result) + ",\"whole\":" +
                             std::to_string(done->whole) + ",\"damaged\":" + std::to_string(done->damaged) +
                             ",\"unchecked\":" + std::to_string(done->unchecked) + ",\"backups\":[" +
                             finished.results + "]}\n");
    } else {
        m_control.Answer(finished.fd, ok ? kCtlOk : kCtlFailed, finished.lines);
    }
}

void HarborlockDaemon::ReloadSettings()
{
    // The window lets the settings change only while idle; a re-read asked for during a
    // transfer, export, import or restore question waits until that is over.
    if (m_status.GetStatus().busy || m_prompt || !m_workClients.empty())
        return;
    m_reloadPending = false;
    Notify("RELOADING=1");

    std::string port, folder;
    CAppSettings::Load(m_settingsPath, port, folder);
    CClientInfra* infra = CClientInfra::GetInstance(nullptr);
    bool changed = false;

    if (folder != m_folder && !folder.empty()) {
        const OS_CFolderLock::Result locked =
            m_lock.Acquire(folder, infra->GetSubDir(CClientInfra::SUBDIR_CONFIG), "harborlockd");
        if (locked != OS_CFolderLock::Result::Locked) {
            const std::string why = locked == OS_CFolderLock::Result::HeldElsewhere
                                        ? "it is already served by " + m_lock.Holder()
                                        : std::string("no lock file can be made for it");
            std::fprintf(stderr, "harborlockd: not switching to the backup folder %s: %s; still serving %s\n",
                         folder.c_str(), why.c_str(), m_folder.c_str());
            CLog::Error(kCategoryApp, "HarborlockDaemon::ReloadSettings(): backup folder %s not taken: %s\n",
                        folder.c_str(), why.c_str());
        } else {
            StopBackupService();
            CBFMRepository::Release();
            m_repositoryOpen = false;
            try {
                m_repositoryOpen = CBFMRepository::GetInstance(folder.c_str()) != nullptr;
            } catch (const CClientExc& e) {
                std::string cause = e.GetDescription() ? e.GetDescription() : "";
                std::replace(cause.begin(), cause.end(), '\n', ' ');
                LogActivity("Unable to use backup folder " + folder + ": " + cause);
                std::fprintf(stderr, "harborlockd: cannot use the backup folder %s: %s\n", folder.c_str(),
                             cause.c_str());
            }
            m_folder = folder;
            changed = true;
        }
    } else if (folder.empty()) {
        std::fprintf(stderr, "harborlockd: %s names no backup folder; still serving %s\n",
                     m_settingsPath.c_str(), m_folder.c_str());
    }
    if (port != m_port) {
        m_port = port;
        changed = true;
    }
    if (ReadPeerRules())
        changed = true;
    // A service that stopped on a failure (or never got a usable port) is started again by an
    // explicit re-read even when nothing changed: that is the administrator's way to retry.
    const bool stopped = HLKBackup::GetInstance()->GetPort() == 0;
    if ((changed || stopped) && m_repositoryOpen)
        StartBackupService();
    // The limits live in the same file and may have changed.
    CheckQuietServers();
    const int listening = HLKBackup::GetInstance()->GetPort();
    std::printf("harborlockd: settings read, TCP port %d, backup folder %s\n", listening, m_folder.c_str());
    std::fflush(stdout);
    Notify("READY=1\nSTATUS=" + m_status.GetStatus().state + ", TCP port " + std::to_string(listening) +
           ", backup folder " + m_folder);
}
