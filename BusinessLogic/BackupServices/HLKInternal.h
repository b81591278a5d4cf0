// Shared by the service's own units only (HLKServer, HLKWire, HLKBackupSession, HLKMerge,
// HLKRecordIO, HLKRestore); nothing outside BackupServices includes it.
//
// Each including unit defines `kUnit` (its source path, named by "Internal Error" lines) in
// its anonymous namespace before using the log macros.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "CBFMRepository.h"
#include "CLog.h"
#include "GUIComm.h"

namespace HLKInternal {

constexpr int kLogCategory = 33;

// The repository and the window channel of the calling thread: for a listener or worker the
// ones its service was started with (HLKServer::Context), held for the thread's whole run;
// for any other caller the current instances, held as long as the caller keeps the result.
// Null when there is none: a service without a repository refuses every conversation, one
// without a window has nobody to tell.
std::shared_ptr<CBFMRepository> Repository();
std::shared_ptr<GUIComm> Channel();

inline std::int32_t Percent(std::int64_t done, std::int64_t total)
{
    if (total <= 0)
        return 100;
    return static_cast<std::int32_t>(std::min<std::int64_t>(100, done * 100 / total));
}

} // namespace HLKInternal

#define HLK_ERROR(...) CLog::Error(HLKInternal::kLogCategory, __VA_ARGS__)
#define HLK_WARN(...) CLog::Warn(HLKInternal::kLogCategory, __VA_ARGS__)
#define HLK_DEBUG(...) CLog::Debug(HLKInternal::kLogCategory, __VA_ARGS__)
#define HLK_INTERNAL() CLog::Error(HLKInternal::kLogCategory, "Internal Error -- %s: %d\n", kUnit, __LINE__)

// Notifications go to the calling thread's window channel (see Channel).
#define HLK_NOTIFY(call)                                                                                     \
    do {                                                                                                     \
        if (const std::shared_ptr<GUIComm> gui_ = HLKInternal::Channel())                                    \
            gui_->call;                                                                                      \
    } while (0)
