// VeltoShell: the window that runs the Velto solver over a batch of input files.

#include <signal.h>

#include <QApplication>

#include "common/window/programicons.h"
#include "common/window/trayreturn.h"
#include "shell/window/frmmain.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VeltoShell"));
    QApplication::setApplicationVersion(QStringLiteral(VELTO_VERSION));
    // Every window of the program, and the desktop entry that a desktop matches it to.
    QApplication::setWindowIcon(velto::ShellIcon());
    QApplication::setDesktopFileName(QStringLiteral("veltoshell"));
    // A solver that goes away while we write its answer must not take the window with it.
    ::signal(SIGPIPE, SIG_IGN);
    // Started again while its window hides in the tray: that window comes back instead.
    if (velto::TrayReturn::AskToShow(QStringLiteral("VeltoShell"))) {
        return 0;
    }
    velto::FrmMain window;
    window.show();
    return app.exec();
}
