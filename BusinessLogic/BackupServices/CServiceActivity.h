// CServiceActivity: what the user is told about each service and work-queue notification,
// without a window: the status (state text, size, progress, busy) and the activity-log lines.
//
// The main window shows the same status in its labels and writes the same lines; harborlockd
// keeps them here, writes the lines to the activity log and reports the status to
// harborlock-ctl. Apply reads a notification's payload but does not free it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "GUIComm.h"

class CServiceActivity {
public:
    struct Status {
        std::string state = "Idle"; // "Idle", "Backup File Transfer", "Saving Backup", ...
        bool sizeShown = false;
        std::string sizeText; // "%d MBytes"
        bool progressShown = false;
        int progress = 0;     // 0..100 as the progress bar holds it
        bool busy = false;    // backup-folder changes (delete, export, import) wait
        std::string serverId; // server of the running transfer, "" when none
    };

    // What the holder must do after a notification besides logging its lines.
    enum class Follow {
        None,
        StopService,    // CM_HLKServiceFailed: the service stays stopped
        ExportFinished, // CM_HLKExportDone
        ImportFinished, // CM_HLKImportDone
        VerifyFinished, // CM_HLKVerifyDone
    };

    // Applies one notification. `backupFolder` is named in the line of a started backup.
    // Returns the activity-log lines, in order. CM_HLKPromptForRestore changes nothing and
    // gives no line here: its line needs the answer (RestoreRequestLine).
    std::vector<std::string> Apply(unsigned message, intptr_t lParam, const std::string& backupFolder,
                                   Follow* follow = nullptr);

    const Status& GetStatus() const { return m_status; }
    void SetIdleStatus();

    // "Request to restore Quarnex Server ID:<id> using backup from Quarnex Server ID:<id> dated
    // <local date> accepted|rejected".
    static std::string RestoreRequestLine(const HLKPromptForRestoreMsg& request, bool accepted);
    // "Delete of backup "<description>" completed successfully|failed".
    static std::string DeleteLine(const std::string& description, bool success);
    static std::string SizeText(std::uint32_t megabytes);
    static const char* ResultWord(bool success);

private:
    Status m_status;
};
