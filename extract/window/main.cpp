// VeltoExtract: the window that turns a Velto result listing into a spreadsheet.

#include <QApplication>

#include "extract/window/frmextract.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VeltoExtract"));
    velto::FrmExtract window;
    window.show();
    return app.exec();
}
