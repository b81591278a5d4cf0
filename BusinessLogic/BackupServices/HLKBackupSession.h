// HLKBackupSession: the backup conversation (HELLO, SIZE, CLUSTER..., DONE) and its completion.
//
// xactHello attaches the server record, xactSize the backup record and the two transfer files
// (TmpMain, TmpScratch), xactCluster files each cluster into one of them (scratch clusters also
// into the scratch index), and after DONE finishBackup merges them into a new stored image and
// commits it. Each handler returns 0 to go on with the next command or -1 to end the
// conversation.
#pragma once

struct SessionData;

class HLKBackupSession {
public:
    static int xactHello(SessionData& session);
    static int xactSize(SessionData& session);
    static int xactCluster(SessionData& session);
    static int xactDone(SessionData& session);
    static int finishBackup(SessionData& session);
};
