#include "HLKPeerGate.h"

#include <memory>
#include <string>

#include "CPeerRules.h"
#include "HLKInternal.h"
#include "HLKServer.h"
#include "HLKWire.h"
#include "SFSProtocol.h"
#include "SessionData.h"

namespace {

const char* const kUnit = "BusinessLogic/BackupServices/HLKPeerGate";

bool Refuse(SessionData& session, const std::string& line)
{
    if (line.empty())
        return false;
    HLK_WARN("HLKServer HLKPeerGate: %s\n", line.c_str());
    HLK_NOTIFY(NotifyPeerRefused(line.c_str()));
    session.refusedByPeerRule = true;
    if (HLKWire::sendResponse(session.socket, SFS_RSP_ERROR) != 0)
        HLK_INTERNAL();
    return true;
}

} // namespace

bool HLKPeerGate::refuseBackup(SessionData& session)
{
    const std::shared_ptr<CPeerRules> rules = HLKServer::PeerRules();
    return rules && Refuse(session, rules->CheckBackup(HLKWire::formatServerId(session.serialNumber),
                                                       session.peerAddress));
}

bool HLKPeerGate::refuseRestore(SessionData& session)
{
    const std::shared_ptr<CPeerRules> rules = HLKServer::PeerRules();
    return rules && Refuse(session, rules->CheckRestore(HLKWire::formatServerId(session.serialNumber),
                                                        session.peerAddress));
}

void HLKPeerGate::inquiryAccepted(const SessionData& session)
{
    if (const std::shared_ptr<CPeerRules> rules = HLKServer::PeerRules())
        rules->InquiryAccepted(HLKWire::formatServerId(session.serialNumber), session.peerAddress);
}

void HLKPeerGate::backupSaved(const SessionData& session)
{
    const std::shared_ptr<CPeerRules> rules = HLKServer::PeerRules();
    if (rules && !rules->BackupSaved(HLKWire::formatServerId(session.serialNumber), session.peerAddress))
        HLK_ERROR("HLKServer HLKPeerGate: the pin of %s to %s could not be saved.\n",
                  HLKWire::formatServerId(session.serialNumber).c_str(), session.peerAddress.c_str());
}
