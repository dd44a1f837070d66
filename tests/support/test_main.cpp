// Test main: Qt runs offscreen, and an application object exists for the
// event loop (a QApplication for window tests).  Tests without windows run
// the message loop that qordex-cli runs; window tests the one of the launcher.

#include <cstdlib>
#include <gtest/gtest.h>

#ifdef QORDEX_TEST_GUI
#include <QApplication>
using App = QApplication;
#else
#include "platform/MessageLoop.h"

#include <QCoreApplication>
using App = QCoreApplication;
#endif

int main(int argc, char** argv) {
    // Set before the application object exists: ctest lists tests by running us.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
#ifndef QORDEX_TEST_GUI
    qordex::UseLeanMessageLoop();
#endif
    ::testing::InitGoogleTest(&argc, argv);
    App app(argc, argv);
    return RUN_ALL_TESTS();
}
