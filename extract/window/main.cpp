// VeltoExtract: the window that turns a Velto result listing into a spreadsheet.

#include <QApplication>

#include "common/atomicsave.h"
#include "common/hugeroom.h"
#include "common/window/programicons.h"
#include "extract/window/frmextract.h"

int main(int argc, char** argv) {
    // Killed or hung up on mid-save, the window leaves no half-written file behind.
    velto::RemoveSavesInProgressOnTermination();
    velto::ShareOneHeapUnderAMemoryCap();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VeltoExtract"));
    // Every window of the program, and the desktop entry that a desktop matches it to.
    QApplication::setWindowIcon(velto::ExtractIcon());
    QApplication::setDesktopFileName(QStringLiteral("veltoextract"));
    velto::FrmExtract window;
    window.show();
    return app.exec();
}
