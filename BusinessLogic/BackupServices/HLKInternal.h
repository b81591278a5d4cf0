// Shared by the service's own units only (HLKServer, HLKWire, HLKBackupSession, HLKMerge,
// HLKRecordIO, HLKRestore); nothing outside BackupServices includes it.
//
// Each including unit defines `kUnit` (its source path, named by "Internal Error" lines) in
// its anonymous namespace before using the log macros.
#pragma once

#include <algorithm>
#include <cstdint>

#include "CBFMRepository.h"
#include "CLog.h"
#include "GUIComm.h"

namespace HLKInternal {

constexpr int kLogCategory = 33;

// The repository when one is set up; a service without one refuses every conversation.
inline CBFMRepository* Repository()
{
    try {
        return CBFMRepository::GetInstance(nullptr);
    } catch (...) {
        return nullptr;
    }
}

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

// Notifications go to the window when there is one; a service without a window (tools, some
// tests) has nobody to tell.
#define HLK_NOTIFY(call)                                                                           \
    do {                                                                                           \
        if (GUIComm* gui_ = GUIComm::Instance())                                                   \
            gui_->call;                                                                            \
    } while (0)
