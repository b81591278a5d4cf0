// HLKRestore: the inquiry and restore conversations.
//
// Both find the backup the repository's restore selection names (an inquiry also asks the
// user to accept it). finishInquiry answers with the stored backup header, finishRestore
// streams the stored image back as CLUSTER records; the worker then sends DONE and closes.
#pragma once

struct SessionData;

class HLKRestore {
public:
    static int xactInquiry(SessionData& session);
    static int xactRestore(SessionData& session);
    static int finishInquiry(SessionData& session);
    static int finishRestore(SessionData& session);
};
