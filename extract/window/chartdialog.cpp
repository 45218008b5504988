#include "extract/window/chartdialog.h"

#include <QApplication>
#include <QChartView>
#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "common/encoding.h"
#include "common/window/messagebox.h"
#include "common/window/screenfit.h"
#include "extract/chart/curvechart.h"
#include "extract/export/sheetformat.h"
#include "extract/session/history.h"

namespace velto {

namespace {

QString DefaultSaveChart(QWidget* owner, const QString& start) {
    QFileDialog dialog(owner, QObject::tr("Save Chart"), start,
                       QStringLiteral("PNG Image (*.png);;SVG Image (*.svg)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("png"));
    if (dialog.exec() != QDialog::Accepted) {
        return QString();
    }
    QString path = dialog.selectedFiles().value(0);
    if (dialog.selectedNameFilter().startsWith(QStringLiteral("SVG")) &&
        !path.endsWith(QStringLiteral(".svg"), Qt::CaseInsensitive)) {
        path += QStringLiteral(".svg");
    }
    return path;
}

QStringList DefaultAddListings(QWidget* owner, const QString& start) {
    return QFileDialog::getOpenFileNames(owner, QObject::tr("Add Listing"), start,
                                         QStringLiteral("Velto Listings (*.out);;All Files (*)"));
}

QString DefaultSaveTable(QWidget* owner, const QString& start) {
    QFileDialog dialog(owner, QObject::tr("Save Table"), start,
                       QStringLiteral("Excel Workbook (*.xlsx);;Excel 2.1 Worksheet (*.xls);;"
                                      "CSV (*.csv)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("xlsx"));
    if (dialog.exec() != QDialog::Accepted) {
        return QString();
    }
    // A name of another kind ("run.out") gets the workbook's: a table never takes a listing's
    // name by a slip.
    QString path = dialog.selectedFiles().value(0);
    if (!FormatOfExtension(path.toStdString())) {
        path += QStringLiteral(".xlsx");
    }
    return path;
}

// A listing read while the chart waits: the window keeps painting.
class PaintingProgress final : public ProgressSink {
  public:
    void UpdateProgress(Single, std::string_view) override {
        QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
};

// Gathers the messages of a reading, to be said once with the listing's name.
class GatheredMessages final : public MessageSink {
  public:
    void ShowMessage(std::string_view text, MessageIcon, std::string_view) override {
        texts << QString::fromStdString(Cp1252ToUtf8(text));
    }
    QStringList texts;
};

QString Local(const std::string& bytes) {
    return QString::fromLocal8Bit(bytes.c_str());
}

}  // namespace

ChartDialog::ChartDialog(const CurveSet& curves, std::optional<ChartComparison> comparison,
                         ChartDialogs dialogs, const QString& folder, QWidget* parent,
                         const QString& listingFolder)
    : QDialog(parent),
      dialogs_(std::move(dialogs)),
      folder_(folder),
      listingFolder_(listingFolder.isEmpty() ? folder : listingFolder),
      curves_(curves),
      comparison_(std::move(comparison)) {
    setObjectName(QStringLiteral("frmChart"));
    setWindowTitle(QStringLiteral("VeltoExtract - ") + QString::fromLatin1(curves.title));
    setAttribute(Qt::WA_DeleteOnClose);
    if (!dialogs_.saveChart) {
        dialogs_.saveChart = DefaultSaveChart;
    }
    if (!dialogs_.addListings) {
        dialogs_.addListings = DefaultAddListings;
    }
    if (!dialogs_.saveTable) {
        dialogs_.saveTable = DefaultSaveTable;
    }
    if (comparison_) {
        histories_.push_back(comparison_->first);
        protections_.emplace_back().Protect(comparison_->first.path);
    }
    chart_ = BuildCurveChart(curves);
    view_ = new QChartView(chart_, this);  // the view owns the chart from here
    view_->setObjectName(QStringLiteral("chartView"));
    view_->setAccessibleName(QStringLiteral("Chart: ") + QString::fromLatin1(curves.title));
    // The drawing surface takes the focus itself, and is what a screen reader lands on.
    view_->viewport()->setAccessibleName(view_->accessibleName());
    view_->setRenderHint(QPainter::Antialiasing);
    addListing_ = new QPushButton(tr("Add &Listing..."), this);
    addListing_->setObjectName(QStringLiteral("cmdAddListing"));
    saveTable_ = new QPushButton(tr("Save &Table..."), this);
    saveTable_->setObjectName(QStringLiteral("cmdSaveTable"));
    for (QPushButton* button : {addListing_, saveTable_}) {
        button->setEnabled(comparison_.has_value());
        if (!comparison_) {
            button->setToolTip(
                tr("Listings are compared on a chart of one node, element or "
                   "fibre"));
        }
    }
    newTimes_ = new QCheckBox(tr("Add &New Times"), this);
    newTimes_->setObjectName(QStringLiteral("chkNewTimes"));
    newTimes_->setAccessibleName(tr("Add New Times"));
    newTimes_->setToolTip(tr("Draw the times the solver completes from now on"));
    newTimes_->setVisible(false);
    auto* save = new QPushButton(tr("Save &Chart..."), this);
    save->setObjectName(QStringLiteral("cmdSaveChart"));
    auto* close = new QPushButton(tr("Cl&ose"), this);
    close->setObjectName(QStringLiteral("cmdCloseChart"));
    connect(addListing_, &QPushButton::clicked, this, [this] { onAddListingClicked(); });
    connect(saveTable_, &QPushButton::clicked, this, [this] { onSaveTableClicked(); });
    connect(save, &QPushButton::clicked, this, [this] { onSaveChartClicked(); });
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(addListing_);
    buttons->addWidget(saveTable_);
    buttons->addStretch(1);
    buttons->addWidget(save);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view_, 1);
    layout->addWidget(newTimes_);  // a row of its own: the buttons' row fills a small screen
    layout->addLayout(buttons);
    FitToScreen(this, QSize(900, 560));
}

ChartDialog::~ChartDialog() = default;

bool ChartDialog::onSaveChartClicked() {
    const QString path = dialogs_.saveChart(this, folder_);
    if (path.isEmpty()) {
        return false;
    }
    std::string why;
    if (!SaveChart(chart_, path, kChartSize, &why)) {
        QString text = tr("The chart could not be written to ") + path + '.';
        if (!why.empty()) {
            text = QString::fromLatin1(why.c_str());
        }
        MsgBoxCentered(this, text, kStyleCritical, QStringLiteral("VeltoExtract"));
        return false;
    }
    return true;
}

bool ChartDialog::onAddListingClicked() {
    if (!comparison_) {
        return false;
    }
    const QStringList paths = dialogs_.addListings(this, listingFolder_);
    QStringList problems;
    QStringList notes;  // an added run that repeats a time, said once as with the first
    std::size_t added = 0;
    for (const QString& path : paths) {
        PaintingProgress progress;
        GatheredMessages messages;
        HistoryReading reading = ReadHistory(
            path.toLocal8Bit().toStdString(), comparison_->variable, comparison_->vector,
            comparison_->item, comparison_->times, progress, messages);
        if (reading.problem.empty()) {
            for (const std::string& note : {reading.note, reading.missing}) {
                if (!note.empty()) {
                    notes << QFileInfo(path).fileName() + QStringLiteral(": ") +
                                 QString::fromLatin1(note);
                }
            }
            protections_.emplace_back().Protect(reading.history.path);
            histories_.push_back(std::move(reading.history));
            ++added;
        } else {
            problems << QFileInfo(path).fileName() + QStringLiteral(": ") +
                            (messages.texts + QStringList{Local(reading.problem)})
                                .join(QStringLiteral("; "));
        }
    }
    if (added > 0) {
        Redraw();
    }
    if (!notes.isEmpty()) {
        MsgBoxCentered(this, notes.join('\n'), kStyleInformation, QStringLiteral("VeltoExtract"));
    }
    if (!problems.isEmpty()) {
        MsgBoxCentered(this, problems.join('\n'), kStyleCritical, QStringLiteral("VeltoExtract"));
    }
    return !paths.isEmpty() && problems.isEmpty();
}

void ChartDialog::FollowListing(bool takeNewTimes) {
    newTimes_->setChecked(takeNewTimes);
    newTimes_->setVisible(true);
}

bool ChartDialog::TakesNewTimes() const {
    return newTimes_->isVisibleTo(this) && newTimes_->isChecked();
}

std::vector<float> ChartDialog::Times() const {
    std::vector<float> times;
    if (!curves_.curves.empty()) {
        for (const CurvePoint& point : curves_.curves.front().points) {
            times.push_back(static_cast<float>(point.time));
        }
    }
    return times;
}

void ChartDialog::AddPoints(const CurveSet& more) {
    if (more.curves.size() != curves_.curves.size()) {
        return;  // not this chart's items
    }
    for (std::size_t k = 0; k < curves_.curves.size(); ++k) {
        std::vector<CurvePoint>& points = curves_.curves[k].points;
        for (const CurvePoint& point : more.curves[k].points) {
            const auto at =
                std::lower_bound(points.begin(), points.end(), point.time,
                                 [](const CurvePoint& p, double time) { return p.time < time; });
            if (at != points.end() && at->time == point.time) {
                at->value = point.value;
            } else {
                points.insert(at, point);
            }
        }
    }
    if (comparison_) {
        // The listing's own history, which its comparison with other runs is made of.
        ListingHistory& first = histories_.front();
        first.times.clear();
        first.values.clear();
        for (const CurvePoint& point : curves_.curves.front().points) {
            first.times.push_back(static_cast<float>(point.time));
            first.values.push_back(static_cast<float>(point.value));
        }
        comparison_->first = first;
        if (comparison_->times) {
            comparison_->times = first.times;  // a listing added later gives the new times too
        }
    }
    Redraw();
}

void ChartDialog::Redraw() {
    QChart* fresh = nullptr;
    if (histories_.size() > 1) {
        ComparisonTable table = CompareHistories(histories_);
        table.title = comparison_->title;
        table.unit = comparison_->unit;
        fresh = BuildCurveChart(CurvesOfComparison(table));
    } else {
        fresh = BuildCurveChart(curves_);
    }
    QChart* old = chart_;
    view_->setChart(fresh);
    chart_ = fresh;
    delete old;  // the view lets go of a chart it no longer shows
}

bool ChartDialog::onSaveTableClicked() {
    if (!comparison_) {
        return false;
    }
    const QString path = dialogs_.saveTable(this, folder_);
    if (path.isEmpty()) {
        return false;
    }
    const std::string file = path.toLocal8Bit().toStdString();
    ComparisonTable table = CompareHistories(histories_);
    table.title = comparison_->title;
    table.unit = comparison_->unit;
    GatheredMessages messages;
    if (!WriteComparison(table, file, FormatOfExtension(file).value_or(SheetFormat::Xlsx),
                         messages)) {
        MsgBoxCentered(this, messages.texts.join('\n'), kStyleCritical,
                       QStringLiteral("VeltoExtract"));
        return false;
    }
    return true;
}

}  // namespace velto
