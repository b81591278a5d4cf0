#pragma once
// Helpers for the dialog tests: the modal-dialog driver (ModalWatcher.h), the application
// object, a dialog's widgets by name and its OK button pressed.

#include "ModalWatcher.h"

#include <QApplication>
#include <QPushButton>
#include <QWidget>

#include <gtest/gtest.h>

namespace dialogtest {

// The application object the widgets need (offscreen in CI).
inline QApplication& App()
{
    if (!qApp) {
        static int argc = 1;
        static char name[] = "dialog-tests";
        static char* argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM",
                qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
        static QApplication app(argc, argv);
    }
    return *static_cast<QApplication*>(QApplication::instance());
}

// The child widget `name` of `form`; fails the test when there is none.
template <class W>
W* Get(const QWidget& form, const char* name)
{
    W* w = form.findChild<W*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
}

// Presses the form's OK and returns the message box it raised (an empty title when none).
inline BoxSeen PressOK(QWidget& form)
{
    ModalWatcher driver;
    driver.ExpectBox();
    Get<QPushButton>(form, "btnOK")->click();
    EXPECT_TRUE(driver.unexpected.empty());
    return driver.boxes.empty() ? BoxSeen() : driver.boxes.front();
}

} // namespace dialogtest
