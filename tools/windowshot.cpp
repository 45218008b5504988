// Takes the screenshots of the README: opens a sample in a window of the tools, makes a few
// choices as a user would, and saves what the window shows as a PNG.
//
// Usage: velto-windowshot extract LISTING OUTPUT.png

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QListWidget>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "extract/window/frmextract.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 4 || QString(argv[1]) != QStringLiteral("extract")) {
        std::fprintf(stderr, "usage: velto-windowshot extract LISTING OUTPUT.png\n");
        return 2;
    }
    const QString listing = QString::fromLocal8Bit(argv[2]);
    const QString output = QString::fromLocal8Bit(argv[3]);
    velto::ExtractDialogs dialogs;
    dialogs.open = [listing](QWidget*, const QString&, const QString&) { return listing; };
    velto::FrmExtract window(dialogs);
    window.show();
    window.cmdFile_Click();
    auto* available = window.findChild<QListWidget*>(QStringLiteral("lstAvailable"));
    for (int row : {0, 3, 5, 9}) {
        if (row < available->count()) {
            available->item(row)->setSelected(true);
        }
    }
    window.ShowListMenu(1, false);
    window.findChild<QAction*>(QStringLiteral("mnuListAdd"))->trigger();
    auto* variables = window.findChild<QComboBox*>(QStringLiteral("cboVariables"));
    const int beams = variables->findText(QStringLiteral("Beam Bending Moment"));
    if (beams >= 0) {
        variables->setCurrentIndex(beams);
        window.cboVariables_Click();
    }
    int status = 1;
    QTimer::singleShot(500, &app, [&] {
        status = window.grab().save(output) ? 0 : 1;
        app.quit();
    });
    app.exec();
    return status;
}
