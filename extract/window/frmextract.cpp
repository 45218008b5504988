#include "extract/window/frmextract.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStatusBar>
#include <QVBoxLayout>
#include <optional>

#include "common/text.h"
#include "common/window/helpwindow.h"
#include "common/window/messagebox.h"
#include "common/window/mouse.h"
#include "common/window/progressstrip.h"
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

QString FolderWithSlash(const QString& file) {
    QString folder = QFileInfo(file).absolutePath();
    return folder.endsWith('/') ? folder : folder + '/';
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
    : QMainWindow(parent), dialogs_(std::move(dialogs)) {
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
    auto* central = new QWidget(this);
    setCentralWidget(central);
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
    cmdFile->setFixedWidth(cmdFile->fontMetrics().horizontalAdvance(QStringLiteral("....")) + 24);
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(lblFileName);
    fileRow->addWidget(txtFileName, 1);
    fileRow->addWidget(cmdFile);

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
    summary->setRowStretch(10, 1);

    // Time lists
    lblTimes[0] = named(new QLabel(tr("&Available Times:")), "lblTimes0");
    lblTimes[1] = named(new QLabel(tr("Selected &Times:")), "lblTimes1");
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
    lstSelected->onDropText = [this](const QString& text) { lstSelected_DropText(text); };
    lstHidden = named(new QListWidget(central), "lstHidden");
    lstHidden->setVisible(false);
    lblTimes[0]->setBuddy(lstAvailable);
    lblTimes[1]->setBuddy(lstSelected);
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
        connect(txtVectors[i], &QLineEdit::textChanged, this,
                [this] { cmdSave->setEnabled(ValidateSelection()); });
    }

    fraTime = named(new QGroupBox(tr("Time Written")), "fraTime");
    optTime[0] = named(new QRadioButton(tr("&In Rows")), "optTime0");
    optTime[1] = named(new QRadioButton(tr("In Colu&mns")), "optTime1");
    optTime[0]->setChecked(true);
    auto* layoutChoice = new QHBoxLayout(fraTime);
    layoutChoice->addWidget(optTime[0]);
    layoutChoice->addWidget(optTime[1]);

    cmdSave = named(new QPushButton(tr("&Save")), "cmdSave");
    cmdChart = named(new QPushButton(tr("Ch&art...")), "cmdChart");
    cmdChart->setToolTip(tr("Draw the chosen variable against time for the chosen vectors"));
    cmdChart->setEnabled(false);
    // The chart needs what a save needs: it follows the Save button's enabling.
    cmdSave->installEventFilter(this);
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
    setStatusBar(sbMain);
    sbPanel1 = named(new QLabel, "sbPanel1");
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
    mnuListAll = mnuList->addAction(tr("Select &All"));
    mnuListAll->setObjectName(QStringLiteral("mnuListAll"));

    connect(cmdFile, &QPushButton::clicked, this, &FrmExtract::cmdFile_Click);
    connect(cmdSave, &QPushButton::clicked, this, &FrmExtract::cmdSave_Click);
    connect(cmdChart, &QPushButton::clicked, this, &FrmExtract::cmdChart_Click);
    connect(cmdDelete, &QPushButton::clicked, this, &FrmExtract::cmdDelete_Click);
    connect(cmdClear, &QPushButton::clicked, this, &FrmExtract::cmdClear_Click);
    connect(cmdHelp, &QPushButton::clicked, this, &FrmExtract::cmdHelp_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QWidget::close);
    connect(cboVariables, &QComboBox::activated, this, [this] { cboVariables_Click(); });
    connect(cboVectors, &QComboBox::currentIndexChanged, this,
            [this] { cmdSave->setEnabled(ValidateSelection()); });
    connect(lstAvailable, &QListWidget::itemDoubleClicked, this,
            [this] { lstAvailable_DblClick(); });
    connect(lstAvailable, &QListWidget::itemPressed, this, [this] { selectAllRequested_ = false; });
    connect(lstSelected, &QListWidget::itemPressed, this, [this] { cmdDelete->setEnabled(true); });
    connect(mnuListAdd, &QAction::triggered, this, [this] {
        if (menuSource_ == 1) {
            if (selectAllRequested_) {
                times_.AddAll();
            } else {
                std::vector<int> rows;
                for (int row = 0; row < lstAvailable->count(); ++row) {
                    if (lstAvailable->item(row)->isSelected()) {
                        rows.push_back(row);
                    }
                }
                times_.AddIndices(rows);
            }
            RefreshSelected();
            AfterAdd();
        }
    });
    connect(mnuListDelete, &QAction::triggered, this, [this] {
        if (menuSource_ == 2) {
            cmdDelete_Click();
        }
    });
    connect(mnuListClear, &QAction::triggered, this, [this] {
        if (menuSource_ == 2) {
            cmdClear_Click();
        }
    });
    connect(mnuListAll, &QAction::triggered, this, [this] {
        if (menuSource_ == 1) {
            SelectAllAvailable();
        }
    });
    qApp->installEventFilter(this);
    resize(sizeHint().expandedTo(QSize(860, 460)));
}

void FrmExtract::FormLoad() {
    setWindowTitle(kTitle);
    for (QWidget* w : std::initializer_list<QWidget*>{
             cmdDelete,     cmdClear,      cmdSave,       lblTimes[0],     lblTimes[1],
             lstAvailable,  lstSelected,   fraVariables,  lblVariables[0], lblVariables[1],
             cboVariables,  cboVectors,    fraVectors,    lblVectors[0],   lblVectors[1],
             lblVectors[2], txtVectors[0], txtVectors[1], txtVectors[2],   fraSummary,
             fraTime,       optTime[0],    optTime[1]}) {
        w->setEnabled(false);
    }
    for (QLabel* label : lblSummary) {
        label->setEnabled(false);
    }
    VELTO_EXTRACT_SETTINGS(settings);
    InitOpenDir = settings.value(QStringLiteral("Files/InitOpenDir")).toString();
    InitSaveDir = settings.value(QStringLiteral("Files/InitSaveDir")).toString();
    picProgress->setVisible(false);
}

void FrmExtract::FormUnload() {
    VELTO_EXTRACT_SETTINGS(settings);
    settings.setValue(QStringLiteral("Files/InitOpenDir"), InitOpenDir);
    settings.setValue(QStringLiteral("Files/InitSaveDir"), InitSaveDir);
    settings.sync();
}

void FrmExtract::closeEvent(QCloseEvent* event) {
    if (saveInProgress_) {
        // The save itself closes the window once it has stopped.
        event->ignore();
        if (MsgBoxCentered(this,
                           QStringLiteral("Save is in progress. Do you want to exit and abbort "
                                          "current process?"),
                           kStyleYesNo | kStyleQuestion, kTitle) == kAnswerYes) {
            CloseAllHelp();
            catalogue_.AbortSave = true;
        }
        return;
    }
    CloseAllHelp();
    FormUnload();
    closing_ = true;
    qApp->removeEventFilter(this);
    event->accept();
}

bool FrmExtract::eventFilter(QObject* watched, QEvent* event) {
    if (watched == cmdSave && event->type() == QEvent::EnabledChange && cmdChart) {
        cmdChart->setEnabled(cmdSave->isEnabled());
    }
    if (event->type() == QEvent::KeyPress && !closing_) {
        auto* key = static_cast<QKeyEvent*>(event);
        QWidget* target = qobject_cast<QWidget*>(watched);
        // The window sees keys before its controls, and only its own.
        if (target && target->window() == this && key->spontaneous()) {
            if (key->key() == Qt::Key_A && key->modifiers() == Qt::ControlModifier) {
                SelectAllAvailable();
            } else {
                selectAllRequested_ = false;
                if (key->key() == Qt::Key_F1) {
                    cmdHelp_Click();
                    return true;
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
                ShowListMenu(1);
            } else if (watched == lstSelected->viewport()) {
                ShowListMenu(2);
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
    sbPanel1->setText(text);
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

void FrmExtract::cmdHelp_Click() {
    ShowHelpContents(this, HelpFile());
}

void FrmExtract::cmdFile_Click() {
    const QString file = dialogs_.open(this, InitOpenDir,
                                       QStringLiteral("Velto Output Files (*.out);;All Files (*)"));
    if (file.isEmpty()) {
        return;
    }
    catalogue_.ListingFile = file.toLocal8Bit().toStdString();
    InitOpenDir = FolderWithSlash(file);
    QCoreApplication::processEvents();
    Mouse mouse;
    mouse.SetCursor(11);
    lastPercent_ = -1;
    UpdateProgress(0, "");
    picProgress->setVisible(true);
    ClearCatalogue(catalogue_);
    txtFileName->setText(file);
    ReadListingHeader(catalogue_, *this, *this);
    picProgress->setVisible(false);
    sbPanel1->setText(QFileInfo(file).fileName());
    FillAvailable();
    FillVariables();
    ShowSummary();
    times_.Clear();
    RefreshSelected();
    for (QWidget* w :
         std::initializer_list<QWidget*>{lblTimes[0], lblTimes[1], lstAvailable, lstSelected}) {
        w->setEnabled(true);
    }
    cmdSave->setEnabled(false);
}

void FrmExtract::FillAvailable() {
    lstAvailable->setUpdatesEnabled(false);
    lstAvailable->clear();
    std::vector<std::string> texts;
    QStringList items;
    for (int i = 0; i < catalogue_.TimeCount; ++i) {
        texts.push_back(TimeText(catalogue_.Times[static_cast<std::size_t>(i)].Time));
        items.append(QString::fromStdString(texts.back()));
    }
    lstAvailable->addItems(items);
    lstAvailable->setUpdatesEnabled(true);
    times_.SetAvailable(std::move(texts));
}

void FrmExtract::ShowSummary() {
    fraSummary->setEnabled(true);
    const std::vector<SummaryLine> lines = SummaryLines(catalogue_);
    lblVersion->setText(Latin1(lines[0].Value));
    lblAnalysis->setText(Latin1(lines[1].Value));
    lblProblem->setText(Latin1(lines[2].Value));
    for (int i = 0; i < 3; ++i) {
        lblSummary[static_cast<std::size_t>(i)]->setEnabled(true);
    }
    for (std::size_t i = 3; i < lines.size(); ++i) {
        lblCounts[i - 3]->setText(Latin1(lines[i].Value));
        lblSummary[i]->setEnabled(lines[i].Enabled);
    }
}

void FrmExtract::EnableSelectionArea(bool enabled) {
    for (QWidget* w : std::initializer_list<QWidget*>{
             fraVariables, cboVariables, cboVectors, lblVariables[0], lblVariables[1], fraVectors,
             lblVectors[0], lblVectors[1], lblVectors[2], txtVectors[0], txtVectors[1],
             txtVectors[2], fraTime, optTime[0], optTime[1]}) {
        w->setEnabled(enabled);
    }
}

void FrmExtract::FillVariables() {
    fraVariables->setEnabled(true);
    cboVariables->setEnabled(true);
    lblVariables[0]->setEnabled(true);
    cboVariables->clear();
    offered_ = OfferedVariables(catalogue_);
    for (const OfferedVariable& v : offered_) {
        cboVariables->addItem(Latin1(v.Name));
    }
    if (catalogue_.AnalysisKind == kKindStatic || catalogue_.AnalysisKind == kKindDynamic) {
        cboVectors->setEnabled(true);
        lblVariables[1]->setEnabled(true);
    }
    if (cboVariables->count() == 0) {
        EnableSelectionArea(false);
        return;
    }
    EnableSelectionArea(true);
    cboVariables->setCurrentIndex(0);
    cboVariables_Click();
}

const OfferedVariable* FrmExtract::CurrentVariable() const {
    const int index = cboVariables->currentIndex();
    if (index < 0 || static_cast<std::size_t>(index) >= offered_.size()) {
        return nullptr;
    }
    return &offered_[static_cast<std::size_t>(index)];
}

void FrmExtract::cboVariables_Click() {
    cboVectors->clear();
    const OfferedVariable* v = CurrentVariable();
    const bool eigen = v && v->Name == "Eigen Values";
    if (v) {
        fraVectors->setTitle(Latin1(v->RangeCaption));
        for (const std::string& vector : v->Vectors) {
            cboVectors->addItem(Latin1(vector));
        }
    }
    const bool hasVectors = cboVectors->count() > 0;
    cboVectors->setEnabled(hasVectors);
    lblVariables[1]->setEnabled(hasVectors);
    fraVectors->setEnabled(!eigen);
    for (int i = 0; i < 3; ++i) {
        lblVectors[static_cast<std::size_t>(i)]->setEnabled(!eigen);
        txtVectors[static_cast<std::size_t>(i)]->setEnabled(!eigen);
    }
    // The range boxes remember their last numbers across "Eigen Values", which clears them.
    for (std::size_t i = 0; i < 3; ++i) {
        if (IsNumeric(Bytes(txtVectors[i]->text()))) {
            savedRange_[i] = txtVectors[i]->text();
        }
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (eigen) {
            txtVectors[i]->setText(QString());
        } else if (!savedRange_[i].isEmpty()) {
            txtVectors[i]->setText(savedRange_[i]);
        }
    }
    if (hasVectors) {
        cboVectors->setCurrentIndex(0);
    }
    cmdSave->setEnabled(ValidateSelection());
}

bool FrmExtract::ValidateSelection() const {
    const OfferedVariable* v = CurrentVariable();
    if (!v) {
        return false;
    }
    return velto::ValidateSelection(offered_, v->Name, Bytes(txtVectors[0]->text()),
                                    Bytes(txtVectors[1]->text()), Bytes(txtVectors[2]->text()),
                                    static_cast<std::size_t>(lstSelected->count()));
}

void FrmExtract::RefreshSelected() {
    lstSelected->setUpdatesEnabled(false);
    lstSelected->clear();
    lstHidden->clear();
    for (const std::string& text : times_.selected()) {
        lstSelected->addItem(QString::fromStdString(text));
    }
    for (const std::string& text : times_.hidden()) {
        lstHidden->addItem(QString::fromStdString(text));
    }
    lstSelected->setUpdatesEnabled(true);
}

void FrmExtract::AfterAdd() {
    cmdClear->setEnabled(true);
    cmdSave->setEnabled(ValidateSelection());
}

void FrmExtract::lstAvailable_DblClick() {
    selectAllRequested_ = false;
    QListWidgetItem* item = lstAvailable->currentItem();
    const QString text = item ? item->text() : QString();
    if (text.isEmpty()) {
        return;
    }
    if (times_.AddText(Bytes(text))) {
        RefreshSelected();
        AfterAdd();
    }
}

void FrmExtract::lstSelected_DropText(const QString& text) {
    if (selectAllRequested_) {
        times_.AddAll();
        RefreshSelected();
        AfterAdd();
        return;
    }
    // Only a list of row numbers, as a drag from the available list carries, adds anything.
    std::vector<int> rows;
    const std::string bytes = Bytes(text);
    for (std::string_view word : Tokenize(bytes)) {
        if (word.find_first_not_of("0123456789") != std::string_view::npos || word.size() > 9) {
            return;
        }
        rows.push_back(std::stoi(std::string(word)));
    }
    if (rows.empty()) {
        return;
    }
    times_.AddIndices(rows);
    RefreshSelected();
    AfterAdd();
}

void FrmExtract::SelectAllAvailable() {
    lstAvailable->selectAll();
    selectAllRequested_ = true;
}

void FrmExtract::ShowListMenu(int source, bool popup) {
    menuSource_ = source;
    const bool available = source == 1;
    mnuListClear->setEnabled(!available && lstSelected->count() > 0);
    mnuListAdd->setEnabled(available && !lstAvailable->selectedItems().isEmpty());
    mnuListDelete->setEnabled(!available && !lstSelected->selectedItems().isEmpty());
    mnuListAll->setEnabled(available);
    if (popup) {
        mnuList->popup(QCursor::pos());
    }
}

void FrmExtract::cmdDelete_Click() {
    std::vector<int> rows;
    for (int row = 0; row < lstSelected->count(); ++row) {
        if (lstSelected->item(row)->isSelected()) {
            rows.push_back(row);
        }
    }
    times_.Remove(rows);
    RefreshSelected();
    cmdDelete->setEnabled(false);
    if (lstSelected->count() == 0) {
        cmdClear->setEnabled(false);
        cmdSave->setEnabled(false);
    }
}

void FrmExtract::cmdClear_Click() {
    times_.Clear();
    RefreshSelected();
    cmdClear->setEnabled(false);
    cmdDelete->setEnabled(false);
    cmdSave->setEnabled(false);
}

void FrmExtract::cmdSave_Click() {
    const SaveChoice choice = dialogs_.save(this, InitSaveDir, kSaveFilters);
    const QString& file = choice.path;
    auto idle = [this] {
        saveInProgress_ = false;
        cmdSave->setEnabled(true);
        picProgress->setVisible(false);
        sbPanel1->setText(QString());
    };
    if (file.isEmpty()) {
        idle();
        return;
    }
    InitSaveDir = FolderWithSlash(file);
    QCoreApplication::processEvents();
    catalogue_.AbortSave = false;
    saveInProgress_ = true;
    cmdSave->setEnabled(false);
    Mouse mouse;
    mouse.SetCursor(11);

    SaveRequest request = CurrentRequest();
    request.fileName = file.toLocal8Bit().toStdString();
    request.format = ChooseSheetFormat(Bytes(choice.filter), request.fileName);
    lastPercent_ = -1;
    picProgress->setVisible(true);
    SaveExport(catalogue_, request, *this, *this);

    idle();
    if (catalogue_.AbortSave) {
        close();
    }
}

SaveRequest FrmExtract::CurrentRequest() const {
    const OfferedVariable* v = CurrentVariable();
    SaveRequest request;
    request.variable = v ? v->Name : std::string();
    request.vectorName = Bytes(cboVectors->currentText());
    request.component = std::max(0, cboVectors->currentIndex());
    request.from = Bytes(txtVectors[0]->text());
    request.to = Bytes(txtVectors[1]->text());
    request.step = Bytes(txtVectors[2]->text());
    request.times = times_.SelectedTimes();
    request.layout = optTime[1]->isChecked() ? TimeLayout::InColumns : TimeLayout::InRows;
    return request;
}

void FrmExtract::cmdChart_Click() {
    // The same request and extraction as a save, drawn instead of written.
    const SaveRequest request = CurrentRequest();
    const OfferedVariable* v = CurrentVariable();
    catalogue_.AbortSave = false;
    saveInProgress_ = true;
    cmdSave->setEnabled(false);
    lastPercent_ = -1;
    picProgress->setVisible(true);
    SaveResult result;
    {
        Mouse mouse;
        mouse.SetCursor(11);
        result = ExtractForRequest(catalogue_, request, *this, *this);
    }
    saveInProgress_ = false;
    cmdSave->setEnabled(ValidateSelection());
    picProgress->setVisible(false);
    sbPanel1->setText(QString());
    if (catalogue_.AbortSave) {
        close();
        return;
    }
    if (result.outcome != SaveOutcome::Extracted) {
        return;
    }
    const CurveSet curves =
        CurvesOfExtraction(catalogue_, request.variable, request.vectorName,
                           v ? v->ItemWord : std::string(), TemporaryUnitOf(request.variable));
    auto* dialog = new ChartDialog(curves, dialogs_.saveChart, InitSaveDir, this);
    dialog->show();
}

}  // namespace velto
