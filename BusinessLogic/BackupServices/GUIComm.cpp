#include "GUIComm.h"

#include <chrono>
#include <mutex>

#include "CClientExc.h"
#include "DupString.h"
#include "OS_CEvent.h"
#include "OS_CHandleWait.h"
#include "Platform.h"

namespace {

const char* const kUnit = "BusinessLogic/BackupServices/GUIComm";

std::mutex g_instanceLock;
std::shared_ptr<GUIComm> g_instance;

const char* const kErrorTexts[16] = {
    "Error starting backup service.  Exit app and try again.",
    "Error creating network connection on specified port.  Try another port number.",
    "Backup service failed.  Exit app and try again.",
    "Error starting backup service session.",
    "Backup failed.",
    "Restore failed.",
    "Internal error.",
    "Backup export internal error.",
    "Creation of backup export directory failed.",
    "Backup selected for import is not a valid Harborlock backup.",
    "Backup import internal error.",
    "Copying backup failed because disk is full.",
    "Backup selected for import already exists in Harborlock.",
    "Error reading or writing data in the backup folder.",
    "Error finalizing backup.",
    "Error communicating with Quarnex.",
};

template <typename T>
intptr_t AsParam(T* block)
{
    return reinterpret_cast<intptr_t>(block);
}

template <typename T>
T* FromParam(intptr_t lParam)
{
    return reinterpret_cast<T*>(lParam);
}

} // namespace

GUIComm::GUIComm(IGUIWindow* window) : m_window(window)
{
    if (window == nullptr)
        throw CClientExc("GUI handle is NULL.", 1234, kUnit, __LINE__);
}

GUIComm::~GUIComm()
{
    Detach();
    std::unique_lock<std::mutex> lock(m_promptLock);
    if (m_promptEvent != nullptr) {
        // A thread that reached the channel without holding it still waits in a prompt: let
        // it leave (Detach rejected it) before this object goes.
        m_promptEnded.wait_for(lock, std::chrono::seconds(5), [this] { return m_promptEvent == nullptr; });
    }
    delete m_promptEvent;
    m_promptEvent = nullptr;
}

void GUIComm::Detach()
{
    {
        std::lock_guard<std::mutex> guard(m_windowLock);
        m_window = nullptr;
    }
    std::lock_guard<std::mutex> guard(m_promptLock);
    m_detached = true;
    if (m_promptEvent != nullptr) {
        m_answer = 0;
        m_promptEvent->Set();
    }
}

GUIComm* GUIComm::GetInstance(IGUIWindow* window)
{
    std::lock_guard<std::mutex> guard(g_instanceLock);
    if (g_instance == nullptr)
        g_instance.reset(new GUIComm(window));
    return g_instance.get();
}

GUIComm* GUIComm::Instance()
{
    std::lock_guard<std::mutex> guard(g_instanceLock);
    return g_instance.get();
}

std::shared_ptr<GUIComm> GUIComm::Acquire()
{
    std::lock_guard<std::mutex> guard(g_instanceLock);
    return g_instance;
}

void GUIComm::Cleanup()
{
    std::shared_ptr<GUIComm> instance;
    {
        std::lock_guard<std::mutex> guard(g_instanceLock);
        instance = std::move(g_instance);
        g_instance.reset();
    }
    // A service thread left behind by a timed-out stop may still hold the channel; it must
    // not reach the window, which goes away after this.
    if (instance)
        instance->Detach();
}

const char* GUIComm::ErrorText(int code)
{
    if (code < 0 || code >= 16)
        return "Unknown error";
    return kErrorTexts[code];
}

void GUIComm::FreePayload(unsigned message, intptr_t lParam)
{
    if (lParam == 0)
        return;
    switch (message) {
    case CM_HLKBackupStarted: {
        auto* b = FromParam<HLKBackupStartedMsg>(lParam);
        delete[] b->serverId;
        delete b;
        break;
    }
    case CM_HLKBackupTransferDone:
    case CM_HLKSaveBackupDone:
    case CM_HLKRestoreDone: delete FromParam<HLKResultMsg>(lParam); break;
    case CM_HLKInsufficientDiskSpace: {
        auto* b = FromParam<HLKInsufficientDiskSpaceMsg>(lParam);
        delete[] b->serverId;
        delete b;
        break;
    }
    case CM_HLKPromptForRestore: delete FromParam<HLKPromptForRestoreMsg>(lParam); break;
    case CM_HLKVerifyStarted: {
        auto* b = FromParam<HLKVerifyStartedMsg>(lParam);
        delete[] b->serverId;
        delete b;
        break;
    }
    case CM_HLKVerifyResult: {
        auto* b = FromParam<HLKVerifyResultMsg>(lParam);
        delete[] b->description;
        delete[] b->text;
        delete b;
        break;
    }
    case CM_HLKVerifyDone: delete FromParam<HLKVerifyDoneMsg>(lParam); break;
    case CM_HLKRestoreStarted: {
        auto* b = FromParam<HLKRestoreStartedMsg>(lParam);
        delete[] b->serverId;
        delete b;
        break;
    }
    case CM_HLKExportStarted: {
        auto* b = FromParam<HLKExportStartedMsg>(lParam);
        delete[] b->description;
        delete[] b->destination;
        delete b;
        break;
    }
    case CM_HLKExportDone: {
        auto* b = FromParam<HLKExportDoneMsg>(lParam);
        delete[] b->description;
        delete[] b->destination;
        delete b;
        break;
    }
    case CM_HLKImportStarted: {
        auto* b = FromParam<HLKImportStartedMsg>(lParam);
        delete[] b->path;
        delete b;
        break;
    }
    case CM_HLKImportDone: {
        auto* b = FromParam<HLKImportDoneMsg>(lParam);
        delete[] b->path;
        delete b;
        break;
    }
    case CM_HLKBackupInitiated:
    case CM_HLKBackupNotSaved: {
        auto* b = FromParam<HLKBackupInitiatedMsg>(lParam);
        delete[] b->serverId;
        delete b;
        break;
    }
    case CM_HLKPeerRefused: {
        auto* b = FromParam<HLKPeerRefusedMsg>(lParam);
        delete[] b->line;
        delete b;
        break;
    }
    default: // progress, save started, service failed, error: no block
        break;
    }
}

void GUIComm::PostToGUI(unsigned message, intptr_t lParam)
{
    // A full window queue makes the poster wait; the notification itself is never lost while
    // there is a window to receive it.
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_windowLock);
            if (m_window == nullptr) {
                FreePayload(message, lParam);
                return;
            }
            if (m_window->Post(message, lParam))
                return;
        }
        hl::Os().Sleep(10);
    }
}

void GUIComm::NotifyBackupStarted(const char* serverId, uint32_t sizeMB)
{
    PostToGUI(CM_HLKBackupStarted, AsParam(new HLKBackupStartedMsg{DupString(serverId), sizeMB}));
}

void GUIComm::NotifyProgress(int percent)
{
    PostToGUI(CM_HLKProgress, percent);
}

void GUIComm::NotifyBackupTransferDone(bool success)
{
    PostToGUI(CM_HLKBackupTransferDone, AsParam(new HLKResultMsg{uint8_t(success ? 1 : 0)}));
}

void GUIComm::NotifySaveBackupStarted()
{
    PostToGUI(CM_HLKSaveBackupStarted, 0);
}

void GUIComm::NotifySaveBackupDone(bool success)
{
    PostToGUI(CM_HLKSaveBackupDone, AsParam(new HLKResultMsg{uint8_t(success ? 1 : 0)}));
}

void GUIComm::NotifyServiceFailed(int code)
{
    PostToGUI(CM_HLKServiceFailed, code);
}

void GUIComm::NotifyError(int code)
{
    PostToGUI(CM_HLKError, code);
}

void GUIComm::NotifyInsufficientDiskSpace(const char* serverId, int32_t neededMB, int32_t availableMB)
{
    PostToGUI(CM_HLKInsufficientDiskSpace,
              AsParam(new HLKInsufficientDiskSpaceMsg{DupString(serverId), neededMB, availableMB}));
}

void GUIComm::NotifyRestoreStarted(const char* serverId, uint32_t sizeMB)
{
    PostToGUI(CM_HLKRestoreStarted, AsParam(new HLKRestoreStartedMsg{DupString(serverId), sizeMB}));
}

void GUIComm::NotifyRestoreDone(bool success)
{
    PostToGUI(CM_HLKRestoreDone, AsParam(new HLKResultMsg{uint8_t(success ? 1 : 0)}));
}

void GUIComm::NotifyExportStarted(const char* description, const char* destination, uint32_t sizeMB)
{
    m_cancel = 0;
    PostToGUI(CM_HLKExportStarted,
              AsParam(new HLKExportStartedMsg{DupString(description), DupString(destination), sizeMB}));
}

void GUIComm::NotifyExportDone(bool success, const char* description, const char* destination)
{
    PostToGUI(CM_HLKExportDone, AsParam(new HLKExportDoneMsg{uint8_t(success ? 1 : 0), DupString(description),
                                                             DupString(destination)}));
    m_cancel = 0;
}

void GUIComm::NotifyImportStarted(const char* path)
{
    m_cancel = 0;
    PostToGUI(CM_HLKImportStarted, AsParam(new HLKImportStartedMsg{DupString(path)}));
}

void GUIComm::NotifyImportDone(bool success, const char* path)
{
    PostToGUI(CM_HLKImportDone, AsParam(new HLKImportDoneMsg{uint8_t(success ? 1 : 0), DupString(path)}));
    m_cancel = 0;
}

void GUIComm::NotifyBackupInitiated(const char* serverId)
{
    PostToGUI(CM_HLKBackupInitiated, AsParam(new HLKBackupInitiatedMsg{DupString(serverId)}));
}

void GUIComm::NotifyBackupNotSaved(const char* serverId)
{
    PostToGUI(CM_HLKBackupNotSaved, AsParam(new HLKBackupInitiatedMsg{DupString(serverId)}));
}

void GUIComm::NotifyPeerRefused(const char* line)
{
    PostToGUI(CM_HLKPeerRefused, AsParam(new HLKPeerRefusedMsg{DupString(line)}));
}

void GUIComm::NotifyVerifyStarted(const char* serverId, uint32_t backups)
{
    PostToGUI(CM_HLKVerifyStarted, AsParam(new HLKVerifyStartedMsg{DupString(serverId), backups}));
}

void GUIComm::NotifyVerifyResult(int verdict, bool forceFull, const char* description, const char* text)
{
    PostToGUI(CM_HLKVerifyResult, AsParam(new HLKVerifyResultMsg{uint8_t(verdict), uint8_t(forceFull ? 1 : 0),
                                                                 DupString(description), DupString(text)}));
}

void GUIComm::NotifyVerifyDone(bool completed, uint32_t whole, uint32_t damaged, uint32_t unchecked)
{
    PostToGUI(CM_HLKVerifyDone,
              AsParam(new HLKVerifyDoneMsg{uint8_t(completed ? 1 : 0), whole, damaged, unchecked}));
    m_cancel = 0;
}

bool GUIComm::PromptForRestore(uint32_t requestSerial, uint32_t backupSerial, uint32_t backupDate,
                               bool& accepted)
{
    auto* block = new HLKPromptForRestoreMsg{requestSerial, backupSerial, backupDate};

    OS_HANDLE handle = OS_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> guard(m_promptLock);
        if (m_detached) {
            // No window is left to answer.
            delete block;
            return false;
        }
        delete m_promptEvent;
        m_promptEvent = new OS_CEvent(0, 0, nullptr, nullptr);
        handle = m_promptEvent->GetHandle();
    }

    PostToGUI(CM_HLKPromptForRestore, AsParam(block));

    // The event stays alive until it is destroyed below under the lock, so waiting on its
    // handle outside the lock is safe.
    OS_CHandleWait wait(handle);
    const bool signalled = wait.WaitSignalled(false, 0xFFFFFFFF);

    std::lock_guard<std::mutex> guard(m_promptLock);
    bool result = false;
    if (signalled) {
        accepted = m_answer != 0;
        result = true;
    }
    delete m_promptEvent;
    m_promptEvent = nullptr;
    m_promptEnded.notify_all();
    return result;
}

bool GUIComm::RespondToRestorePrompt(bool accepted)
{
    std::lock_guard<std::mutex> guard(m_promptLock);
    m_answer = accepted ? 1 : 0;
    if (m_promptEvent == nullptr)
        return false;
    return m_promptEvent->Set();
}

bool GUIComm::IsCancelRequested()
{
    return m_cancel.exchange(0) != 0;
}
