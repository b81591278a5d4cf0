#include "CServiceLifetime.h"

#include "CBFMRepository.h"
#include "CClientExc.h"
#include "CClientInfra.h"
#include "CLog.h"
#include "CWork.h"
#include "GUIComm.h"
#include "HLKBackup.h"
#include "OS_CPCQ_Executer.h"

#include <algorithm>

namespace {

constexpr int kLogCategory = 31;
constexpr unsigned kWorkerStopTimeoutMs = 5000;
constexpr int kWorkerCapacity = 1024;

} // namespace

CServiceLifetime::~CServiceLifetime()
{
    StopWorkQueue();
}

void CServiceLifetime::Connect(IGUIWindow* window)
{
    GUIComm::GetInstance(window);
}

bool CServiceLifetime::OpenRepository(const std::string& folder, std::string& reason)
{
    m_repositoryOpen = false;
    const std::string configDir = CClientInfra::GetInstance(nullptr)->GetSubDir(CClientInfra::SUBDIR_CONFIG);
    if (m_folderLock.Acquire(folder, configDir, "Harborlock") == OS_CFolderLock::Result::HeldElsewhere) {
        m_folderLock.Release();
        reason = "it is served by " + m_folderLock.Holder() + ".";
        return false;
    }
    try {
        CBFMRepository::GetInstance(folder.c_str());
        m_repositoryOpen = true;
        return true;
    } catch (const CClientExc& e) {
        CLog::Error(kLogCategory, "TMainForm::OpenRepository(): %s\n", e.GetDisplayText().c_str());
        // One line per entry: the cause may span lines.
        reason = e.GetDescription() ? e.GetDescription() : "";
        std::replace(reason.begin(), reason.end(), '\n', ' ');
        return false;
    }
}

bool CServiceLifetime::StartService(int port)
{
    return HLKBackup::GetInstance()->HLK_Reset(port);
}

bool CServiceLifetime::StopService()
{
    return HLKBackup::GetInstance()->HLK_Stop();
}

void CServiceLifetime::StartWorkQueue()
{
    std::lock_guard<std::recursive_mutex> lock(m_csWorker);
    if (m_worker)
        return;
    m_worker = new OS_CPCQ_Executer<CWork>("GUIWorker", 1, kWorkerStopTimeoutMs, kWorkerCapacity);
    // An export or import still copying when the stop time-out passes is cancelled, so the
    // repository removes its half-made copy and the thread is done before the queue goes.
    m_worker->SetStopTimeoutAction([] {
        if (GUIComm* gui = GUIComm::Instance())
            gui->RequestCancel();
    });
}

void CServiceLifetime::QueueWork(CWork* item)
{
    if (!item)
        return;
    bool queued = false;
    try {
        std::lock_guard<std::recursive_mutex> lock(m_csWorker);
        if (m_worker) {
            m_worker->Put(item);
            queued = true;
        } else {
            CLog::Error(kLogCategory, "TMainForm::QueueWork() did NOT queue -- no worker\n");
        }
    } catch (...) {
        CLog::Error(kLogCategory, "TMainForm::QueueWork() did NOT queue -- internal error\n");
    }
    if (!queued)
        delete item;
}

// Takes the worker out under m_csWorker and destroys it outside, so that a work item ending
// meanwhile never waits for the lock.
void CServiceLifetime::StopWorkQueue()
{
    OS_CPCQ_Executer<CWork>* worker = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(m_csWorker);
        worker = m_worker;
        m_worker = nullptr;
    }
    delete worker;
}

bool CServiceLifetime::Stop()
{
    StopWorkQueue();
    const bool stopped = StopService();
    HLKBackup::Cleanup();
    CBFMRepository::Release();
    m_repositoryOpen = false;
    m_folderLock.Release();
    GUIComm::Cleanup();
    return stopped;
}
