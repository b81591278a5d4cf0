// Test entry point: the widgets need one QApplication for the whole run.

#include "ModalWatcher.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    // Run without a display, exactly as the program would.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    // A modal window that opens while no test drives dialogs fails that test and is
    // rejected, instead of waiting for a click that never comes.
    ModalWatcher unexpectedDialogs;
    return RUN_ALL_TESTS();
}
