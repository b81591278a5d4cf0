// HLKBackupSession: the backup conversation (HELLO, SIZE, CLUSTER..., DONE) and its completion.
//
// xactHello attaches the server record, xactSize the backup record and the two transfer files
// (TmpMain, TmpScratch), xactCluster files each cluster into one of them (scratch clusters also
// into the scratch index), and after DONE finishBackup merges them into a new stored image and
// commits it. Each handler returns 0 to go on with the next command or -1 to end the
// conversation.
#pragma once

#include <memory>

#include "CBFMBackup.h"

class CBFMServer;
struct SessionData;

class HLKBackupSession {
public:
    static int xactHello(SessionData& session);
    static int xactSize(SessionData& session);
    static int xactCluster(SessionData& session);
    static int xactDone(SessionData& session);
    static int finishBackup(SessionData& session);
    // Merges and commits a transfer that was acknowledged before the process stopped, from
    // what it left on the disk (its transfer record, TmpMain and TmpScratch), exactly as its
    // worker would have: the same merge engine, the same notifications. 0 when it was saved;
    // one that cannot be finished is removed, and the server's next backup is a full one.
    static int resumeBackup(std::unique_ptr<CBFMServer> server, std::unique_ptr<CBFMBackup> backup,
                            const CBFMBackup::TransferRecord& record);
};
