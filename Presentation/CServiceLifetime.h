#pragma once
// CServiceLifetime: what the main window starts at show and stops at close, in that order:
// the window's notification link, the backup folder (its lock and the repository), the backup
// service and the background work queue. Stop runs the reverse: work queue, service, service
// clean-up, repository, folder lock, notification link. No widgets here.

#include "OS_CFolderLock.h"

#include <mutex>
#include <string>

class CWork;
class IGUIWindow;
template <class T>
class OS_CPCQ_Executer;

class CServiceLifetime {
public:
    CServiceLifetime() = default;
    ~CServiceLifetime();
    CServiceLifetime(const CServiceLifetime&) = delete;
    CServiceLifetime& operator=(const CServiceLifetime&) = delete;

    // Notifications of the service and the work queue go to window from here on.
    void Connect(IGUIWindow* window);

    // Takes the folder's lock and opens the repository on it (a repository open on another
    // folder is released by the caller first).
    // False with the reason, as one sentence, when another program serves the folder or
    // the repository cannot be opened there.
    bool OpenRepository(const std::string& folder, std::string& reason);
    bool IsRepositoryOpen() const { return m_repositoryOpen; }

    // (Re)starts the service on port; false when it did not start.
    bool StartService(int port);
    bool StopService();

    // Creates the worker if there is none.
    void StartWorkQueue();
    // Takes ownership of item; it is deleted at once when there is no worker.
    void QueueWork(CWork* item);

    // Everything, in the stop order above; false when the service did not stop cleanly.
    bool Stop();

private:
    void StopWorkQueue();

    // Background worker, guarded by m_csWorker for every read and change.
    OS_CPCQ_Executer<CWork>* m_worker = nullptr;
    std::recursive_mutex m_csWorker;

    bool m_repositoryOpen = false;
    OS_CFolderLock m_folderLock; // one Harborlock program (window or harborlockd) per backup folder
};
