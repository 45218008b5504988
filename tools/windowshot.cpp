// Takes the screenshots of the README: opens a sample in a window of the tools, makes a few
// choices as a user would, and saves what the window shows as a PNG.
//
// Usage: velto-windowshot extract LISTING OUTPUT.png
//        velto-windowshot shell SOLVER_FOLDER OUTPUT.png INPUT.in ...   (shot during the batch)
//        velto-windowshot compare OUTPUT.png NODE LISTING ...   (the chart window comparing them)

#include <signal.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "extract/window/chartdialog.h"
#include "extract/window/frmextract.h"
#include "shell/model/batchmodel.h"
#include "shell/window/frmmain.h"

namespace {

// The shell window in the middle of a batch: the first file done, the second running.
int ShellShot(QApplication& app, const QString& solverFolder, const QString& output,
              const QStringList& inputs) {
    velto::ShellDialogs dialogs;
    dialogs.addFiles = [inputs](QWidget*, const QString&) { return inputs; };
    dialogs.browse = [solverFolder](QWidget*, const QString&, const QString&) {
        return solverFolder;
    };
    velto::FrmMain window(dialogs);
    window.show();
    window.onVeltoPathClicked();
    window.onAddClicked();
    int status = 1;
    QObject::connect(&window.batch(), &velto::BatchModel::progress, &app,
                     [&](int row, float fraction, const QString&) {
                         if (row == 1 && fraction >= 0.4f && status == 1) {
                             status = window.grab().save(output) ? 0 : 1;
                             window.batch().Stop();
                         }
                     });
    QObject::connect(&window.batch(), &velto::BatchModel::batchFinished, &app, &QApplication::quit);
    window.onRunClicked();
    app.exec();
    return status;
}

// The chart window of one node's temperature in the first listing, with the others added.
int CompareShot(QApplication& app, const QString& output, const QString& node,
                const QStringList& listings) {
    velto::ExtractDialogs dialogs;
    dialogs.open = [&](QWidget*, const QString&, const QString&) { return listings.front(); };
    dialogs.chart.addListings = [&](QWidget*, const QString&) { return listings.mid(1); };
    velto::FrmExtract window(dialogs);
    window.show();
    window.onFileClicked();
    window.session().ChooseVariableNamed("Temperature");
    window.session().SelectAllAvailable();
    window.session().AddHighlighted();
    window.session().SetRangeText(0, node.toStdString());
    window.session().SetRangeText(1, node.toStdString());
    window.onChartClicked();
    auto* chart = window.findChild<velto::ChartDialog*>();
    if (chart == nullptr) {
        return 1;
    }
    chart->onAddListingClicked();
    int status = 1;
    QTimer::singleShot(500, &app, [&] {
        status = chart->grab().save(output) ? 0 : 1;
        app.quit();
    });
    app.exec();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    if (argc >= 5 && QString(argv[1]) == QStringLiteral("shell")) {
        QStringList inputs;
        for (int i = 4; i < argc; ++i) {
            inputs.append(QString::fromLocal8Bit(argv[i]));
        }
        return ShellShot(app, QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                         inputs);
    }
    if (argc >= 5 && QString(argv[1]) == QStringLiteral("compare")) {
        QStringList listings;
        for (int i = 4; i < argc; ++i) {
            listings.append(QString::fromLocal8Bit(argv[i]));
        }
        return CompareShot(app, QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                           listings);
    }
    if (argc != 4 || QString(argv[1]) != QStringLiteral("extract")) {
        std::fprintf(stderr,
                     "usage: velto-windowshot extract LISTING OUTPUT.png\n"
                     "       velto-windowshot shell SOLVER_FOLDER OUTPUT.png INPUT.in ...\n"
                     "       velto-windowshot compare OUTPUT.png NODE LISTING ...\n");
        return 2;
    }
    const QString listing = QString::fromLocal8Bit(argv[2]);
    const QString output = QString::fromLocal8Bit(argv[3]);
    velto::ExtractDialogs dialogs;
    dialogs.open = [listing](QWidget*, const QString&, const QString&) { return listing; };
    velto::FrmExtract window(dialogs);
    window.show();
    window.onFileClicked();
    auto* available = window.findChild<QListWidget*>(QStringLiteral("lstAvailable"));
    for (int row : {0, 3, 5, 9}) {
        if (row < available->count()) {
            available->item(row)->setSelected(true);
        }
    }
    window.showListMenu(velto::TimeList::Available, false);
    window.findChild<QAction*>(QStringLiteral("mnuListAdd"))->trigger();
    if (window.session().ChooseVariableNamed("Beam Bending Moment")) {
        window.findChild<QLineEdit*>(QStringLiteral("txtVectors1"))->setText(QStringLiteral("6"));
    }
    int status = 1;
    QTimer::singleShot(500, &app, [&] {
        status = window.grab().save(output) ? 0 : 1;
        app.quit();
    });
    app.exec();
    return status;
}
