#pragma once
// Helpers for the dialog tests: the modal-dialog driver (ModalWatcher.h) and the application
// object.

#include "ModalWatcher.h"

#include <QApplication>

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

} // namespace dialogtest
