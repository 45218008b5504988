#include "extract/window/frmextract.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>
#include <optional>

#include "common/text.h"
#include "common/window/helpwindow.h"
#include "common/window/messagebox.h"
#include "common/window/mouse.h"
#include "common/window/progressstrip.h"
#include "common/window/screenfit.h"
#include "extract/chart/curvechart.h"
#include "extract/export/savecommand.h"
#include "extract/export/selection.h"
#include "extract/export/sheetformat.h"
#include "extract/export/summary.h"
#include "extract/reader/listingheader.h"
#include "extract/window/chartdialog.h"

namespace velto {

namespace {

const QString kTitle = QStringLiteral("VeltoExtract");

// How long the watcher's events may come before the listing is looked at: a solver writing a
// time block gives one per write, and one look takes them all.
constexpr int kSettleMs = 150;

// The save dialog's filters; the first is selected when it opens.
const QString kSaveFilters =
    QStringLiteral("Excel File (*.xls);;Excel Workbook (*.xlsx);;CSV File (*.csv);;All Files (*)");

QString Latin1(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Bytes(const QString& text) {
    return text.toLatin1().toStdString();
}

// The per-user store of the two remembered folders.
#define VELTO_EXTRACT_SETTINGS(name) \
    QSettings name(QSettings::IniFormat, QSettings::UserScope, kTitle, kTitle)

QString DefaultOpen(QWidget* parent, const QString& folder, const QString& filter) {
    QFileDialog dialog(parent, QString(), folder, filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
}

// The extension a name typed without one gets: the selected filter's, so "run" saved under
// "Excel Workbook (*.xlsx)" becomes run.xlsx; none for "All Files (*)".
QString SuffixOfFilter(const QString& filter) {
    const std::optional<SheetFormat> format = FormatOfFilter(Bytes(filter));
    return format ? Latin1(FormatName(*format)) : QString();
}

SaveChoice DefaultSave(QWidget* parent, const QString& folder, const QString& filter) {
    QFileDialog dialog(parent, QString(), folder, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    const QString first = filter.section(QStringLiteral(";;"), 0, 0);
    dialog.selectNameFilter(first);
    dialog.setDefaultSuffix(SuffixOfFilter(first));
    QObject::connect(
        &dialog, &QFileDialog::filterSelected, &dialog,
        [&dialog](const QString& chosen) { dialog.setDefaultSuffix(SuffixOfFilter(chosen)); });
    // Asking before an existing file is replaced is the dialog's own job.
    if (dialog.exec() != QDialog::Accepted) {
        return {};
    }
    return {dialog.selectedFiles().value(0), dialog.selectedNameFilter()};
}

}  // namespace

QString AvailableTimesList::DragText() const {
    QString text;
    for (int row = 0; row < count(); ++row) {
        if (item(row)->isSelected()) {
            text += QString::number(row) + ' ';
        }
    }
    return text;
}

QMimeData* AvailableTimesList::mimeData(const QList<QListWidgetItem*>&) const {
    auto* data = new QMimeData;
    data->setText(DragText());
    return data;
}

QStringList AvailableTimesList::mimeTypes() const {
    return {QStringLiteral("text/plain")};
}

Qt::DropActions AvailableTimesList::supportedDropActions() const {
    return Qt::CopyAction;
}

void SelectedTimesList::dragEnterEvent(QDragEnterEvent* event) {
    // Text only, and only as a copy.
    if (event->mimeData()->hasText() && (event->possibleActions() & Qt::CopyAction)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void SelectedTimesList::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasText() && (event->possibleActions() & Qt::CopyAction)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void SelectedTimesList::dropEvent(QDropEvent* event) {
    if (!event->mimeData()->hasText()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    if (onDropText) {
        onDropText(event->mimeData()->text());
    }
}

FrmExtract::FrmExtract(ExtractDialogs dialogs, QWidget* parent)
    : QMainWindow(parent), dialogs_(std::move(dialogs)), session_(*this, *this) {
    if (!dialogs_.open) {
        dialogs_.open = DefaultOpen;
    }
    if (!dialogs_.save) {
        dialogs_.save = DefaultSave;
    }
    BuildControls();
    FormLoad();
}

FrmExtract::~FrmExtract() = default;

void FrmExtract::BuildControls() {
    setObjectName(QStringLiteral("frmExtract"));
    InstallProgressStripAccessibility();
    auto* central = new QWidget;
    SetScrollingCentralWidget(this, central);
    auto named = [](auto* widget, const char* name) {
        widget->setObjectName(QString::fromLatin1(name));
        return widget;
    };

    // File row
    auto* lblFileName = named(new QLabel(tr("File &Name:")), "lblFileName");
    txtFileName = named(new QLineEdit, "txtFileName");
    txtFileName->setReadOnly(true);
    lblFileName->setBuddy(txtFileName);
    cmdFile = named(new QPushButton(QStringLiteral("...")), "cmdFile");
    cmdFile->setAccessibleName(tr("Open Listing"));
    cmdFile->setFixedWidth(cmdFile->fontMetrics().horizontalAdvance(QStringLiteral("....")) + 24);
    // Every letter of "Follow" is another control's key already: Ctrl+F reaches it.
    chkFollow = named(new QCheckBox(tr("Follow")), "chkFollow");
    chkFollow->setAccessibleName(tr("Follow the listing"));
    chkFollow->setToolTip(
        tr("Show the times the solver completes while it writes the listing (Ctrl+F)"));
    chkFollow->setAccessibleDescription(chkFollow->toolTip());
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(lblFileName);
    fileRow->addWidget(txtFileName, 1);
    fileRow->addWidget(cmdFile);
    fileRow->addWidget(chkFollow);

    // Summary
    fraSummary = named(new QGroupBox(tr("Summary")), "fraSummary");
    auto* summary = new QGridLayout(fraSummary);
    const char* captions[] = {"Version:", "Analysis:", "Problem:", "Nodes:", "Solids:",
                              "Trusses:", "Beams:",    "Shells:",  "Soils:", "Fibers:"};
    const char* values[] = {"lblVersion", "lblAnalysis", "lblProblem", "lblNodes", "lblSolids",
                            "lblTrusses", "lblBeams",    "lblShells",  "lblSoils", "lblFibers"};
    for (int i = 0; i < 10; ++i) {
        lblSummary[i] = named(new QLabel(tr(captions[i])),
                              QStringLiteral("lblSummary%1").arg(i).toLatin1().constData());
        auto* value = named(new QLabel, values[i]);
        value->setMinimumWidth(90);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        summary->addWidget(lblSummary[i], i, 0);
        summary->addWidget(value, i, 1);
        if (i == 0) {
            lblVersion = value;
        } else if (i == 1) {
            lblAnalysis = value;
        } else if (i == 2) {
            lblProblem = value;
        } else {
            lblCounts[static_cast<std::size_t>(i - 3)] = value;
        }
    }
    lblTimesCaption = named(new QLabel(tr("Times:")), "lblTimesCaption");
    lblTimeCount = named(new QLabel, "lblTimeCount");
    lblTimeCount->setTextInteractionFlags(Qt::TextSelectableByMouse);
    summary->addWidget(lblTimesCaption, 10, 0);
    summary->addWidget(lblTimeCount, 10, 1);
    summary->setRowStretch(11, 1);

    // Time lists
    lblTimes[0] = named(new QLabel(tr("&Available Times:")), "lblTimes0");
    lblTimes[1] = named(new QLabel(tr("Se&lected Times:")), "lblTimes1");
    lstAvailable = named(new AvailableTimesList, "lstAvailable");
    lstAvailable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lstAvailable->setUniformItemSizes(true);  // thousands of times lay out at once
    lstAvailable->setDragEnabled(true);
    lstAvailable->setDragDropMode(QAbstractItemView::DragOnly);
    lstAvailable->setDefaultDropAction(Qt::CopyAction);
    lstSelected = named(new SelectedTimesList, "lstSelected");
    lstSelected->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lstSelected->setUniformItemSizes(true);
    lstSelected->setAcceptDrops(true);
    lstSelected->setDragDropMode(QAbstractItemView::DropOnly);
    lstHidden = named(new QListWidget(central), "lstHidden");
    lstHidden->setVisible(false);
    lblTimes[0]->setBuddy(lstAvailable);
    lblTimes[1]->setBuddy(lstSelected);
    // A list takes no name from its label: a screen reader would read "list" alone.
    lstAvailable->setAccessibleName(tr("Available Times"));
    lstAvailable->setAccessibleDescription(
        tr("Enter or Insert adds the highlighted times; the Menu key or Shift+F10 opens the "
           "list's menu"));
    lstSelected->setAccessibleName(tr("Selected Times"));
    lstSelected->setAccessibleDescription(
        tr("Delete removes the highlighted times; the Menu key or Shift+F10 opens the list's "
           "menu"));
    for (QListWidget* list :
         {static_cast<QListWidget*>(lstAvailable), static_cast<QListWidget*>(lstSelected)}) {
        list->setMinimumWidth(130);
        list->viewport()->installEventFilter(this);
    }
    cmdDelete = named(new QPushButton(tr("&Delete")), "cmdDelete");
    cmdClear = named(new QPushButton(tr("&Clear")), "cmdClear");
    auto* times = new QGridLayout;
    times->addWidget(lblTimes[0], 0, 0);
    times->addWidget(lblTimes[1], 0, 1);
    times->addWidget(lstAvailable, 1, 0);
    times->addWidget(lstSelected, 1, 1);
    auto* listButtons = new QHBoxLayout;
    listButtons->addStretch(1);
    listButtons->addWidget(cmdDelete);
    listButtons->addWidget(cmdClear);
    times->addLayout(listButtons, 2, 1);

    // Variables, range and layout
    fraVariables = named(new QGroupBox(tr("Available Variables")), "fraVariables");
    lblVariables[0] = named(new QLabel(tr("Select &Variable:")), "lblVariables0");
    lblVariables[1] = named(new QLabel(tr("Select Vecto&r:")), "lblVariables1");
    cboVariables = named(new QComboBox, "cboVariables");
    cboVectors = named(new QComboBox, "cboVectors");
    cboVariables->setMinimumContentsLength(22);
    cboVectors->setMinimumContentsLength(22);
    lblVariables[0]->setBuddy(cboVariables);
    lblVariables[1]->setBuddy(cboVectors);
    // Named as their labels: a combo box is otherwise read by the entry it shows.
    cboVariables->setAccessibleName(tr("Select Variable"));
    cboVectors->setAccessibleName(tr("Select Vector"));
    auto* variables = new QVBoxLayout(fraVariables);
    variables->addWidget(lblVariables[0]);
    variables->addWidget(cboVariables);
    variables->addWidget(lblVariables[1]);
    variables->addWidget(cboVectors);

    fraVectors = named(new QGroupBox(tr("Nodes")), "fraVectors");
    auto* range = new QGridLayout(fraVectors);
    const char* rangeCaptions[] = {"&From:", "&To:", "St&ep:"};
    for (int i = 0; i < 3; ++i) {
        lblVectors[i] = named(new QLabel(tr(rangeCaptions[i])),
                              QStringLiteral("lblVectors%1").arg(i).toLatin1().constData());
        txtVectors[i] = named(new QLineEdit(QStringLiteral("1")),
                              QStringLiteral("txtVectors%1").arg(i).toLatin1().constData());
        lblVectors[i]->setBuddy(txtVectors[i]);
        txtVectors[i]->installEventFilter(this);
        range->addWidget(lblVectors[i], 0, i);
        range->addWidget(txtVectors[i], 1, i);
        connect(txtVectors[i], &QLineEdit::textChanged, this, [this, i](const QString& text) {
            if (!syncing_) {
                session_.SetRangeText(i, Bytes(text));
            }
        });
    }

    fraTime = named(new QGroupBox(tr("Time Written")), "fraTime");
    optTime[0] = named(new QRadioButton(tr("&In Rows")), "optTime0");
    optTime[1] = named(new QRadioButton(tr("In Colu&mns")), "optTime1");
    optTime[0]->setChecked(true);
    auto* layoutChoice = new QHBoxLayout(fraTime);
    layoutChoice->addWidget(optTime[0]);
    layoutChoice->addWidget(optTime[1]);

    cmdSave = named(new QPushButton(tr("&Save")), "cmdSave");
    // W: every letter of "Chart" is another control's key already.
    cmdChart = named(new QPushButton(tr("Dra&w Chart...")), "cmdChart");
    cmdChart->setToolTip(tr("Draw the chosen variable against time for the chosen vectors"));
    cmdHelp = named(new QPushButton(tr("&Help")), "cmdHelp");
    cmdClose = named(new QPushButton(tr("Cl&ose")), "cmdClose");
    auto* right = new QVBoxLayout;
    right->addWidget(fraVariables);
    right->addWidget(fraVectors);
    right->addWidget(fraTime);
    right->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdSave);
    buttons->addWidget(cmdChart);
    buttons->addWidget(cmdHelp);
    buttons->addWidget(cmdClose);
    right->addLayout(buttons);

    auto* body = new QHBoxLayout;
    body->addWidget(fraSummary);
    body->addLayout(times, 1);
    body->addLayout(right);
    auto* all = new QVBoxLayout(central);
    all->addLayout(fileRow);
    all->addLayout(body, 1);

    // Status bar with the progress strip inside it.
    sbMain = named(new QStatusBar, "sbMain");
    sbMain->setAccessibleName(tr("Status"));
    setStatusBar(sbMain);
    sbPanel1 = named(new QLabel, "sbPanel1");
    sbPanel1->setAccessibleName(tr("Status"));
    sbMain->addWidget(sbPanel1, 1);
    picProgress = named(new ProgressStrip, "picProgress");
    picProgress->setFixedWidth(220);
    sbMain->addPermanentWidget(picProgress);

    // Context menu of the two lists.
    mnuList = named(new QMenu(this), "mnuList");
    mnuListClear = mnuList->addAction(tr("&Clear"));
    mnuListClear->setObjectName(QStringLiteral("mnuListClear"));
    mnuList->addSeparator();
    mnuListAdd = mnuList->addAction(tr("&Add"));
    mnuListAdd->setObjectName(QStringLiteral("mnuListAdd"));
    mnuListDelete = mnuList->addAction(tr("&Delete"));
    mnuListDelete->setObjectName(QStringLiteral("mnuListDelete"));
    mnuList->addSeparator();
    mnuListAll = mnuList->addAction(tr("&Select All"));
    mnuListAll->setObjectName(QStringLiteral("mnuListAll"));

    connect(cmdFile, &QPushButton::clicked, this, &FrmExtract::onFileClicked);
    connect(cmdSave, &QPushButton::clicked, this, &FrmExtract::onSaveClicked);
    connect(cmdChart, &QPushButton::clicked, this, &FrmExtract::onChartClicked);
    connect(cmdDelete, &QPushButton::clicked, this, &FrmExtract::onDeleteClicked);
    connect(cmdClear, &QPushButton::clicked, this, &FrmExtract::onClearClicked);
    connect(cmdHelp, &QPushButton::clicked, this, &FrmExtract::onHelpClicked);
    connect(cmdClose, &QPushButton::clicked, this, &QWidget::close);
    connect(cboVariables, &QComboBox::activated, this,
            [this](int index) { session_.ChooseVariable(index); });
    connect(cboVectors, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (!syncing_) {
            session_.ChooseVector(index);
        }
    });
    for (int i = 0; i < 2; ++i) {
        connect(optTime[static_cast<std::size_t>(i)], &QRadioButton::toggled, this,
                [this, i](bool on) {
                    if (on && !syncing_) {
                        session_.SetLayout(i == 0 ? TimeLayout::InRows : TimeLayout::InColumns);
                    }
                });
    }
    connect(lstAvailable, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { session_.AddTime(lstAvailable->row(item)); });
    connect(lstAvailable, &QListWidget::itemPressed, this, [this] { session_.EndSelectAllMode(); });
    connect(lstAvailable, &QListWidget::itemSelectionChanged, this, [this] {
        if (!syncing_) {
            session_.Highlight(TimeList::Available, HighlightedRows(lstAvailable));
        }
    });
    connect(lstSelected, &QListWidget::itemSelectionChanged, this, [this] {
        if (!syncing_) {
            session_.Highlight(TimeList::Selected, HighlightedRows(lstSelected));
        }
    });
    lstSelected->onDropText = [this](const QString& text) { session_.AddDropped(Bytes(text)); };
    connect(mnuListAdd, &QAction::triggered, this, [this] {
        if (menuSource_ == TimeList::Available) {
            session_.AddHighlighted();
        }
    });
    connect(mnuListDelete, &QAction::triggered, this, [this] {
        if (menuSource_ == TimeList::Selected) {
            onDeleteClicked();
        }
    });
    connect(mnuListClear, &QAction::triggered, this, [this] {
        if (menuSource_ == TimeList::Selected) {
            onClearClicked();
        }
    });
    connect(mnuListAll, &QAction::triggered, this, [this] {
        if (menuSource_ == TimeList::Available) {
            session_.SelectAllAvailable();
        }
    });
    watcher_ = new QFileSystemWatcher(this);
    followTimer_ = new QTimer(this);
    followTimer_->setSingleShot(true);
    followTimer_->setInterval(kSettleMs);
    // The first event of a burst sets the timer going; the rest come while it runs.
    auto settle = [this] {
        if (!followTimer_->isActive()) {
            followTimer_->start();
        }
    };
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, settle);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, settle);
    connect(followTimer_, &QTimer::timeout, this, &FrmExtract::onListingChanged);
    connect(chkFollow, &QCheckBox::toggled, this, &FrmExtract::onFollowToggled);
    auto* followKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_F), this);
    connect(followKey, &QShortcut::activated, this, [this] {
        chkFollow->setFocus(Qt::ShortcutFocusReason);
        chkFollow->toggle();
    });
    session_.onChanged = [this] { Sync(); };
    qApp->installEventFilter(this);
    // The whole of the controls where the screen has room for them, else the screen's room.
    FitToScreen(this, central->sizeHint().expandedTo(QSize(860, 460)) +
                          QSize(0, sbMain->sizeHint().height()));
}

void FrmExtract::SetStatus(const QString& text) {
    SetStatusText(sbPanel1, tr("Status"), text);
}

QString FrmExtract::StatusWithReason(const QString& why) const {
    // The listing's name stays in view, as it did before anything was greyed.
    if (why.isEmpty() || openedName_.isEmpty()) {
        return why.isEmpty() ? openedName_ : why;
    }
    return openedName_ + QStringLiteral(" - ") + why;
}

void FrmExtract::FormLoad() {
    setWindowTitle(kTitle);
    VELTO_EXTRACT_SETTINGS(settings);
    // Folders are file names: the system's bytes, not the listing's single-byte text.
    session_.openFolder =
        settings.value(QStringLiteral("Files/InitOpenDir")).toString().toLocal8Bit().toStdString();
    session_.saveFolder =
        settings.value(QStringLiteral("Files/InitSaveDir")).toString().toLocal8Bit().toStdString();
    {
        const QSignalBlocker quiet(chkFollow);
        chkFollow->setChecked(settings.value(QStringLiteral("Options/Follow"), true).toBool());
    }
    session_.SetFollow(chkFollow->isChecked());
    picProgress->setVisible(false);
    Sync();
    cmdFile->setFocus();  // the first thing to do: open a listing
}

void FrmExtract::FormUnload() {
    VELTO_EXTRACT_SETTINGS(settings);
    settings.setValue(QStringLiteral("Files/InitOpenDir"),
                      QString::fromLocal8Bit(session_.openFolder.c_str()));
    settings.setValue(QStringLiteral("Files/InitSaveDir"),
                      QString::fromLocal8Bit(session_.saveFolder.c_str()));
    settings.setValue(QStringLiteral("Options/Follow"), chkFollow->isChecked());
    settings.sync();
}

void FrmExtract::closeEvent(QCloseEvent* event) {
    const SessionCommand running = session_.Running();
    if (running == SessionCommand::Save || running == SessionCommand::Chart) {
        // The command itself closes the window once it has stopped.
        event->ignore();
        const QString question =
            running == SessionCommand::Save
                ? QStringLiteral(
                      "Save is in progress. Do you want to exit and abbort current "
                      "process?")
                : QStringLiteral("A chart is being drawn. Do you want to exit and stop it?");
        if (MsgBoxCentered(this, question, kStyleYesNo | kStyleQuestion, kTitle) == kAnswerYes) {
            CloseAllHelp();
            session_.RequestQuit();
        }
        return;
    }
    if (running == SessionCommand::Open) {
        // A scan cannot be stopped halfway; the window closes as soon as it ends.
        event->ignore();
        session_.RequestQuit();
        return;
    }
    CloseAllHelp();
    FormUnload();
    closing_ = true;
    followTimer_->stop();
    qApp->removeEventFilter(this);
    event->accept();
}

bool FrmExtract::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && !closing_) {
        auto* key = static_cast<QKeyEvent*>(event);
        QWidget* target = qobject_cast<QWidget*>(watched);
        // The window sees keys before its controls, and only its own.
        if (target && target->window() == this && key->spontaneous()) {
            const bool modifierOnly = key->key() == Qt::Key_Control ||
                                      key->key() == Qt::Key_Shift || key->key() == Qt::Key_Alt ||
                                      key->key() == Qt::Key_Meta;
            if (key->modifiers() == Qt::AltModifier && qobject_cast<QLineEdit*>(target)) {
                // Alt and a letter whose button is greyed reaches the box with the focus: it
                // is no text to type into a range.
                return true;
            }
            if (key->key() == Qt::Key_A && key->modifiers() == Qt::ControlModifier) {
                // In a text box Ctrl+A selects the box's text, and nothing else.
                if (!qobject_cast<QLineEdit*>(target)) {
                    session_.SelectAllAvailable();
                    return true;
                }
            } else if (!modifierOnly) {
                session_.EndSelectAllMode();
                if (key->key() == Qt::Key_F1) {
                    onHelpClicked();
                    return true;
                }
                const bool plain =
                    key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier;
                if ((key->key() == Qt::Key_Delete || key->key() == Qt::Key_Backspace) &&
                    target == lstSelected && plain) {
                    HighlightCurrentIfNone(lstSelected);
                    onDeleteClicked();
                    return true;
                }
                // What a double-click or a drag does, from the keyboard.
                if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter ||
                     key->key() == Qt::Key_Insert) &&
                    target == lstAvailable && plain) {
                    HighlightCurrentIfNone(lstAvailable);
                    session_.AddHighlighted();  // the session refuses it while a command runs
                    return true;
                }
                // The list's menu, as a right-click opens it, below the current time.
                if ((key->key() == Qt::Key_Menu && plain) ||
                    (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
                    if (target == lstAvailable || target == lstSelected) {
                        QListWidget* list = static_cast<QListWidget*>(target);
                        const QRect current = list->currentItem()
                                                  ? list->visualItemRect(list->currentItem())
                                                  : QRect();
                        showListMenu(
                            target == lstAvailable ? TimeList::Available : TimeList::Selected, true,
                            list->viewport()->mapToGlobal(current.bottomLeft()));
                        return true;
                    }
                }
            }
        }
    }
    if (event->type() == QEvent::FocusIn) {
        // Tabbing into a range box selects its text; a click keeps the caret where it lands.
        for (QLineEdit* box : txtVectors) {
            if (watched == box) {
                auto reason = static_cast<QFocusEvent*>(event)->reason();
                if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason) {
                    QMetaObject::invokeMethod(
                        box, [box] { box->selectAll(); }, Qt::QueuedConnection);
                }
            }
        }
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::RightButton) {
            if (watched == lstAvailable->viewport()) {
                showListMenu(TimeList::Available);
            } else if (watched == lstSelected->viewport()) {
                showListMenu(TimeList::Selected);
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void FrmExtract::UpdateProgress(Single fraction, std::string_view caption) {
    // Called once per line of a scan: decide cheaply whether anything shown changes. A new
    // caption shows at once, a new percentage at the next screen frame (no one sees faster),
    // and every 50 ms the user gets a chance to act even when nothing changed.
    const int percent = static_cast<int>(std::floor(static_cast<double>(fraction) * 100 + 0.5));
    if (lastPaint_.isValid() && caption == lastCaption_) {
        const qint64 since = lastPaint_.elapsed();
        if (since < (percent == lastPercent_ ? 50 : 16)) {
            return;
        }
    }
    const QString text = Latin1(caption);
    lastPercent_ = percent;
    lastCaption_ = std::string(caption);
    lastPaint_.restart();
    SetStatus(text);
    picProgress->setFraction(fraction);
    picProgress->repaint();
    emit progressShown(fraction);
    QCoreApplication::processEvents();
}

void FrmExtract::ShowMessage(std::string_view text, MessageIcon icon, std::string_view caption) {
    MsgBoxCentered(this, Latin1(text), static_cast<int>(icon), Latin1(caption));
}

QString FrmExtract::HelpFile() const {
    return HelpFilePath(QStringLiteral("VeltoExtract"), QStringLiteral(VELTO_EXTRACT_HELP_DIR));
}

void FrmExtract::onHelpClicked() {
    ShowHelpContents(this, HelpFile());
}

std::vector<int> FrmExtract::HighlightedRows(const QListWidget* list) const {
    std::vector<int> rows;
    for (const QModelIndex& index : list->selectionModel()->selectedIndexes()) {
        rows.push_back(index.row());
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

void FrmExtract::Sync() {
    if (closing_) {
        return;
    }
    syncing_ = true;
    if (shownListing_ != session_.listingGeneration()) {
        SyncListing();
    }
    if (shownAvailable_ != session_.availableGeneration()) {
        SyncAvailable();
    }
    if (shownTimes_ != session_.timesGeneration()) {
        SyncSelected();
    }
    const OfferedVariable* v = session_.variable();
    if (shownVariable_ != session_.variableIndex()) {
        shownVariable_ = session_.variableIndex();
        cboVariables->setCurrentIndex(session_.variableIndex());
        cboVectors->clear();
        if (v) {
            for (const std::string& vector : v->Vectors) {
                cboVectors->addItem(Latin1(vector));
            }
        }
    }
    if (cboVectors->currentIndex() != session_.vectorIndex()) {
        cboVectors->setCurrentIndex(session_.vectorIndex());
    }
    fraVectors->setTitle(Latin1(session_.rangeCaption()));
    for (std::size_t i = 0; i < txtVectors.size(); ++i) {
        const QString text = Latin1(session_.range()[i]);
        if (txtVectors[i]->text() != text) {
            txtVectors[i]->setText(text);
        }
    }
    optTime[session_.layout() == TimeLayout::InColumns ? 1 : 0]->setChecked(true);
    SyncHighlight(lstAvailable, TimeList::Available);
    SyncHighlight(lstSelected, TimeList::Selected);
    ApplyEnabling();
    picProgress->setVisible(session_.Running() != SessionCommand::None);
    syncing_ = false;
}

void FrmExtract::SyncListing() {
    shownListing_ = session_.listingGeneration();
    const Catalogue& c = session_.catalogue();
    txtFileName->setText(session_.HasListing() ? QString::fromLocal8Bit(c.ListingFile.c_str())
                                               : QString());
    cboVariables->clear();
    for (const OfferedVariable& variable : session_.variables()) {
        cboVariables->addItem(Latin1(variable.Name));
    }
    shownVariable_ = -2;
    const std::vector<SummaryLine> lines = session_.Summary();
    for (std::size_t i = 0; i < lines.size() && i < lblSummary.size(); ++i) {
        QLabel* value = i == 0   ? lblVersion
                        : i == 1 ? lblAnalysis
                        : i == 2 ? lblProblem
                                 : lblCounts[i - 3];
        value->setText(Latin1(lines[i].Value));
        // Read with its caption ("Nodes: 120"), and an empty one as such, not as "Summary".
        QString caption = lblSummary[i]->text();
        caption.chop(caption.endsWith(QLatin1Char(':')) ? 1 : 0);
        value->setAccessibleName(caption + QStringLiteral(": ") +
                                 (value->text().isEmpty() ? tr("none") : value->text()));
    }
}

void FrmExtract::SyncAvailable() {
    shownAvailable_ = session_.availableGeneration();
    const std::vector<std::string>& times = session_.times().available();
    // The rows shown stay when the session's list begins with them: a follow adds times below.
    int kept = std::min(lstAvailable->count(), static_cast<int>(times.size()));
    for (int row = 0; row < kept; ++row) {
        if (lstAvailable->item(row)->text() != Latin1(times[static_cast<std::size_t>(row)])) {
            kept = row;
        }
    }
    lstAvailable->setUpdatesEnabled(false);
    const int scrolled = lstAvailable->verticalScrollBar()->value();
    const bool same = kept == lstAvailable->count();
    while (lstAvailable->count() > kept) {
        delete lstAvailable->takeItem(lstAvailable->count() - 1);
    }
    QStringList items;
    for (std::size_t row = static_cast<std::size_t>(kept); row < times.size(); ++row) {
        items.append(Latin1(times[row]));
    }
    lstAvailable->addItems(items);
    if (!same && kept > 0) {
        lstAvailable->verticalScrollBar()->setValue(scrolled);
    }
    lstAvailable->setUpdatesEnabled(true);
    const std::size_t count = times.size();
    lblTimeCount->setText(count > 0 ? QString::number(count) : QString());
    lblTimeCount->setAccessibleName(tr("Times: ") +
                                    (count > 0 ? lblTimeCount->text() : tr("none")));
}

void FrmExtract::SyncSelected() {
    shownTimes_ = session_.timesGeneration();
    // Refilled as the session holds it, scrolled where the user left it.
    const int scrolled = lstSelected->verticalScrollBar()->value();
    const int current = lstSelected->currentRow();
    lstSelected->setUpdatesEnabled(false);
    lstSelected->clear();
    lstHidden->clear();
    for (const std::string& text : session_.times().selected()) {
        lstSelected->addItem(Latin1(text));
    }
    for (const std::string& text : session_.times().hidden()) {
        lstHidden->addItem(Latin1(text));
    }
    if (current >= 0 && current < lstSelected->count()) {
        lstSelected->setCurrentRow(current, QItemSelectionModel::NoUpdate);
    }
    lstSelected->verticalScrollBar()->setValue(scrolled);
    lstSelected->setUpdatesEnabled(true);
}

void FrmExtract::SyncHighlight(QListWidget* list, TimeList which) {
    const std::vector<int>& rows = session_.highlighted(which);
    if (HighlightedRows(list) == rows) {
        return;
    }
    if (rows.size() == static_cast<std::size_t>(list->count())) {
        list->selectAll();
        return;
    }
    QItemSelection selection;
    for (int row : rows) {
        const QModelIndex index = list->model()->index(row, 0);
        selection.select(index, index);
    }
    list->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void FrmExtract::ApplyEnabling() {
    const SessionEnabling e = session_.Enabling();
    cmdFile->setEnabled(e.open);
    fraSummary->setEnabled(e.summary);
    const std::vector<SummaryLine> lines = session_.Summary();
    for (std::size_t i = 0; i < lblSummary.size(); ++i) {
        lblSummary[i]->setEnabled(e.summary && lines[i].Enabled);
    }
    lblTimesCaption->setEnabled(e.summary && !session_.times().available().empty());
    for (QWidget* w :
         std::initializer_list<QWidget*>{lblTimes[0], lblTimes[1], lstAvailable, lstSelected}) {
        w->setEnabled(e.timeLists);
    }
    for (QWidget* w :
         std::initializer_list<QWidget*>{fraVariables, lblVariables[0], cboVariables}) {
        w->setEnabled(e.variables);
    }
    lblVariables[1]->setEnabled(e.vectors);
    cboVectors->setEnabled(e.vectors);
    fraVectors->setEnabled(e.range);
    for (std::size_t i = 0; i < 3; ++i) {
        lblVectors[i]->setEnabled(e.range);
        txtVectors[i]->setEnabled(e.range);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{fraTime, optTime[0], optTime[1]}) {
        w->setEnabled(e.layout);
    }
    cmdSave->setEnabled(e.save);
    cmdChart->setEnabled(e.save);
    // A greyed Save says why when the mouse rests on it: a range the listing does not hold (To
    // kept from a larger listing) is easy to miss.
    const std::string problem = session_.HasListing() && session_.Running() == SessionCommand::None
                                    ? session_.RequestProblem()
                                    : std::string();
    const QString why =
        problem.empty() ? QString()
                        : QStringLiteral("Nothing to save: ") + Latin1(problem) + QLatin1Char('.');
    cmdSave->setToolTip(e.save || why.isEmpty() ? QString() : why);
    // A screen reader reads a greyed button's description where its tooltip cannot be reached.
    cmdSave->setAccessibleDescription(cmdSave->toolTip());
    // Said in the status bar too, where keyboard and screen-reader users find it, once each time
    // the reason changes; a save's own status is not written over.
    const QString said = e.save ? QString() : why;
    if (said != saidWhy_) {
        if (!said.isEmpty() || sbPanel1->text() == StatusWithReason(saidWhy_)) {
            SetStatus(StatusWithReason(said));
        }
        saidWhy_ = said;
    }
    cmdChart->setToolTip(e.save || why.isEmpty()
                             ? tr("Draw the chosen variable against time for the chosen vectors")
                             : QStringLiteral("Nothing to draw: ") + Latin1(problem) +
                                   QLatin1Char('.'));
    cmdChart->setAccessibleDescription(cmdChart->toolTip());
    cmdDelete->setEnabled(e.deleteTimes);
    cmdClear->setEnabled(e.clearTimes);
}

template <typename Command>
auto FrmExtract::RunLong(Command&& command) {
    // Everything but Close is disabled while the command runs; the focus returns afterwards.
    QPointer<QWidget> focus = QApplication::focusWidget();
    Mouse mouse;
    mouse.SetCursor(kHourglassCursor);
    lastPercent_ = -1;
    lastPaint_.invalidate();
    auto result = command();
    mouse.SetCursor(kDefaultCursor);
    if (followPending_) {
        // The listing changed while the command read it: looked at now that it has ended.
        followPending_ = false;
        followTimer_->start();
    }
    if (focus && focus->isEnabled()) {
        focus->setFocus();
    }
    if (session_.QuitRequested()) {
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
    return result;
}

QString FrmExtract::SaveFolderOffered() const {
    // The last save's folder while it is there, else the listing's own.
    const QString saved = QString::fromLocal8Bit(session_.saveFolder.c_str());
    if (!saved.isEmpty() && QFileInfo(saved).isDir()) {
        return saved;
    }
    return QString::fromLocal8Bit(session_.openFolder.c_str());
}

bool FrmExtract::RefusedWithReason(const QString& what) {
    const std::string problem = session_.RequestProblem();
    if (problem.empty()) {
        return false;
    }
    // The reason in the command line's words, as a sentence.
    QString reason = Latin1(problem);
    reason[0] = reason[0].toUpper();
    MsgBoxCentered(this, what + QStringLiteral(": ") + reason + QLatin1Char('.'), kStyleInformation,
                   kTitle);
    return true;
}

void FrmExtract::TellOfMissingValues(const SaveResult& result) {
    if (result.outcome != SaveOutcome::Written && result.outcome != SaveOutcome::Extracted) {
        return;
    }
    const std::string note =
        MissingValuesNote(session_.catalogue(), session_.extractedRequest(), session_.extraction());
    if (!note.empty() && !session_.QuitRequested()) {
        MsgBoxCentered(this, Latin1(note), kStyleInformation, kTitle);
    }
}

void FrmExtract::onFileClicked() {
    if (session_.Running() != SessionCommand::None) {
        return;
    }
    const QString file = dialogs_.open(this, QString::fromLocal8Bit(session_.openFolder.c_str()),
                                       QStringLiteral("Velto Output Files (*.out);;All Files (*)"));
    if (file.isEmpty()) {
        return;
    }
    OpenListing(file);
}

void FrmExtract::OpenListing(const QString& file) {
    if (session_.Running() != SessionCommand::None) {
        return;
    }
    QCoreApplication::processEvents();
    charts_.clear();  // the charts drawn stay, of the listing they were drawn from
    RunLong([&] {
        UpdateProgress(0, "");
        return session_.Open(file.toLocal8Bit().toStdString());
    });
    openedName_ = QFileInfo(file).fileName();
    SetStatus(StatusWithReason(saidWhy_));
    WatchListing();
    // Which result of a repeated time is used is said once, where the listing is opened.
    if (const std::string note = session_.RepeatedTimesNote();
        !note.empty() && !session_.QuitRequested()) {
        MsgBoxCentered(this, Latin1(note), kStyleInformation, kTitle);
    }
}

void FrmExtract::onSaveClicked() {
    if (session_.Running() != SessionCommand::None ||
        RefusedWithReason(QStringLiteral("Nothing was saved"))) {
        return;
    }
    const SaveChoice choice = dialogs_.save(this, SaveFolderOffered(), kSaveFilters);
    if (choice.path.isEmpty()) {
        return;
    }
    QCoreApplication::processEvents();
    const std::string file = choice.path.toLocal8Bit().toStdString();
    const SaveResult result =
        RunLong([&] { return session_.Save(file, ChooseSheetFormat(Bytes(choice.filter), file)); });
    // Said where a keyboard or screen-reader user finds it: the save is otherwise silent.
    SetStatus(result.outcome == SaveOutcome::Written
                  ? QStringLiteral("Saved ") + QFileInfo(choice.path).fileName()
                  : QString());
    TellOfMissingValues(result);
}

void FrmExtract::onChartClicked() {
    if (session_.Running() != SessionCommand::None ||
        RefusedWithReason(QStringLiteral("Nothing was drawn"))) {
        return;
    }
    // The same request and extraction as a save, drawn instead of written.
    const SaveRequest request = session_.CurrentRequest();
    const SaveResult result = RunLong([&] { return session_.Chart(); });
    SetStatus(QString());
    if (result.outcome != SaveOutcome::Extracted || session_.QuitRequested()) {
        return;
    }
    TellOfMissingValues(result);
    const Catalogue& c = session_.catalogue();
    const ExportRequest& read = session_.extractedRequest();
    const CurveSet curves = CurvesOfExtraction(c, read, session_.extraction(), request.vectorName);
    // A chart of one item can be compared with other runs: the same choice read from each.
    std::optional<ChartComparison> comparison;
    if (read.Items.size() == 1 && curves.curves.size() == 1) {
        comparison.emplace();
        comparison->variable = request.variable;
        comparison->vector = request.vectorName;
        comparison->item = std::to_string(read.Items.front());
        // The chosen times by value: another run holds them at its own records, or not at all.
        // Every time chosen is every time of each run.
        if (session_.times().selected().size() != session_.times().available().size()) {
            comparison->times.emplace();
            for (const Integer record : read.Times) {
                comparison->times->push_back(c.Times[static_cast<std::size_t>(record - 1)].Time);
            }
        }
        comparison->title = curves.title + " " + curves.curves.front().name;
        comparison->unit = curves.unit;
        comparison->first.path = c.ListingFile;
        for (const CurvePoint& point : curves.curves.front().points) {
            comparison->first.times.push_back(static_cast<float>(point.time));
            comparison->first.values.push_back(static_cast<float>(point.value));
        }
    }
    auto* dialog = new ChartDialog(
        curves, std::move(comparison), dialogs_.chart, SaveFolderOffered(), this,
        QFileInfo(QString::fromLocal8Bit(session_.catalogue().ListingFile.c_str())).absolutePath());
    // A chart outlives the next open: it names the listing it was drawn from.
    dialog->setWindowTitle(
        dialog->windowTitle() + QStringLiteral(" - ") +
        QFileInfo(QString::fromLocal8Bit(session_.catalogue().ListingFile.c_str())).fileName());
    if (session_.Following()) {
        // A chart of every time goes on with the times that come; one of chosen times keeps
        // them, unless the user asks for the new ones too.
        FollowedChart followed{dialog, request, {}};
        for (const ResultTime& time : session_.times().availableTimes()) {
            followed.known.push_back(time.time);
        }
        dialog->FollowListing(session_.times().selected().size() == followed.known.size());
        charts_.push_back(std::move(followed));
    }
    dialog->show();
}

void FrmExtract::SetFollow(bool on) {
    chkFollow->setChecked(on);
}

void FrmExtract::onFollowToggled(bool on) {
    session_.SetFollow(on);
    if (on) {
        onListingChanged();  // catches up with what came meanwhile
    } else {
        WatchListing();
    }
}

void FrmExtract::onListingChanged() {
    if (closing_) {
        return;
    }
    const FollowNews news = session_.Refresh();
    if (news.deferred) {
        followPending_ = true;
        return;
    }
    if (news.restart != FollowRestart::None) {
        SetStatus(openedName_ + QLatin1Char(' ') + Latin1(RestartText(news.restart)) +
                  QStringLiteral(": read again from its start"));
    }
    if (news.ended) {
        // Follow stays ticked for the next listing: say why this one is no longer looked at.
        SetStatus(openedName_ + QStringLiteral(": the analysis has reached its end time"));
    }
    if (news.added > 0 || news.restart != FollowRestart::None) {
        ExtendCharts(news.restart != FollowRestart::None);
    }
    WatchListing();
    emit listingLookedAt();
}

void FrmExtract::WatchListing() {
    QStringList wanted;
    if (session_.Following()) {
        const QFileInfo file(QString::fromLocal8Bit(session_.catalogue().ListingFile.c_str()));
        wanted << file.absolutePath();
        if (file.exists()) {
            wanted << file.absoluteFilePath();
        }
    }
    const QStringList watched = watcher_->files() + watcher_->directories();
    for (const QString& path : watched) {
        if (!wanted.contains(path)) {
            watcher_->removePath(path);
        }
    }
    for (const QString& path : wanted) {
        if (!watched.contains(path)) {
            watcher_->addPath(path);
        }
    }
}

void FrmExtract::ExtendCharts(bool restarted) {
    if (restarted) {
        charts_.clear();  // each chart stays with the run it was drawn from
        return;
    }
    std::erase_if(charts_, [](const FollowedChart& chart) { return chart.dialog.isNull(); });
    std::vector<Single> now;
    for (const ResultTime& time : session_.times().availableTimes()) {
        now.push_back(time.time);
    }
    for (FollowedChart& chart : charts_) {
        std::vector<Single> added;
        std::set_difference(now.begin(), now.end(), chart.known.begin(), chart.known.end(),
                            std::back_inserter(added));
        chart.known = now;
        if (!added.empty() && chart.dialog->TakesNewTimes()) {
            chart.dialog->AddPoints(session_.CurvesAt(chart.request, added));
        }
    }
}

void FrmExtract::onDeleteClicked() {
    const std::vector<int>& rows = session_.highlighted(TimeList::Selected);
    const int first = rows.empty() ? 0 : rows.front();
    if (session_.DeleteHighlighted() && lstSelected->count() > 0) {
        // The keyboard goes on from where the removed times stood, not from the top.
        const QModelIndex next =
            lstSelected->model()->index(std::min(first, lstSelected->count() - 1), 0);
        lstSelected->selectionModel()->setCurrentIndex(next, QItemSelectionModel::ClearAndSelect);
    }
}

void FrmExtract::HighlightCurrentIfNone(QListWidget* list) {
    // A key acts on the time the focus is on when none is highlighted: the focus alone moves
    // without highlighting when Ctrl is held, or after the times it stood on went.
    if (list->selectedItems().isEmpty() && list->currentItem() != nullptr) {
        list->currentItem()->setSelected(true);
    }
}

void FrmExtract::onClearClicked() {
    session_.ClearTimes();
}

void FrmExtract::showListMenu(TimeList list, bool popup, std::optional<QPoint> at) {
    menuSource_ = list;
    const ListMenuEnabling m = session_.MenuEnabling(list);
    mnuListClear->setEnabled(m.clear);
    mnuListAdd->setEnabled(m.add);
    mnuListDelete->setEnabled(m.remove);
    mnuListAll->setEnabled(m.selectAll);
    if (popup) {
        mnuList->popup(at.value_or(QCursor::pos()));
    }
}

}  // namespace velto
