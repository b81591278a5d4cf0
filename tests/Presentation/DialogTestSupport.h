#pragma once
// Helpers for the dialog tests: the modal-dialog driver (ModalWatcher.h), a free port for the
// service, and (from WorkTestSupport.h) a window that records what GUIComm posts, a copy of
// the sample backup folder and a disk that stalls an image copy.

#include "GUIComm.h"
#include "ModalWatcher.h"
#include "WorkTestSupport.h"
#include "Platform.h"
#include "PlatformWrapper.h"

#include <QApplication>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <semaphore>
#include <string>
#include <vector>

#include <unistd.h>

namespace dialogtest {

// The application object the widgets need (offscreen in CI).
inline QApplication &App()
{
    if (!qApp) {
        static int argc = 1;
        static char name[] = "dialog-tests";
        static char *argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
        static QApplication app(argc, argv);
    }
    return *static_cast<QApplication *>(QApplication::instance());
}

using worktest::CopyFixture;
using worktest::FixtureFolder;
using worktest::Posted;
using worktest::RecordingWindow;
using worktest::StalledCopyPlatform;

// A port the service can listen on (it serves 1025..8191). Tests run in parallel processes:
// each starts its search at searchFrom plus an offset of its own, and wraps around.
inline int FreeServedPort(int searchFrom)
{
    constexpr int first = 1025, last = 8191, count = last - first + 1;
    const int start = searchFrom + static_cast<int>(getpid() % 900);
    for (int i = 0; i < count; ++i) {
        const int port = first + (start - first + i) % count;
        const int fd = hl::Os().Listen(static_cast<uint16_t>(port), 1);
        if (fd >= 0) {
            hl::Os().Close(fd);
            return port;
        }
    }
    return 0;
}

} // namespace dialogtest
