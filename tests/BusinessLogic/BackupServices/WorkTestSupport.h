#pragma once
// Helpers for tests of the work queue and of whatever posts to the window, without Qt: a
// window that records what GUIComm posts, a copy of the sample backup folder, and a disk that
// stalls an image copy.

#include "GUIComm.h"
#include "Platform.h"
#include "PlatformWrapper.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <semaphore>
#include <string>
#include <vector>

namespace worktest {

// One message as the main window would receive it, with its payload decoded.
struct Posted {
    unsigned message = 0;
    intptr_t value = 0; // lParam of blockless messages
    bool success = false;
    std::string text1, text2;
    uint32_t sizeMB = 0;
};

// Records what GUIComm posts and frees every payload as the window's handlers would.
class RecordingWindow : public IGUIWindow
{
public:
    bool Post(unsigned message, intptr_t lParam) override
    {
        Posted p;
        p.message = message;
        p.value = lParam;
        switch (message) {
        case CM_HLKExportStarted: {
            auto *m = reinterpret_cast<HLKExportStartedMsg *>(lParam);
            p.text1 = m->description ? m->description : "";
            p.text2 = m->destination ? m->destination : "";
            p.sizeMB = m->sizeMB;
            break;
        }
        case CM_HLKExportDone: {
            auto *m = reinterpret_cast<HLKExportDoneMsg *>(lParam);
            p.success = m->success != 0;
            p.text1 = m->description ? m->description : "";
            p.text2 = m->destination ? m->destination : "";
            break;
        }
        case CM_HLKImportStarted: {
            auto *m = reinterpret_cast<HLKImportStartedMsg *>(lParam);
            p.text1 = m->path ? m->path : "";
            break;
        }
        case CM_HLKImportDone: {
            auto *m = reinterpret_cast<HLKImportDoneMsg *>(lParam);
            p.success = m->success != 0;
            p.text1 = m->path ? m->path : "";
            break;
        }
        default:
            break;
        }
        GUIComm::FreePayload(message, lParam);
        std::lock_guard<std::mutex> lock(m_lock);
        m_posted.push_back(p);
        return true;
    }

    // Everything posted so far except progress reports.
    std::vector<Posted> Events() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<Posted> out;
        for (const Posted &p : m_posted)
            if (p.message != CM_HLKProgress)
                out.push_back(p);
        return out;
    }

    std::vector<int> ProgressValues() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<int> out;
        for (const Posted &p : m_posted)
            if (p.message == CM_HLKProgress)
                out.push_back(static_cast<int>(p.value));
        return out;
    }

private:
    mutable std::mutex m_lock;
    std::vector<Posted> m_posted;
};

// The sample backup folder kept with the tests. (Not found through __FILE__: ccache with a base
// folder makes that relative to the build folder, and ctest runs each test elsewhere.)
inline std::string FixtureFolder()
{
    return std::string(HARBORLOCK_FIXTURES) + "/backup-folder";
}

inline void CopyFixture(const std::string &target)
{
    std::filesystem::copy(FixtureFolder(), target, std::filesystem::copy_options::recursive);
}

// A disk that stalls in the middle of copying a backup image until the copy is cancelled.
class StalledCopyPlatform : public hl::PlatformWrapper
{
public:
    StalledCopyPlatform() : PlatformWrapper(hl::PosixPlatform()) {}

    bool CopyFile(const std::string &from, const std::string &to, bool failIfExists,
                  const hl::CopyProgress &progress) override
    {
        if (!progress || to.find("backup_000") == std::string::npos)
            return PlatformWrapper::CopyFile(from, to, failIfExists, progress);
        return PlatformWrapper::CopyFile(from, to, failIfExists, [&](std::uint64_t copied, std::uint64_t total) {
            if (!progress(copied, total))
                return false;
            if (stalls++ == 0)
                started.release();
            // Never cancelled within ten seconds: let the copy end, so the test fails
            // on a finished export instead of hanging.
            for (int i = 0; progress(copied, total); ++i) {
                if (i == 5000)
                    return true;
                Inner().Sleep(2);
            }
            return false;
        });
    }

    std::binary_semaphore started{0};
    std::atomic<int> stalls{0};
};

} // namespace worktest
