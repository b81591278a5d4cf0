// HLKPeerGate: where a conversation meets the peer rules (CPeerRules) of the service that
// runs it. Without rules (none set, or all off) every question is answered "go on" and
// nothing is sent or written.
#pragma once

struct SessionData;

class HLKPeerGate {
public:
    // Called once the HELLO's serial number is known. True when the backup is refused: the
    // peer was answered SFS_RSP_ERROR, the activity log told, and the session marked refused.
    static bool refuseBackup(SessionData& session);
    // The same for RESTORE, once its serial number is known.
    static bool refuseRestore(SessionData& session);
    // The user accepted the session's inquiry.
    static void inquiryAccepted(const SessionData& session);
    // The session's backup was saved.
    static void backupSaved(const SessionData& session);
};
