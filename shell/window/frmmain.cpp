#include "shell/window/frmmain.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
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
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
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
#include "shell/runner/batch.h"
#include "shell/runner/batchjournal.h"
#include "shell/runner/batchreport.h"
#include "shell/runner/inputfiles.h"
#include "shell/runner/settings.h"
#include "shell/runner/slurmbatch.h"
#include "shell/runner/solverrun.h"
#include "shell/window/frmabout.h"

namespace velto {

namespace {

QStringList DefaultAddFiles(QWidget* parent, const QString& folder) {
    QFileDialog dialog(parent, QStringLiteral("Select File(s)"), folder,
                       QStringLiteral("Velto Input Files (*.in);;All Files (*)"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);  // the relabelled controls are ours
    dialog.setFileMode(QFileDialog::ExistingFiles);
    // "*.in" as the solver reads it: beam.IN is no input file of its.
    dialog.setFilter(dialog.filter() | QDir::CaseSensitive);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("&Add"));
    dialog.setLabelText(QFileDialog::Reject, QStringLiteral("Cancel"));
    dialog.setLabelText(QFileDialog::LookIn, QStringLiteral("Look &in:"));
    dialog.setLabelText(QFileDialog::FileName, QStringLiteral("File &name(s):"));
    dialog.setLabelText(QFileDialog::FileType, QStringLiteral("Files of &type:"));
    ShowLabelMnemonics(dialog);
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
}

// A folder browser that checks each folder as the user moves and lets the user confirm only a
// folder that holds the solver.
QString DefaultBrowse(QWidget* parent, const QString& title, const QString& start) {
    QFileDialog dialog(parent, title, start);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    auto* box = dialog.findChild<QDialogButtonBox*>();
    QPushButton* ok = box ? box->button(QDialogButtonBox::Open) : nullptr;
    if (!ok && box) {
        ok = box->button(QDialogButtonBox::Ok);
    }
    auto* status = new QLabel(&dialog);
    status->setObjectName(QStringLiteral("browseStatus"));
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
        grid->addWidget(status, grid->rowCount(), 0, 1, grid->columnCount());
    }
    auto check = [&](const QString& folder) {
        SolverInfo probe;
        QString path = folder;
        if (path.size() > 1 && path.endsWith('/')) {
            path.chop(1);  // a root keeps its slash for the search
        }
        probe.SolverFolder = path.toStdString();
        const bool found = FindSolver(probe, probe.SolverFolder);
        if (found) {
            GetSolverVersion(probe, probe.Command());
        }
        status->setText(found ? QStringLiteral("Found Velto ") +
                                    QString::fromStdString(probe.SolverVersionText)
                              : QStringLiteral("Velto Not Found"));
        if (ok) {
            ok->setEnabled(found);
        }
    };
    QObject::connect(&dialog, &QFileDialog::currentChanged, &dialog, check);
    QObject::connect(&dialog, &QFileDialog::directoryEntered, &dialog, check);
    check(start);
    if (dialog.exec() != QDialog::Accepted) {
        return QString();
    }
    return dialog.selectedFiles().value(0);
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
    if (!dialogs_.about) {
        dialogs_.about = [](QWidget* owner) {
            FrmAbout about(owner);
            about.exec();
        };
    }
    batch_ = new Batch(this);
    cluster_ = new SlurmBatch(this);
    BuildControls();
    FormLoad();
}

FrmMain::~FrmMain() = default;

void FrmMain::BuildControls() {
    setObjectName(QStringLiteral("frmMain"));
    auto* central = new QWidget(this);
    setCentralWidget(central);
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
    lvwFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvwFiles->header()->setStretchLastSection(false);
    lvwFiles->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    lvwFiles->header()->setSectionResizeMode(1, QHeaderView::Fixed);
    lvwFiles->header()->resizeSection(1, 100);

    txtRun = named(new QPlainTextEdit, "txtRun");
    txtRun->setReadOnly(true);
    QFont console(QStringLiteral("Lucida Console"), 9);
    console.setStyleHint(QFont::Monospace);
    if (!QFontInfo(console).fixedPitch()) {
        console = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    }
    txtRun->setFont(console);
    txtRun->setLineWrapMode(QPlainTextEdit::NoWrap);

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
    cmdVeltoPath = named(new QPushButton(QStringLiteral("...")), "cmdVeltoPath");
    cmdVeltoPath->setFixedWidth(cmdVeltoPath->fontMetrics().horizontalAdvance("....") + 24);
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
    sbPanel1 = named(new QLabel, "sbPanel1");
    sbMain->addWidget(sbPanel1, 1);
    sbTime = named(new QLabel, "sbTime");
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
    QMenu* tools = menuBar()->addMenu(tr("&Tools"));
    mnuVeltoPath = action(tools, tr("Velto &Path"), "mnuVeltoPath", QString());
    tools->addSeparator();
    mnuToolsTray = action(tools, tr("&Mimimize to Tray"), "mnuToolsTray", "Ctrl+M");
    mnuToolsTray->setCheckable(true);
    QMenu* help = menuBar()->addMenu(tr("&Help"));
    mnuHelpContents = action(help, tr("&Contents..."), "mnuHelpContents", QString());
    help->addSeparator();
    mnuHelpAbout = action(help, tr("&About"), "mnuHelpAbout", QString());
    mPopupSys = named(new QMenu(this), "mPopupSys");
    mPopRestore = action(mPopupSys, tr("&Restore"), "mPopRestore", QString());
    mPopupSys->addSeparator();
    mPopExit = action(mPopupSys, tr("&Exit"), "mPopExit", QString());

    connect(cmdAdd, &QPushButton::clicked, this, &FrmMain::cmdAdd_Click);
    connect(cmdDelete, &QPushButton::clicked, this, &FrmMain::cmdDelete_Click);
    connect(cmdClear, &QPushButton::clicked, this, &FrmMain::cmdClear_Click);
    connect(cmdRun, &QPushButton::clicked, this, &FrmMain::cmdRun_Click);
    connect(cmdStop, &QPushButton::clicked, this, &FrmMain::cmdStop_Click);
    connect(cmdVeltoPath, &QPushButton::clicked, this, &FrmMain::cmdVeltoPath_Click);
    connect(mnuFileAdd, &QAction::triggered, this, &FrmMain::cmdAdd_Click);
    connect(mnuFileDelete, &QAction::triggered, this, &FrmMain::cmdDelete_Click);
    connect(mnuFileClear, &QAction::triggered, this, &FrmMain::cmdClear_Click);
    connect(mnuFileExit, &QAction::triggered, this, &QWidget::close);
    connect(mnuAnalysisRun, &QAction::triggered, this, &FrmMain::cmdRun_Click);
    connect(mnuAnalysisStop, &QAction::triggered, this, &FrmMain::cmdStop_Click);
    connect(mnuAnalysisCluster, &QAction::triggered, this, &FrmMain::mnuAnalysisCluster_Click);
    connect(mnuVeltoPath, &QAction::triggered, this, &FrmMain::cmdVeltoPath_Click);
    connect(mnuToolsTray, &QAction::triggered, this, &FrmMain::mnuToolsTray_Click);
    connect(mnuHelpContents, &QAction::triggered, this,
            [this] { ShowHelpContents(this, HelpFile()); });
    connect(mnuHelpAbout, &QAction::triggered, this, [this] { dialogs_.about(this); });
    connect(mPopRestore, &QAction::triggered, this, [this] {
        showNormal();
        activateWindow();
    });
    connect(mPopExit, &QAction::triggered, this, &QWidget::close);
    connect(lvwFiles, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        lvwFiles_ItemClick(lvwFiles->indexOfTopLevelItem(item));
    });
    connect(lvwFiles, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        lvwFiles_DblClick(lvwFiles->indexOfTopLevelItem(item));
    });

    connect(batch_, &Batch::fileStarted, this, [this](int row) {
        runningRow_ = row;
        picProgress->setFraction(0);
        SetText(QString());
        if (QTreeWidgetItem* item = lvwFiles->topLevelItem(row)) {
            item->setText(1, kStatusRunning);
            lvwFiles->setCurrentItem(item);
        }
    });
    connect(batch_, &Batch::outputChunk, this,
            [this](int, const QByteArray& text) { AppendText(ConsoleText(text)); });
    connect(batch_, &Batch::progress, this,
            [this](int, float fraction, const QString& name) { UpdateProgress(fraction, name); });
    connect(batch_, &Batch::fileFinished, this, [this](int row, const QString& status) {
        if (QTreeWidgetItem* item = lvwFiles->topLevelItem(row)) {
            item->setText(1, status);
        }
    });
    connect(batch_, &Batch::batchFinished, this, &FrmMain::OnBatchFinished);
    ConnectCluster();
    // The elapsed time moves on while a silent solver computes.
    auto* tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, [this] {
        if (batch_->IsRunning && runningRow_ >= 0) {
            const QString name = QFileInfo(batch_->rows[static_cast<std::size_t>(runningRow_)].path)
                                     .completeBaseName();
            sbTime->setText(
                name + QStringLiteral(": ") +
                TimingText(batch_->ElapsedSeconds(runningRow_), batch_->LastFraction(runningRow_)));
        }
    });
    tick->start(1000);

    // F1 and Escape belong to the window, whichever control has the focus.
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, [this] { ShowHelpContents(this, HelpFile()); });
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] {
        if (batch_->IsRunning) {
            batch_->Stop();
        } else {
            batch_->StopRequested = true;  // the next batch clears it at its start
        }
    });
    resize(760, 560);
}

void FrmMain::FormLoad() {
    setWindowTitle(kShellTitle);
    mnuHelpAbout->setText(QStringLiteral("&About ") + kShellTitle + QStringLiteral("..."));
    QString folder = LoadSolverFolder();
    if (folder.isEmpty()) {
        folder = QCoreApplication::applicationDirPath();
    }
    solver_.SolverFolder = folder.toStdString();
    if (FindSolver(solver_, solver_.SolverFolder)) {
        GetSolverVersion(solver_, solver_.Command());
        sbPanel1->setText(QStringLiteral("Velto ") +
                          QString::fromStdString(solver_.SolverVersionText));
    } else {
        MsgBoxCentered(this, kSolverNotFoundText, kStyleInformation, kShellTitle);
    }
    txtVeltoPath->setText(folder);
    clusterAvailable_ = SlurmBatch::Available();
    // The last batch as it was, if the program or the machine stopped since.
    const QString journalPath = BatchJournal::DefaultPath(QStringLiteral("shell-batch.json"));
    QStringList refused;
    bool keepJournal = true;
    if (BatchJournal::Load(journalPath, *batch_, &refused) == BatchJournal::Loaded::kUnreadable) {
        // Never saved over: what cannot be read here may still be worth something to someone.
        const QString aside = BatchJournal::SetAside(journalPath);
        keepJournal = !aside.isEmpty();
        MsgBoxCentered(this,
                       keepJournal
                           ? QStringLiteral("The last batch could not be read from %1. It was "
                                            "kept as %2.")
                                 .arg(journalPath, aside)
                           : QStringLiteral("The last batch could not be read from %1, nor "
                                            "moved aside. It is left as it is, and this "
                                            "session's batch is not kept on disk.")
                                 .arg(journalPath),
                       kStyleCritical, kShellTitle);
    }
    if (!refused.isEmpty()) {
        MsgBoxCentered(
            this,
            QStringLiteral("These files of the last batch were left out:\n\n") + refused.join('\n'),
            kStyleCritical, kShellTitle);
    }
    for (const Batch::Row& row : batch_->rows) {
        lvwFiles->addTopLevelItem(new QTreeWidgetItem({row.path, row.status}));
    }
    if (keepJournal) {
        journal_ = new BatchJournal(*batch_, journalPath, this);
        journal_->Save();
    }
    SetListCommands(!batch_->rows.empty());
    cmdStop->setEnabled(false);
    mnuAnalysisStop->setEnabled(false);
    picProgress->setVisible(false);
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        mnuToolsTray->setText(tr("&Mimimize to Tray (no tray on this desktop)"));
        mnuToolsTray->setEnabled(false);
    }
}

void FrmMain::FormUnload() {
    if (unloaded_) {
        return;
    }
    unloaded_ = true;
    if (trayIconShown_ && tray_) {
        tray_->hide();
    }
    SaveSolverFolder(txtVeltoPath->text());
}

QString FrmMain::HelpFile() const {
    return HelpFilePath(QStringLiteral("VeltoShell"), QStringLiteral(VELTO_SHELL_HELP_DIR));
}

void FrmMain::SetListCommands(bool enabled) {
    for (QWidget* w : std::initializer_list<QWidget*>{cmdDelete, cmdClear, cmdRun}) {
        w->setEnabled(enabled);
    }
    for (QAction* a : {mnuFileDelete, mnuFileClear, mnuAnalysisRun}) {
        a->setEnabled(enabled);
    }
    mnuAnalysisCluster->setEnabled(enabled && clusterAvailable_);
}

void FrmMain::cmdAdd_Click() {
    const QStringList files = dialogs_.addFiles(this, LastAddFolder);
    if (files.isEmpty()) {
        return;
    }
    LastAddFolder = QFileInfo(files.front()).absolutePath();
    std::vector<std::string> candidates;
    for (const QString& file : files) {
        candidates.push_back(PathBytes(file));
    }
    std::vector<std::string> listed;
    for (const Batch::Row& row : batch_->rows) {
        listed.push_back(row.nativePath);
    }
    // The same rule as velto-batch's; a file already listed is simply not added again.
    const CheckedInputs checked = CheckInputFiles(candidates, listed);
    for (const std::string& path : checked.accepted) {
        batch_->AddRow(PathText(path), path);
        lvwFiles->addTopLevelItem(new QTreeWidgetItem({batch_->rows.back().path, QString()}));
    }
    if (!checked.refused.isEmpty()) {
        MsgBoxCentered(this,
                       QStringLiteral("These files cannot be run and were not added:\n\n") +
                           checked.refused.join('\n'),
                       kStyleCritical, kShellTitle);
    }
    SetListCommands(!batch_->rows.empty());
}

void FrmMain::cmdDelete_Click() {
    QTreeWidgetItem* item = lvwFiles->currentItem();
    if (!item || !item->isSelected()) {
        return;
    }
    const int row = lvwFiles->indexOfTopLevelItem(item);
    delete lvwFiles->takeTopLevelItem(row);
    batch_->RemoveRow(row);
    SetText(QString());
    if (lvwFiles->topLevelItemCount() == 0) {
        SetListCommands(false);
    }
}

void FrmMain::cmdClear_Click() {
    lvwFiles->clear();
    batch_->ClearRows();
    SetText(QString());
    SetListCommands(false);
}

void FrmMain::lvwFiles_ItemClick(int row) {
    if (batch_->IsRunning || row < 0 || row >= batch_->RunLogs.size()) {
        return;
    }
    SetText(ConsoleText(batch_->RunLogs[row]));
    if (cluster_->IsFollowing) {
        picProgress->setFraction(cluster_->LastFraction(row));
    }
}

void FrmMain::lvwFiles_DblClick(int row) {
    if (batch_->IsRunning || row < 0 || row >= static_cast<int>(batch_->rows.size())) {
        return;
    }
    if (!dialogs_.openFile(batch_->rows[static_cast<std::size_t>(row)].path)) {
        MsgBoxCentered(this, QStringLiteral("The executable for in files not found."),
                       kStyleCritical, kShellTitle);
    }
}

void FrmMain::SetRunning(bool running) {
    for (QWidget* w : std::initializer_list<QWidget*>{cmdAdd, cmdDelete, cmdClear, cmdRun}) {
        w->setEnabled(!running);
    }
    for (QAction* a : {mnuFileAdd, mnuFileDelete, mnuFileClear, mnuAnalysisRun}) {
        a->setEnabled(!running);
    }
    cmdStop->setEnabled(running);
    mnuAnalysisStop->setEnabled(running);
    mnuAnalysisCluster->setEnabled(!running && clusterAvailable_);
    picProgress->setVisible(running);
}

void FrmMain::cmdRun_Click() {
    if (batch_->IsRunning || batch_->rows.empty()) {
        return;
    }
    SetRunning(true);
    cmdStop->setFocus();
    batch_->Run(solver_);
}

void FrmMain::cmdStop_Click() {
    if (cluster_->IsFollowing) {
        // Stopping a job on a cluster kills its solvers: that is asked, not assumed.
        if (MsgBoxCentered(this,
                           QStringLiteral("Cancel job %1 on the cluster?\n\nNo stops following "
                                          "it; the job runs on.")
                               .arg(cluster_->jobId()),
                           kStyleYesNo | kStyleQuestion, kShellTitle) == kAnswerYes) {
            cluster_->Cancel();
        } else {
            cluster_->StopFollowing();
            SetRunning(false);
            sbTime->setText(QStringLiteral("Stopped following job %1").arg(cluster_->jobId()));
        }
        return;
    }
    batch_->Stop();
}

void FrmMain::mnuAnalysisCluster_Click() {
    if (batch_->IsRunning || cluster_->IsFollowing || batch_->rows.empty()) {
        return;
    }
    std::vector<std::string> files;
    for (const Batch::Row& row : batch_->rows) {
        files.push_back(row.nativePath);
    }
    QString error;
    if (!cluster_->Submit(solver_, files, SlurmOptions(), error)) {
        MsgBoxCentered(this, QStringLiteral("The batch was not submitted: ") + error,
                       kStyleCritical, kShellTitle);
        return;
    }
    for (int row = 0; row < static_cast<int>(batch_->rows.size()); ++row) {
        batch_->rows[static_cast<std::size_t>(row)].status.clear();
        batch_->RunLogs[row].clear();
        if (QTreeWidgetItem* item = lvwFiles->topLevelItem(row)) {
            item->setText(1, QString());
        }
    }
    SetText(QString());
    picProgress->setFraction(0);
    sbTime->setText(QStringLiteral("Job %1 submitted").arg(cluster_->jobId()));
    SetRunning(true);
    cmdStop->setFocus();
    cluster_->StartFollowing();
}

int FrmMain::SelectedRow() const {
    QTreeWidgetItem* item = lvwFiles->currentItem();
    return item ? lvwFiles->indexOfTopLevelItem(item) : -1;
}

void FrmMain::ConnectCluster() {
    // The cluster's rows are the list's rows: statuses and console texts land in the batch
    // model too, so a click on a row and the journal work as after a local run.
    auto setStatus = [this](int row, const QString& status) {
        if (row < static_cast<int>(batch_->rows.size())) {
            batch_->rows[static_cast<std::size_t>(row)].status = status;
        }
        if (QTreeWidgetItem* item = lvwFiles->topLevelItem(row)) {
            item->setText(1, status);
        }
    };
    connect(cluster_, &SlurmBatch::fileQueued, this,
            [setStatus](int row) { setStatus(row, kStatusQueued); });
    connect(cluster_, &SlurmBatch::fileStarted, this, [this, setStatus](int row) {
        setStatus(row, kStatusRunning);
        if (row < batch_->RunLogs.size()) {
            batch_->RunLogs[row].clear();
        }
        // Follow the first running file until the user picks another row.
        const int selected = SelectedRow();
        if (selected < 0 ||
            batch_->rows[static_cast<std::size_t>(selected)].status != kStatusRunning ||
            selected == row) {
            if (QTreeWidgetItem* item = lvwFiles->topLevelItem(row)) {
                lvwFiles->setCurrentItem(item);
            }
            SetText(QString());
            picProgress->setFraction(0);
        }
    });
    connect(cluster_, &SlurmBatch::outputChunk, this, [this](int row, const QByteArray& text) {
        if (row < batch_->RunLogs.size()) {
            batch_->RunLogs[row].append(text);
        }
        if (row == SelectedRow()) {
            AppendText(ConsoleText(text));
        }
    });
    connect(cluster_, &SlurmBatch::progress, this,
            [this](int row, float fraction, const QString& name) {
                if (row == SelectedRow()) {
                    UpdateProgress(fraction, name);
                    sbTime->setText(name + QStringLiteral(": ") +
                                    TimingText(cluster_->ElapsedSeconds(row), fraction));
                }
            });
    connect(cluster_, &SlurmBatch::fileFinished, this,
            [this, setStatus](int row, const QString& s) {
                setStatus(row, s);
                if (journal_) {
                    journal_->Save();
                }
            });
    connect(cluster_, &SlurmBatch::clusterMessage, this,
            [this](const QString& text) { sbTime->setText(text); });
    connect(cluster_, &SlurmBatch::batchFinished, this, [this] {
        SetRunning(false);
        const QString summary =
            BatchSummary(cluster_->StatusesOfThisBatch(), cluster_->BatchSeconds());
        sbTime->setText(summary);
        setWindowTitle(kShellTitle);
        if (journal_) {
            journal_->Save();
        }
    });
}

void FrmMain::OnBatchFinished() {
    SetRunning(false);
    runningRow_ = -1;
    const QString summary = BatchSummary(batch_->StatusesOfThisBatch(), batch_->BatchSeconds());
    AppendText(QStringLiteral("\n") + summary + QStringLiteral("\n"));
    sbTime->setText(summary);
    if (batch_->UnloadRequested) {
        close();
        return;
    }
    setWindowTitle(kShellTitle);
    if (tray_) {
        tray_->setToolTip(kShellTitle);
    }
}

void FrmMain::UpdateProgress(float fraction, const QString& fileName) {
    const ProgressTexts texts = ProgressTextsFor(fraction, fileName);
    if (runningRow_ >= 0) {
        sbTime->setText(fileName + QStringLiteral(": ") +
                        TimingText(batch_->ElapsedSeconds(runningRow_), fraction));
    }
    setWindowTitle(isMinimized() ? texts.caption : kShellTitle);
    if (trayIconShown_ && tray_) {
        tray_->setToolTip(texts.tip);
    }
    picProgress->setFraction(fraction);
}

void FrmMain::AppendText(const QString& text) {
    // Always at the end, wherever the user left the caret or the selection.
    QTextCursor end(txtRun->document());
    end.movePosition(QTextCursor::End);
    end.insertText(text);
    txtRun->verticalScrollBar()->setValue(txtRun->verticalScrollBar()->maximum());
}

void FrmMain::SetText(const QString& text) {
    txtRun->setPlainText(text);
    txtRun->verticalScrollBar()->setValue(txtRun->verticalScrollBar()->maximum());
}

void FrmMain::cmdVeltoPath_Click() {
    const QString folder = dialogs_.browse(this, QStringLiteral("Select Velto Location"),
                                           QString::fromStdString(solver_.SolverFolder));
    if (folder.isEmpty()) {
        return;
    }
    SolverInfo chosen = solver_;
    chosen.SolverFolder = folder.toStdString();
    if (FindSolver(chosen, chosen.SolverFolder)) {
        GetSolverVersion(chosen, chosen.Command());
    }
    solver_ = chosen;
    txtVeltoPath->setText(folder);
    sbPanel1->setText(QStringLiteral("Velto ") + QString::fromStdString(solver_.SolverVersionText));
}

void FrmMain::mnuToolsTray_Click() {
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
    if (!tray_) {
        tray_ = new QSystemTrayIcon(ShellIcon(), this);
        tray_->setContextMenu(nullptr);
        connect(
            tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (!trayIconShown_ || !isMinimized()) {
                    return;
                }
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    showNormal();
                    activateWindow();
                } else if (reason == QSystemTrayIcon::Context) {
                    mPopupSys->popup(QCursor::pos());
                }
            });
    }
    trayIconShown_ = true;
    mnuToolsTray->setChecked(true);
    tray_->setToolTip(kShellTitle);
    tray_->show();
}

void FrmMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Minimised with its icon in the tray, the window leaves the task bar.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && trayIconShown_) {
        QMetaObject::invokeMethod(
            this, [this] { hide(); }, Qt::QueuedConnection);
    }
}

void FrmMain::closeEvent(QCloseEvent* event) {
    if (batch_->IsRunning) {
        event->ignore();
        if (MsgBoxCentered(this,
                           QStringLiteral("Analysis is running. Do you want to exit and abbort "
                                          "current analysis?"),
                           kStyleYesNo | kStyleQuestion, kShellTitle) == kAnswerYes) {
            CloseAllHelp();
            batch_->UnloadRequested = true;
            batch_->Stop();
        }
        return;
    }
    CloseAllHelp();
    FormUnload();
    event->accept();
}

}  // namespace velto
