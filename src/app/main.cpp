// The launcher.

#include "app/MainForm.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Qordex"));
    // Closing the launcher ends the program (see TMainForm::closeEvent); a tool
    // window closing last while the launcher sits in the tray does not.
    QApplication::setQuitOnLastWindowClosed(false);
    qordex::app::TMainForm launcher;
    launcher.show();
    return app.exec();
}
