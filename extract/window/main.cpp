// VeltoExtract: the window that turns a Velto result listing into a spreadsheet.
//
//   VeltoExtract [--follow] [LISTING]
//
// opens LISTING at once; --follow checks Follow, so a listing the solver still writes is followed
// whatever the window last remembered (VeltoShell's Show Results of a running file).

#include <QApplication>
#include <QStringList>
#include <QTimer>

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
    bool follow = false;
    QString listing;
    const QStringList arguments = QApplication::arguments().mid(1);
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--follow")) {
            follow = true;
        } else {
            listing = argument;  // a desktop's "open with" hands the file alone
        }
    }
    velto::FrmExtract window;
    if (follow) {
        window.SetFollow(true);
    }
    window.show();
    if (!listing.isEmpty()) {
        // Once the window shows: the reading's progress is drawn in it.
        QTimer::singleShot(0, &window, [&window, listing] { window.OpenListing(listing); });
    }
    return app.exec();
}
