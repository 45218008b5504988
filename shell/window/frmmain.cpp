#include "shell/window/frmmain.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <cmath>

#include "common/window/filedialogs.h"
#include "common/window/helpwindow.h"
#include "common/window/messagebox.h"
#include "common/window/programicons.h"
#include "common/window/progressstrip.h"
#include "common/window/screenfit.h"
#include "common/window/trayreturn.h"
#include "shell/cluster/slurmbackend.h"
#include "shell/model/batchmodel.h"
#include "shell/runner/batchreport.h"
#include "shell/runner/inputfileopener.h"
#include "shell/runner/inputfiles.h"
#include "shell/runner/settings.h"
#include "shell/runner/solverrun.h"
#include "shell/session/batchsession.h"
#include "shell/window/frmabout.h"

namespace velto {

namespace {

// A name typed into a file dialog's name box as a full path: against the folder shown, "~" the
// home folder.
QString TypedPath(const QFileDialog& dialog, QString name) {
    if (name == u'~' || name.startsWith(QStringLiteral("~/"))) {
        name.replace(0, 1, QDir::homePath());
    }
    return QDir::isAbsolutePath(name) ? name : dialog.directory().filePath(name);
}

// The files the Add dialog's name box names, as full paths. The box holds what the user typed, or
// the names of the files selected in the view, which Qt writes there ("a.in" "b.in"): each name
// in it is one the user asked for. Qt's own answer prefers the view's selection, which marks only
// the typed names that the filter shows, so a typed notes.txt would be dropped without a word.
QStringList NamedFiles(const QFileDialog& dialog) {
    const auto* box = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    const QString text = box ? box->text() : QString();
    QStringList names;
    if (text.contains(u'"')) {
        for (qsizetype open = text.indexOf(u'"'); open >= 0;) {
            const qsizetype close = text.indexOf(u'"', open + 1);
            if (close < 0) {
                names.append(text.mid(open + 1));  // an open quote: the rest is the name
                break;
            }
            names.append(text.mid(open + 1, close - open - 1));
            open = text.indexOf(u'"', close + 1);
        }
    } else if (!text.trimmed().isEmpty()) {
        names.append(text);
    }
    QStringList files;
    for (const QString& name : names) {
        if (name.isEmpty()) {
            continue;
        }
        QString path = TypedPath(dialog, name);
        // A name typed without an extension means the input file, as "in" is the dialog's
        // default extension; a file of that very name is taken as it is (and told why not).
        if (!QFileInfo(path).fileName().contains(u'.') && !QFileInfo::exists(path)) {
            path += QStringLiteral(".in");
        }
        files.append(path);
    }
    return files.isEmpty() ? dialog.selectedFiles() : files;
}

QStringList DefaultAddFiles(QWidget* parent, const QString& folder) {
    QFileDialog dialog(parent, QStringLiteral("Select File(s)"), folder,
                       QStringLiteral("Velto Input Files (*.in);;All Files (*)"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);  // the relabelled controls are ours
    dialog.setFileMode(QFileDialog::ExistingFiles);
    // "*.in" as the solver reads it: beam.IN is no input file of its.
    dialog.setFilter(dialog.filter() | QDir::CaseSensitive);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setDefaultSuffix(QStringLiteral("in"));
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("&Add"));
    dialog.setLabelText(QFileDialog::Reject, QStringLiteral("Cancel"));
    dialog.setLabelText(QFileDialog::LookIn, QStringLiteral("Look &in:"));
    dialog.setLabelText(QFileDialog::FileName, QStringLiteral("File &name(s):"));
    dialog.setLabelText(QFileDialog::FileType, QStringLiteral("Files of &type:"));
    ShowLabelMnemonics(dialog);
    // Qt relabels its button "Open" whenever a folder is selected or typed; ours reads "Add"
    // throughout (the button still opens a folder). Qt's own handlers of these run first.
    auto keepLabel = [&dialog] {
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("&Add"));
    };
    if (auto* box = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        QObject::connect(box, &QLineEdit::textChanged, &dialog, keepLabel);
    }
    QObject::connect(&dialog, &QFileDialog::currentChanged, &dialog, keepLabel);
    QObject::connect(&dialog, &QFileDialog::directoryEntered, &dialog, keepLabel);
    return dialog.exec() == QDialog::Accepted ? NamedFiles(dialog) : QStringList();
}

// The folder browser of the solver: it checks the folder it would take as the user moves or
// types, says what it found there, and lets the user confirm only a folder that holds the solver.
// Qt enables its button by rules of its own as the user types or moves; ours are applied after
// each of its changes, so the button and the status line always speak of the same folder. A
// path may be typed and confirmed with Enter, so the last word is at accept: a folder without the
// solver is refused, and the browser stays open on it.
class SolverFolderDialog : public QFileDialog {
  public:
    SolverFolderDialog(QWidget* parent, const QString& title, const QString& start)
        : QFileDialog(parent, title, start) {
        setOption(QFileDialog::DontUseNativeDialog);
        setFileMode(QFileDialog::Directory);
        setOption(QFileDialog::ShowDirsOnly);
        auto* box = findChild<QDialogButtonBox*>();
        ok_ = box ? box->button(QDialogButtonBox::Open) : nullptr;
        if (!ok_ && box) {
            ok_ = box->button(QDialogButtonBox::Ok);
        }
        if (ok_) {
            ok_->installEventFilter(this);
        }
        status_ = new QLabel(this);
        status_->setObjectName(QStringLiteral("browseStatus"));
        if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
            grid->addWidget(status_, grid->rowCount(), 0, 1, grid->columnCount());
        }
        if (auto* typed = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
            connect(typed, &QLineEdit::textChanged, this, &SolverFolderDialog::Sync);
        }
        connect(this, &QFileDialog::currentChanged, this, &SolverFolderDialog::Sync);
        connect(this, &QFileDialog::directoryEntered, this, &SolverFolderDialog::Sync);
        Sync();
    }

    // The folder the browser would take now: the one named in the name box (typed, or selected,
    // as Qt writes a selected folder's name there), else the one shown. Qt's own answer may
    // still hold, first, a folder selected before the one typed.
    QString Chosen() const {
        const QStringList selected = selectedFiles();
        const auto* box = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        const QString text = box ? box->text() : QString();
        if (text.isEmpty() || text.contains(u'"')) {
            return selected.value(0);
        }
        const QString typed = TypedPath(*this, text);
        for (const QString& path : selected) {
            if (path == typed || QFileInfo(path).fileName() == text) {
                return path;
            }
        }
        return typed;
    }
    void accept() override {
        if (!Check(Chosen())) {
            return;
        }
        QFileDialog::accept();
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == ok_ && event->type() == QEvent::EnabledChange && !checking_) {
            Sync();
        }
        return QFileDialog::eventFilter(watched, event);
    }

  private:
    void Sync() { Check(Chosen()); }
    bool Check(const QString& folder) {
        // No folder is no folder: not the one remembered, which an empty one would search.
        const SolverLookup probe =
            folder.isEmpty() ? SolverLookup() : LocateSolver(PathBytes(folder));
        checking_ = true;
        status_->setText(probe.found ? QStringLiteral("Found Velto ") +
                                           QString::fromStdString(probe.solver.SolverVersionText)
                                     : SolverMissingStatus(probe));
        if (ok_) {
            ok_->setEnabled(probe.found);
        }
        checking_ = false;
        return probe.found;
    }

    QPushButton* ok_ = nullptr;
    QLabel* status_ = nullptr;
    bool checking_ = false;
};

QString DefaultBrowse(QWidget* parent, const QString& title, const QString& start) {
    SolverFolderDialog dialog(parent, title, start);
    return dialog.exec() == QDialog::Accepted ? dialog.Chosen() : QString();
}

bool DefaultOpenFile(const QString& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

}  // namespace

ProgressTexts ProgressTextsFor(float fraction, const QString& fileName) {
    const int p = static_cast<int>(std::floor(100.0 * static_cast<double>(fraction) + 0.5));
    ProgressTexts texts;
    texts.caption = QStringLiteral("%1 %2 % - %3").arg(fileName).arg(p).arg(kShellTitle);
    texts.tip = QStringLiteral("Running file: %1 %2 %").arg(fileName).arg(p).left(63);
    texts.label = QString::number(ShownPercent(fraction)) + '%';
    return texts;
}

FrmMain::FrmMain(ShellDialogs dialogs, QWidget* parent)
    : QMainWindow(parent), dialogs_(std::move(dialogs)) {
    if (!dialogs_.addFiles) {
        dialogs_.addFiles = DefaultAddFiles;
    }
    if (!dialogs_.browse) {
        dialogs_.browse = DefaultBrowse;
    }
    if (!dialogs_.openFile) {
        dialogs_.openFile = DefaultOpenFile;
    }
    if (!dialogs_.exportOptions) {
        dialogs_.exportOptions = [](QWidget* owner, const QString& current) {
            bool ok = false;
            const QString text = QInputDialog::getText(
                owner, kShellTitle,
                QStringLiteral("After each file completes, export from its listing NAME.out into "
                               "NAME.xlsx beside it,\nwith these velto-extract export options "
                               "(e.g. --all, or --variable Temperature --from 12 --to 12):"),
                QLineEdit::Normal, current, &ok);
            return ok ? text : QString();
        };
    }
    if (!dialogs_.startDetached) {
        dialogs_.startDetached = [](const QString& program, const QStringList& arguments) {
            return QProcess::startDetached(program, arguments);
        };
    }
    if (!dialogs_.about) {
        dialogs_.about = [](QWidget* owner) {
            FrmAbout about(owner);
            about.exec();
        };
    }
    session_ = new BatchSession(this);
    opener_ = new InputFileOpener(this);
    opener_->open = dialogs_.openFile;
    connect(opener_, &InputFileOpener::answered, this, [this](OpenFailure failure) {
        if (failure != OpenFailure::None) {
            MsgBoxCentered(this, OpenFailureText(failure), kStyleCritical, kShellTitle);
        }
    });
    buildControls();
    loadForm();
}

FrmMain::~FrmMain() {
    // Gone before the controls it reports to: its record's last save, and a batch let go of.
    delete session_;
    session_ = nullptr;
}

void FrmMain::buildControls() {
    setObjectName(QStringLiteral("frmMain"));
    InstallProgressStripAccessibility();
    auto* central = new QWidget;
    SetScrollingCentralWidget(this, central);
    auto named = [](auto* object, const char* name) {
        object->setObjectName(QString::fromLatin1(name));
        return object;
    };

    lvwFiles = named(new QTreeWidget, "lvwFiles");
    lvwFiles->setColumnCount(2);
    lvwFiles->setHeaderLabels({QStringLiteral("File Name"), QStringLiteral("Status")});
    lvwFiles->setRootIsDecorated(false);
    lvwFiles->setUniformRowHeights(true);
    lvwFiles->setAllColumnsShowFocus(true);  // the whole row shows as selected
    lvwFiles->setMouseTracking(true);        // a row's reason in the status bar as it is pointed at
    lvwFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvwFiles->header()->setStretchLastSection(false);
    lvwFiles->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    lvwFiles->header()->setSectionResizeMode(1, QHeaderView::Fixed);
    lvwFiles->header()->resizeSection(1, 100);
    lvwFiles->setAccessibleName(tr("Input Files"));

    txtRun = named(new QPlainTextEdit, "txtRun");
    txtRun->setReadOnly(true);
    txtRun->setAccessibleName(tr("Console"));
    txtRun->viewport()->setAccessibleName(tr("Console"));
    QFont console(QStringLiteral("Lucida Console"), 9);
    console.setStyleHint(QFont::Monospace);
    if (!QFontInfo(console).fixedPitch()) {
        console = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    }
    txtRun->setFont(console);
    txtRun->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtRun->installEventFilter(this);  // Ctrl+C and Ctrl+A are the text's here, not the menu's

    cmdAdd = named(new QPushButton(tr("&Add...")), "cmdAdd");
    cmdDelete = named(new QPushButton(tr("&Delete")), "cmdDelete");
    cmdClear = named(new QPushButton(tr("&Clear")), "cmdClear");
    cmdRun = named(new QPushButton(tr("&Run")), "cmdRun");
    cmdStop = named(new QPushButton(tr("&Stop")), "cmdStop");
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {cmdAdd, cmdDelete, cmdClear, cmdRun, cmdStop}) {
        buttons->addWidget(b);
    }
    buttons->addStretch(1);

    lblVeltoPath = named(new QLabel(tr("Velto Path:")), "lblVeltoPath");
    txtVeltoPath = named(new QLineEdit, "txtVeltoPath");
    // Shown, never typed into: the folder changes only through the browser, which checks it.
    txtVeltoPath->setReadOnly(true);
    cmdVeltoPath = named(new QPushButton(QStringLiteral("...")), "cmdVeltoPath");
    cmdVeltoPath->setFixedWidth(cmdVeltoPath->fontMetrics().horizontalAdvance("....") + 24);
    lblVeltoPath->setBuddy(txtVeltoPath);
    txtVeltoPath->setAccessibleName(tr("Velto Path"));
    cmdVeltoPath->setAccessibleName(tr("Choose the Velto Folder"));
    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(lblVeltoPath);
    pathRow->addWidget(txtVeltoPath, 1);
    pathRow->addWidget(cmdVeltoPath);

    auto* top = new QHBoxLayout;
    top->addWidget(lvwFiles, 1);
    top->addLayout(buttons);
    auto* all = new QVBoxLayout(central);
    all->addLayout(top, 2);
    all->addLayout(pathRow);
    all->addWidget(txtRun, 3);

    auto* sbMain = named(new QStatusBar, "sbMain");
    setStatusBar(sbMain);
    sbMain->setAccessibleName(tr("Status"));
    sbPanel1 = named(new QLabel, "sbPanel1");
    sbPanel1->setAccessibleName(tr("Solver"));
    sbMain->addWidget(sbPanel1, 1);
    sbTime = named(new QLabel, "sbTime");
    sbTime->setAccessibleName(tr("Batch"));
    sbMain->addWidget(sbTime, 1);
    picProgress = named(new ProgressStrip, "picProgress");
    picProgress->setPreferredWidth(240);
    sbMain->addPermanentWidget(picProgress);

    auto action = [&](QMenu* menu, const QString& text, const char* name, const QString& keys) {
        QAction* a = menu->addAction(text);
        a->setObjectName(QString::fromLatin1(name));
        if (!keys.isEmpty()) {
            a->setShortcut(QKeySequence(keys));
        }
        return a;
    };
    QMenu* file = menuBar()->addMenu(tr("&File"));
    mnuFileAdd = action(file, tr("&Add..."), "mnuFileAdd", "Ctrl+A");
    mnuFileDelete = action(file, tr("&Delete"), "mnuFileDelete", "Ctrl+D");
    mnuFileClear = action(file, tr("&Clear"), "mnuFileClear", "Ctrl+C");
    file->addSeparator();
    mnuFileExit = action(file, tr("E&xit"), "mnuFileExit", "Ctrl+X");
    QMenu* analysis = menuBar()->addMenu(tr("A&nalysis"));
    mnuAnalysisRun = action(analysis, tr("&Run"), "mnuAnalysisRun", "Ctrl+R");
    mnuAnalysisStop = action(analysis, tr("&Stop"), "mnuAnalysisStop", "Ctrl+S");
    mnuAnalysisCluster = action(analysis, tr("Run on &cluster"), "mnuAnalysisCluster", QString());
    // On the list's own menu only: it acts on the row the menu opens over.
    mnuShowResults = new QAction(tr("Show Results"), this);
    mnuShowResults->setObjectName(QStringLiteral("mnuShowResults"));
    mnuShowResults->setStatusTip(tr("Open the file's listing in VeltoExtract"));
    analysis->setToolTipsVisible(true);  // why Run on cluster is off, where it is
    QMenu* tools = menuBar()->addMenu(tr("&Tools"));
    mnuVeltoPath = action(tools, tr("Velto &Path"), "mnuVeltoPath", QString());
    mnuToolsExport = action(tools, tr("&Export after each run"), "mnuToolsExport", QString());
    mnuToolsExport->setCheckable(true);
    mnuToolsExport->setChecked(LoadExportAfterRun());
    tools->addSeparator();
    mnuToolsTray = action(tools, tr("&Mimimize to Tray"), "mnuToolsTray", "Ctrl+M");
    mnuToolsTray->setCheckable(true);
    QMenu* help = menuBar()->addMenu(tr("&Help"));
    mnuHelpContents = action(help, tr("&Contents..."), "mnuHelpContents", QString());
    help->addSeparator();
    mnuHelpAbout = action(help, tr("&About"), "mnuHelpAbout", QString());
    // The list's own menu (right-click, the Menu key, Shift+F10): what can be done to its files.
    lvwFiles->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    auto* beforeResults = new QAction(this);
    beforeResults->setSeparator(true);
    lvwFiles->addActions({mnuFileAdd, mnuFileDelete, mnuFileClear, separator, mnuAnalysisRun,
                          mnuAnalysisStop, beforeResults, mnuShowResults});
    lvwFiles->installEventFilter(this);
    mPopupSys = named(new QMenu(this), "mPopupSys");
    mPopRestore = action(mPopupSys, tr("&Restore"), "mPopRestore", QString());
    mPopupSys->addSeparator();
    mPopExit = action(mPopupSys, tr("&Exit"), "mPopExit", QString());

    connect(cmdAdd, &QPushButton::clicked, this, &FrmMain::onAddClicked);
    connect(cmdDelete, &QPushButton::clicked, this, &FrmMain::onDeleteClicked);
    connect(cmdClear, &QPushButton::clicked, this, &FrmMain::onClearClicked);
    connect(cmdRun, &QPushButton::clicked, this, &FrmMain::onRunClicked);
    connect(cmdStop, &QPushButton::clicked, this, &FrmMain::onStopClicked);
    connect(cmdVeltoPath, &QPushButton::clicked, this, &FrmMain::onVeltoPathClicked);
    connect(mnuFileAdd, &QAction::triggered, this, &FrmMain::onAddClicked);
    connect(mnuFileDelete, &QAction::triggered, this, &FrmMain::onDeleteClicked);
    connect(mnuFileClear, &QAction::triggered, this, &FrmMain::onClearClicked);
    connect(mnuFileExit, &QAction::triggered, this, &QWidget::close);
    connect(mnuAnalysisRun, &QAction::triggered, this, &FrmMain::onRunClicked);
    connect(mnuAnalysisStop, &QAction::triggered, this, &FrmMain::onStopClicked);
    connect(mnuAnalysisCluster, &QAction::triggered, this, &FrmMain::onRunOnClusterTriggered);
    connect(mnuShowResults, &QAction::triggered, this, &FrmMain::onShowResultsTriggered);
    connect(mnuVeltoPath, &QAction::triggered, this, &FrmMain::onVeltoPathClicked);
    connect(mnuToolsTray, &QAction::triggered, this, &FrmMain::onTrayToggled);
    connect(mnuToolsExport, &QAction::triggered, this, &FrmMain::onExportAfterRunTriggered);
    connect(mnuHelpContents, &QAction::triggered, this,
            [this] { ShowHelpContents(this, helpFile()); });
    connect(mnuHelpAbout, &QAction::triggered, this, [this] { dialogs_.about(this); });
    connect(mPopRestore, &QAction::triggered, this, [this] {
        showNormal();
        activateWindow();
    });
    connect(mPopExit, &QAction::triggered, this, &QWidget::close);
    trayReturn_ = new TrayReturn(QStringLiteral("VeltoShell"), this);
    connect(trayReturn_, &TrayReturn::showRequested, this, [this] {
        showNormal();
        raise();
        activateWindow();
    });
    // The icon's menu is there whenever the icon is, minimised or not.
    tray_ = new QSystemTrayIcon(ShellIcon(), this);
    tray_->setContextMenu(mPopupSys);
    connect(
        tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (trayIconShown_ && isMinimized() &&
                (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)) {
                showNormal();
                activateWindow();
            }
        });
    connect(lvwFiles, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item) { onFileClicked(lvwFiles->indexOfTopLevelItem(item)); });
    // A row reached with the arrow keys shows what a click shows.
    connect(lvwFiles, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        showResultsEnabling();
        if (item != nullptr && lvwFiles->hasFocus()) {
            onFileClicked(lvwFiles->indexOfTopLevelItem(item));
        }
    });
    connect(lvwFiles, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        onFileDoubleClicked(lvwFiles->indexOfTopLevelItem(item));
    });

    // The elapsed time moves on while a silent solver computes.
    auto* tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, [this] {
        const int row = selectedRow();
        if (batch().running() && row >= 0 &&
            batch().rows()[static_cast<std::size_t>(row)].status == kStatusRunning) {
            const QString name =
                QFileInfo(batch().rows()[static_cast<std::size_t>(row)].path).completeBaseName();
            SetStatusText(sbTime, tr("Batch"),
                          name + QStringLiteral(": ") + batch().TimingText(row));
        }
    });
    tick->start(1000);

    // F1 and Escape belong to the window, whichever control has the focus.
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, [this] { ShowHelpContents(this, helpFile()); });
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] {
        // An Escape that closes a menu or a dialog is theirs, not a Stop.
        if (session_->Enabling().stop && isActiveWindow() && !QApplication::activePopupWidget() &&
            !QApplication::activeModalWidget()) {
            onStopClicked();
        }
    });
    FitToScreen(this, QSize(760, 560));
}

void FrmMain::connectModel() {
    connect(session_, &BatchSession::enablingChanged, this, &FrmMain::showEnabling);
    connect(&batch(), &BatchModel::rowsChanged, this, &FrmMain::showRows);
    connect(&batch(), &BatchModel::statusChanged, this, &FrmMain::showStatus);
    connect(&batch(), &BatchModel::batchAccepted, this, [this] {
        if (SlurmBackend* job = clusterJob()) {
            setConsoleText(QString());
            picProgress->setFraction(0);
            SetStatusText(sbTime, tr("Batch"),
                          QStringLiteral("Job %1 submitted").arg(job->jobId()));
        }
    });
    connect(&batch(), &BatchModel::batchRefused, this, [this](const QString& reason) {
        MsgBoxCentered(this, QStringLiteral("The batch was not submitted: ") + reason,
                       kStyleCritical, kShellTitle);
    });
    connect(&batch(), &BatchModel::fileStarted, this, [this](int row) {
        // Follow the first running file until the user picks another row.
        const int selected = selectedRow();
        if (selected < 0 || selected == row ||
            batch().rows()[static_cast<std::size_t>(selected)].status != kStatusRunning) {
            if (QTreeWidgetItem* item = lvwFiles->topLevelItem(row)) {
                lvwFiles->setCurrentItem(item);
            }
            setConsoleText(QString());
            picProgress->setFraction(0);
        }
    });
    connect(&batch(), &BatchModel::outputChunk, this, [this](int row, const QByteArray& text) {
        if (row == selectedRow()) {
            appendConsoleText(ConsoleText(text));
        }
    });
    connect(&batch(), &BatchModel::progress, this,
            [this](int row, float fraction, const QString& name) {
                if (row == selectedRow()) {
                    showProgress(row, fraction, name);
                }
            });
    connect(&batch(), &BatchModel::clusterMessage, this,
            [this](const QString& text) { SetStatusText(sbTime, tr("Batch"), text); });
    connect(&batch(), &BatchModel::batchFinished, this, &FrmMain::onBatchFinished);
    // Queued: the answer may come from inside a close the window is still handling.
    connect(session_, &BatchSession::quitReady, this, &QWidget::close, Qt::QueuedConnection);
}

void FrmMain::loadForm() {
    setWindowTitle(kShellTitle);
    mnuHelpAbout->setText(QStringLiteral("&About ") + kShellTitle + QStringLiteral("..."));
    const SolverLookup lookup = session_->LookForSolver();
    if (lookup.found) {
        SetStatusText(
            sbPanel1, tr("Solver"),
            QStringLiteral("Velto ") + QString::fromStdString(lookup.solver.SolverVersionText));
    } else {
        SetStatusText(sbPanel1, tr("Solver"),
                      SolverMissingStatus(lookup) + QStringLiteral(" in ") +
                          PrintablePath(lookup.solver.SolverFolder));
        MsgBoxCentered(this, SolverMissingText(lookup), kStyleInformation, kShellTitle);
    }
    txtVeltoPath->setText(PathText(lookup.solver.SolverFolder));
    if (!session_->clusterAvailable()) {
        const QString why = QStringLiteral("sbatch was not found on the PATH");
        mnuAnalysisCluster->setToolTip(why);
        mnuAnalysisCluster->setStatusTip(why);
    }
    // The last batch as it was, if the program or the machine stopped since, unless another
    // window or batch holds it now.
    for (const QString& text : session_->TakeUpLastBatch()) {
        MsgBoxCentered(this, text, kStyleCritical, kShellTitle);
    }
    // Bound once the last batch is in: a long journal is not shown row by row.
    connectModel();
    showRows();
    showEnabling();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        mnuToolsTray->setText(tr("&Mimimize to Tray (no tray on this desktop)"));
        mnuToolsTray->setEnabled(false);
    }
}

void FrmMain::unloadForm() {
    if (unloaded_) {
        return;
    }
    unloaded_ = true;
    if (trayIconShown_ && tray_) {
        tray_->hide();
    }
    session_->Close();
}

QString FrmMain::helpFile() const {
    return HelpFilePath(QStringLiteral("VeltoShell"), QStringLiteral(VELTO_SHELL_HELP_DIR));
}

BatchModel& FrmMain::batch() {
    return session_->batch();
}

SlurmBackend* FrmMain::clusterJob() const {
    return session_->clusterJob();
}

const SolverInfo& FrmMain::solver() const {
    return session_->solver();
}

namespace {

// Why a row did not complete, where the pointer rests on it and in the status bar: a batch
// restored from its record shows it without a click.
void ShowReason(QTreeWidgetItem* item, const BatchModel::Row& row) {
    const QString reason = ConsoleText(row.reason);
    for (int column = 0; column < 2; ++column) {
        item->setToolTip(column, reason);
        item->setStatusTip(column, reason);
    }
    // What a screen reader hears of the status cell: an empty one is a file not run yet, and a
    // reason goes with its status.
    item->setData(1, Qt::AccessibleTextRole,
                  row.status.isEmpty() ? QObject::tr("not run yet")
                  : reason.isEmpty()   ? row.status
                                       : row.status + QStringLiteral(": ") + reason);
}

}  // namespace

void FrmMain::showRows() {
    lvwFiles->clear();
    for (const BatchModel::Row& row : batch().rows()) {
        auto* item = new QTreeWidgetItem({row.path, row.status});
        ShowReason(item, row);
        lvwFiles->addTopLevelItem(item);
    }
    showResultsEnabling();
}

void FrmMain::showStatus(int row) {
    if (QTreeWidgetItem* item = lvwFiles->topLevelItem(row)) {
        item->setText(1, batch().rows()[static_cast<std::size_t>(row)].status);
        ShowReason(item, batch().rows()[static_cast<std::size_t>(row)]);
    }
    showResultsEnabling();
}

void FrmMain::showResultsEnabling() {
    if (!session_) {
        return;  // the window is going
    }
    mnuShowResults->setEnabled(session_->ResultsOf(selectedRow()).offered);
}

void FrmMain::onShowResultsTriggered() {
    const RowResults results = session_->ResultsOf(selectedRow());
    if (!results.offered) {
        return;
    }
    const QString listing = PathText(results.listing);
    if (!results.written) {
        SetStatusText(sbTime, tr("Batch"),
                      QStringLiteral("No results yet: the solver has not written %1 yet")
                          .arg(QFileInfo(listing).fileName()));
        return;
    }
    // Beside this program, where a package installs both and the build links it.
    const QString program =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("VeltoExtract"));
    QStringList arguments;
    if (results.running) {
        arguments << QStringLiteral("--follow");
    }
    arguments << listing;
    if (!dialogs_.startDetached(program, arguments)) {
        SetStatusText(sbTime, tr("Batch"), QStringLiteral("%1 could not be started").arg(program));
    }
}

void FrmMain::showEnabling() {
    const BatchEnabling e = session_->Enabling();
    // Stop is about to be disabled: its focus goes back to the list, not on to the next control.
    if (!e.stop && cmdStop->isEnabled() && (!focusWidget() || focusWidget() == cmdStop)) {
        lvwFiles->setFocus();
    }
    cmdAdd->setEnabled(e.add);
    mnuFileAdd->setEnabled(e.add);
    cmdDelete->setEnabled(e.remove);
    mnuFileDelete->setEnabled(e.remove);
    cmdClear->setEnabled(e.clear);
    mnuFileClear->setEnabled(e.clear);
    cmdRun->setEnabled(e.run);
    mnuAnalysisRun->setEnabled(e.run);
    mnuAnalysisCluster->setEnabled(e.runOnCluster);
    cmdStop->setEnabled(e.stop);
    mnuAnalysisStop->setEnabled(e.stop);
    mnuToolsExport->setEnabled(e.exportSetting);
    cmdVeltoPath->setEnabled(e.chooseSolver);
    mnuVeltoPath->setEnabled(e.chooseSolver);
    picProgress->setVisible(e.stop);
}

void FrmMain::onAddClicked() {
    if (!session_->Enabling().add) {
        return;
    }
    const QStringList files = dialogs_.addFiles(this, lastAddFolder_);
    if (files.isEmpty()) {
        return;
    }
    lastAddFolder_ = QFileInfo(files.front()).absolutePath();
    std::vector<std::string> candidates;
    for (const QString& file : files) {
        candidates.push_back(PathBytes(file));
    }
    // The same rule as velto-batch's; a file already listed is not added again.
    const CheckedInputs checked = session_->Add(candidates);
    if (!checked.accepted.empty()) {
        // The list is shown afresh with no row selected: no console text, nor the last
        // batch's summary, belongs to it.
        setConsoleText(QString());
    }
    // Every name the user gave is either in the list now or named here.
    if (const QString refusal = AddRefusalText(checked); !refusal.isEmpty()) {
        MsgBoxCentered(this, refusal, kStyleCritical, kShellTitle);
    }
}

void FrmMain::onDeleteClicked() {
    QTreeWidgetItem* item = lvwFiles->currentItem();
    if (!item || !item->isSelected()) {
        return;
    }
    const int row = lvwFiles->indexOfTopLevelItem(item);
    if (session_->Delete(row)) {
        setConsoleText(QString());
        // The keys go on from where the removed file stood.
        if (QTreeWidgetItem* next =
                lvwFiles->topLevelItem(std::min(row, lvwFiles->topLevelItemCount() - 1))) {
            lvwFiles->setCurrentItem(next);
        }
    }
}

void FrmMain::onClearClicked() {
    // Ctrl+C is Clear here, and is pressed for a copy now and then: a list that did not complete
    // is not dropped without a question.
    if (const BatchQuestion question = session_->ClearQuestion();
        question && MsgBoxCentered(this, question.text, kStyleYesNo | kStyleQuestion,
                                   kShellTitle) != kAnswerYes) {
        return;
    }
    if (session_->Clear()) {
        setConsoleText(QString());
        SetStatusText(sbTime, tr("Batch"), QString());  // the last batch's summary went with it
    }
}

void FrmMain::onFileClicked(int row) {
    if (row < 0 || row >= batch().rowCount()) {
        return;
    }
    setConsoleText(ConsoleText(batch().KeptConsole(row)));
    picProgress->setFraction(batch().LastFraction(row));
}

void FrmMain::onFileDoubleClicked(int row) {
    if (!session_->CanOpen(row)) {
        return;
    }
    const BatchModel::Row& file = batch().rows()[static_cast<std::size_t>(row)];
    opener_->Open(file.path, file.nativePath);
}

void FrmMain::onExportAfterRunTriggered() {
    if (!mnuToolsExport->isChecked()) {
        SaveExportAfterRun(false, LoadExportOptions());
        return;
    }
    QString text = LoadExportOptions();
    for (;;) {
        text = dialogs_.exportOptions(this, text);
        if (text.trimmed().isEmpty()) {
            mnuToolsExport->setChecked(false);  // cancelled: no export
            return;
        }
        QStringList options;
        const QString problem = BatchSession::ExportOptionsProblemOf(text, options);
        if (problem.isEmpty()) {
            SaveExportAfterRun(true, text);
            return;
        }
        MsgBoxCentered(this, problem, kStyleOk | kStyleCritical, kShellTitle);
    }
}

bool FrmMain::RefusedForNoSolver() {
    const QString why = session_->RunRefusal();
    if (!why.isEmpty()) {
        MsgBoxCentered(this, why, kStyleInformation, kShellTitle);
    }
    return !why.isEmpty();
}

void FrmMain::onRunClicked() {
    if (!session_->Enabling().run || RefusedForNoSolver()) {
        return;
    }
    session_->UseExportSetting(mnuToolsExport->isChecked());
    if (!session_->Run()) {
        return;
    }
    cmdStop->setFocus();
}

void FrmMain::onRunOnClusterTriggered() {
    if (!session_->Enabling().runOnCluster || RefusedForNoSolver()) {
        return;
    }
    const BatchQuestion question = session_->SubmitQuestion();
    if (!question || MsgBoxCentered(this, question.text, kStyleYesNo | kStyleQuestion,
                                    kShellTitle) != kAnswerYes) {
        return;
    }
    session_->UseExportSetting(mnuToolsExport->isChecked());
    if (!session_->RunOnCluster(SlurmOptions())) {
        return;
    }
    cmdStop->setFocus();
}

void FrmMain::onStopClicked() {
    const BatchQuestion question = session_->StopQuestion();
    if (!question) {
        session_->Stop();
    } else if (MsgBoxCentered(this, question.text, kStyleYesNo | kStyleQuestion, kShellTitle) ==
               kAnswerYes) {
        session_->Stop();
    } else if (const QString said = session_->StopFollowing(); !said.isEmpty()) {
        SetStatusText(sbTime, tr("Batch"), said);  // unless the job ended while the question was up
    }
}

int FrmMain::selectedRow() const {
    QTreeWidgetItem* item = lvwFiles->currentItem();
    return item ? lvwFiles->indexOfTopLevelItem(item) : -1;
}

void FrmMain::onBatchFinished() {
    const QString summary = batch().Summary();
    appendConsoleText(QStringLiteral("\n") + summary + QStringLiteral("\n"));
    SetStatusText(sbTime, tr("Batch"), summary);
    setWindowTitle(kShellTitle);
    if (tray_) {
        tray_->setToolTip(kShellTitle);
    }
}

void FrmMain::showProgress(int row, float fraction, const QString& fileName) {
    const ProgressTexts texts = ProgressTextsFor(fraction, fileName);
    SetStatusText(sbTime, tr("Batch"), fileName + QStringLiteral(": ") + batch().TimingText(row));
    setWindowTitle(isMinimized() ? texts.caption : kShellTitle);
    if (trayIconShown_ && tray_) {
        tray_->setToolTip(texts.tip);
    }
    picProgress->setFraction(fraction);
}

void FrmMain::appendConsoleText(const QString& text) {
    // Always at the end, wherever the user left the caret or the selection.
    QTextCursor end(txtRun->document());
    end.movePosition(QTextCursor::End);
    end.insertText(text);
    txtRun->verticalScrollBar()->setValue(txtRun->verticalScrollBar()->maximum());
}

void FrmMain::setConsoleText(const QString& text) {
    txtRun->setPlainText(text);
    txtRun->verticalScrollBar()->setValue(txtRun->verticalScrollBar()->maximum());
}

void FrmMain::onVeltoPathClicked() {
    const QString folder = dialogs_.browse(this, QStringLiteral("Select Velto Location"),
                                           PathText(session_->solver().SolverFolder));
    if (folder.isEmpty()) {
        return;
    }
    // The solver in use stays until a folder that holds one is chosen.
    const SolverLookup lookup = session_->ChooseSolverFolder(folder);
    if (!lookup.found) {
        MsgBoxCentered(this, SolverMissingText(lookup), kStyleInformation, kShellTitle);
        return;
    }
    txtVeltoPath->setText(PathText(lookup.solver.SolverFolder));
    SetStatusText(
        sbPanel1, tr("Solver"),
        QStringLiteral("Velto ") + QString::fromStdString(lookup.solver.SolverVersionText));
}

void FrmMain::onTrayToggled() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        mnuToolsTray->setChecked(false);
        return;
    }
    if (trayIconShown_) {
        trayIconShown_ = false;
        mnuToolsTray->setChecked(false);
        tray_->hide();
        return;
    }
    trayIconShown_ = true;
    mnuToolsTray->setChecked(true);
    tray_->setToolTip(kShellTitle);
    tray_->show();
}

bool FrmMain::eventFilter(QObject* watched, QEvent* event) {
    // In the console, Ctrl+C copies and Ctrl+A selects all its text, as in any text: the menu's
    // Clear and Add keep those keys everywhere else.
    if (watched == txtRun &&
        (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress)) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool copy = key->matches(QKeySequence::Copy);
        const bool all = key->matches(QKeySequence::SelectAll);
        if (copy || all) {
            if (event->type() == QEvent::KeyPress) {
                copy ? txtRun->copy() : txtRun->selectAll();
            }
            event->accept();
            return true;
        }
    }
    if (watched == lvwFiles && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::NoModifier) {
            onDeleteClicked();
            return true;
        }
        if ((key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier) ||
            (key->key() == Qt::Key_Menu && key->modifiers() == Qt::NoModifier)) {
            const QRect row = lvwFiles->currentItem()
                                  ? lvwFiles->visualItemRect(lvwFiles->currentItem())
                                  : QRect();
            QContextMenuEvent menu(QContextMenuEvent::Keyboard, row.bottomLeft(),
                                   lvwFiles->viewport()->mapToGlobal(row.bottomLeft()));
            QCoreApplication::sendEvent(lvwFiles, &menu);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void FrmMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Minimised with its icon in the tray, the window leaves the task bar; the program started
    // again brings it back.
    if (event->type() == QEvent::WindowStateChange) {
        const bool toTray = isMinimized() && trayIconShown_;
        trayReturn_->SetListening(toTray);
        if (toTray) {
            QMetaObject::invokeMethod(
                this, [this] { hide(); }, Qt::QueuedConnection);
        }
    }
}

void FrmMain::closeEvent(QCloseEvent* event) {
    if (const BatchQuestion question = session_->QuitQuestion()) {
        event->ignore();
        if (MsgBoxCentered(this, question.text, kStyleYesNo | kStyleQuestion, kShellTitle) ==
            kAnswerYes) {
            CloseAllHelp();
            session_->Quit();  // the close comes back with quitReady()
        }
        return;
    }
    CloseAllHelp();
    unloadForm();
    event->accept();
}

}  // namespace velto
