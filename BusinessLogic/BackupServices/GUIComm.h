// GUIComm: the one channel from the service and work-queue threads to the main window.
//
// Threads other than the window thread never touch a window: they post a message number
// and one word (lParam) through IGUIWindow::Post. The poster allocates every payload block
// with `new` and every string in it with DupString; the handler that receives the message
// owns the block, frees each string with delete[] and then the block (or calls
// GUIComm::FreePayload, which does exactly that). A refused post is retried every 10 ms
// until it is accepted, so no notification is ever dropped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

class OS_CEvent;

// Window messages (wParam is always 0).
enum : unsigned {
    CM_HLKBackupStarted = 0x8906,         // HLKBackupStartedMsg*
    CM_HLKProgress = 0x8907,              // percentage 0..100, no block
    CM_HLKBackupTransferDone = 0x8908,    // HLKResultMsg*
    CM_HLKSaveBackupStarted = 0x8909,     // 0, no block
    CM_HLKSaveBackupDone = 0x890A,        // HLKResultMsg*
    CM_HLKServiceFailed = 0x890B,         // error code 0..2, no block
    CM_HLKError = 0x890C,                 // error code, no block
    CM_HLKInsufficientDiskSpace = 0x890D, // HLKInsufficientDiskSpaceMsg*
    CM_HLKPromptForRestore = 0x890E,      // HLKPromptForRestoreMsg*
    CM_HLKRestoreStarted = 0x890F,        // HLKRestoreStartedMsg*
    CM_HLKRestoreDone = 0x8910,           // HLKResultMsg*
    CM_HLKExportStarted = 0x8911,         // HLKExportStartedMsg*
    CM_HLKExportDone = 0x8912,            // HLKExportDoneMsg*
    CM_HLKImportStarted = 0x8913,         // HLKImportStartedMsg*
    CM_HLKImportDone = 0x8914,            // HLKImportDoneMsg*
    CM_HLKBackupInitiated = 0x8915,       // HLKBackupInitiatedMsg*
    CM_HLKBackupNotSaved = 0x8917,        // HLKBackupInitiatedMsg*: an acknowledged backup was given up
    CM_HLKPeerRefused = 0x8918,           // HLKPeerRefusedMsg*: a peer rule refused a connection or request
    CM_HLKVerifyStarted = 0x8920,         // HLKVerifyStartedMsg*
    CM_HLKVerifyResult = 0x8921,          // HLKVerifyResultMsg*: one backup's verdict
    CM_HLKVerifyDone = 0x8922,            // HLKVerifyDoneMsg*
};

// Payload blocks. Strings are DupString copies (null stays null).
struct HLKBackupStartedMsg {
    char* serverId;
    uint32_t sizeMB;
};
struct HLKResultMsg { // transfer done, save done, restore done
    uint8_t success;
};
struct HLKInsufficientDiskSpaceMsg {
    char* serverId;
    int32_t neededMB;
    int32_t availableMB;
};
struct HLKPromptForRestoreMsg {
    uint32_t requestSerial;
    uint32_t backupSerial;
    uint32_t backupDate; // LastBackupDate, seconds since 1970-01-01 UTC
};
struct HLKRestoreStartedMsg {
    char* serverId;
    uint32_t sizeMB;
};
struct HLKExportStartedMsg {
    char* description;
    char* destination;
    uint32_t sizeMB;
};
struct HLKExportDoneMsg {
    uint8_t success;
    char* description;
    char* destination;
};
struct HLKImportStartedMsg {
    char* path;
};
struct HLKImportDoneMsg {
    uint8_t success;
    char* path;
};
struct HLKBackupInitiatedMsg {
    char* serverId;
};
struct HLKPeerRefusedMsg {
    char* line; // the activity-log line, naming the address(es)
};
struct HLKVerifyStartedMsg {
    char* serverId; // the one server verified, null for all
    uint32_t backups;
};
struct HLKVerifyResultMsg {
    uint8_t verdict;   // CBFMVerify::Verdict
    uint8_t forceFull; // the server's next backup was made a full one
    char* description; // the backup, as in lists
    char* text;        // the verdict in words
};
struct HLKVerifyDoneMsg {
    uint8_t completed; // 0: cancelled or failed
    uint32_t whole;
    uint32_t damaged;
    uint32_t unchecked; // no checksum, a damaged checksum file, or unreadable
};

// Error codes carried by CM_HLKError (CM_HLKServiceFailed uses 0..2).
enum : int {
    HLK_ERR_START_SERVICE = 0,
    HLK_ERR_BIND_PORT = 1,
    HLK_ERR_SERVICE_FAILED = 2,
    HLK_ERR_START_SESSION = 3,
    HLK_ERR_BACKUP_FAILED = 4,
    HLK_ERR_RESTORE_FAILED = 5,
    HLK_ERR_INTERNAL = 6,
    HLK_ERR_EXPORT_INTERNAL = 7,
    HLK_ERR_EXPORT_DIR = 8,
    HLK_ERR_IMPORT_INVALID = 9,
    HLK_ERR_IMPORT_INTERNAL = 10,
    HLK_ERR_DISK_FULL = 11,
    HLK_ERR_IMPORT_EXISTS = 12,
    HLK_ERR_BACKUP_FOLDER_IO = 13,
    HLK_ERR_FINALIZE = 14,
    HLK_ERR_COMMUNICATION = 15,
};

// The receiving window. Post must be callable from any thread; it returns false when the
// window refuses the message (queue full), and GUIComm then tries again 10 ms later.
class IGUIWindow {
public:
    virtual ~IGUIWindow() = default;
    virtual bool Post(unsigned message, intptr_t lParam) = 0;
};

class GUIComm {
public:
    // Creates the instance on first use; later calls ignore the argument. Throws CClientExc
    // "GUI handle is NULL." when the first call passes no window.
    static GUIComm* GetInstance(IGUIWindow* window);
    // The instance, or null when none was created (no window to report to).
    static GUIComm* Instance();
    // The instance for a thread that may outlive the window (a service thread): the channel
    // stays valid as long as the holder keeps it. After Cleanup its posts go nowhere and a
    // prompt is rejected at once.
    static std::shared_ptr<GUIComm> Acquire();
    // Detaches the instance from its window and forgets it; it is destroyed with the last
    // holder.
    static void Cleanup();

    // Text of an error code, "Unknown error" outside 0..15.
    static const char* ErrorText(int code);
    // Frees the payload block of a message as its handler must (no-op for blockless ones).
    static void FreePayload(unsigned message, intptr_t lParam);

    void PostToGUI(unsigned message, intptr_t lParam);

    void NotifyBackupStarted(const char* serverId, uint32_t sizeMB);
    void NotifyProgress(int percent);
    void NotifyBackupTransferDone(bool success);
    void NotifySaveBackupStarted();
    void NotifySaveBackupDone(bool success);
    void NotifyServiceFailed(int code);
    void NotifyError(int code);
    void NotifyInsufficientDiskSpace(const char* serverId, int32_t neededMB, int32_t availableMB);
    void NotifyRestoreStarted(const char* serverId, uint32_t sizeMB);
    void NotifyRestoreDone(bool success);
    void NotifyExportStarted(const char* description, const char* destination, uint32_t sizeMB);
    void NotifyExportDone(bool success, const char* description, const char* destination);
    void NotifyImportStarted(const char* path);
    void NotifyImportDone(bool success, const char* path);
    void NotifyBackupInitiated(const char* serverId);
    // A backup the Quarnex server was told is stored could not be saved after all; the server's
    // next backup will be a full one.
    void NotifyBackupNotSaved(const char* serverId);
    // A peer rule refused a connection or a request; line is what the activity log says.
    void NotifyPeerRefused(const char* line);
    void NotifyVerifyStarted(const char* serverId, uint32_t backups);
    void NotifyVerifyResult(int verdict, bool forceFull, const char* description, const char* text);
    // Clears the cancel flag, like the end of an export or import.
    void NotifyVerifyDone(bool completed, uint32_t whole, uint32_t damaged, uint32_t unchecked);

    // Posts CM_HLKPromptForRestore and blocks until RespondToRestorePrompt. True when the
    // answer arrived (accepted then holds it); false when the wait failed.
    bool PromptForRestore(uint32_t requestSerial, uint32_t backupSerial, uint32_t backupDate, bool& accepted);
    // Called by the window thread with the user's answer; false when no prompt is pending.
    bool RespondToRestorePrompt(bool accepted);

    // Returns the cancel flag and clears it.
    bool IsCancelRequested();
    // Sets the cancel flag: the copy in progress stops at its next progress check. The work
    // queue asks for it when its stop time-out passes during an export or import.
    void RequestCancel() { m_cancel = 1; }

    virtual ~GUIComm();

private:
    explicit GUIComm(IGUIWindow* window);
    GUIComm(const GUIComm&) = delete;
    GUIComm& operator=(const GUIComm&) = delete;

    // Cuts the channel: later posts are dropped (their blocks freed), a pending prompt is
    // rejected. The window may be destroyed once this returns.
    void Detach();

    std::mutex m_windowLock; // held while posting, so that Detach waits for a post under way
    IGUIWindow* m_window;    // null once detached
    bool m_detached = false; // guarded by m_promptLock
    uint8_t m_answer = 0;
    OS_CEvent* m_promptEvent = nullptr;
    // Guards m_promptEvent and m_answer: the window thread signals the event while the worker
    // may be about to destroy it.
    std::mutex m_promptLock;
    std::condition_variable m_promptEnded; // a pending prompt has let go of its event
    std::atomic<uint8_t> m_cancel{0};
};
