#pragma once

#include <QDialog>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/atomicsave.h"
#include "extract/export/comparison.h"
#include "extract/export/curves.h"

class QChart;
class QChartView;
class QCheckBox;
class QPushButton;

namespace velto {

// What lets a chart of one item take more listings: how the item was chosen (as the command
// line's compare takes it) and its history in the window's own listing.
struct ChartComparison {
    std::string variable;
    std::string vector;
    std::string item;                         // the node, element or fibre number
    std::optional<std::vector<float>> times;  // the chosen times; none when all were chosen
    std::string title;                        // "Temperature Node 12"
    std::string unit;
    ListingHistory first;
};

// The file questions of a chart window; tests replace them.
struct ChartDialogs {
    // The file the chart is saved to (PNG or SVG by its extension); empty for Cancel.
    std::function<QString(QWidget* parent, const QString& folder)> saveChart;
    // The listings to add; empty for Cancel.
    std::function<QStringList(QWidget* parent, const QString& folder)> addListings;
    // The file the comparison table is saved to (.xlsx, .xls or .csv); empty for Cancel.
    std::function<QString(QWidget* parent, const QString& folder)> saveTable;
};

// A window with the curves of an extraction and "Save Chart..." to PNG or SVG. A chart of one
// item also takes more listings ("Add Listing...": the same variable, vector, item and times
// from each, one curve per listing) and saves their comparison ("Save Table...": "Time", then a
// column per listing).
class ChartDialog : public QDialog {
    Q_OBJECT

  public:
    // `folder` is where its files are saved; Add Listing... starts in `listingFolder`, where the
    // listing drawn lies and other runs of its model usually do (`folder` when empty).
    ChartDialog(const CurveSet& curves, std::optional<ChartComparison> comparison,
                ChartDialogs dialogs, const QString& folder, QWidget* parent = nullptr,
                const QString& listingFolder = QString());
    ~ChartDialog() override;

    QChart* chart() const { return chart_; }
    // Saves through the file question; true when a file was written.
    bool onSaveChartClicked();
    // Reads the item from the listings the file question gives; true when each was added (one
    // that cannot give it is said, naming it, and left out).
    bool onAddListingClicked();
    // Writes the comparison table through the file question; true when a file was written.
    bool onSaveTableClicked();

    // The listing drawn is followed as the solver writes it: "Add New Times" (chkNewTimes) shows,
    // checked when the chart is to take the times that complete from now on.
    void FollowListing(bool takeNewTimes);
    // The chart takes the times that complete: its listing is followed and the box is checked.
    bool TakesNewTimes() const;
    // The times drawn, by value.
    std::vector<float> Times() const;
    // Adds the points of these curves (the same curves, at other times) to those drawn: a time
    // drawn already takes its new value.
    void AddPoints(const CurveSet& more);

  private:
    void Redraw();

    QChartView* view_ = nullptr;
    QChart* chart_ = nullptr;
    QPushButton* addListing_ = nullptr;
    QPushButton* saveTable_ = nullptr;
    QCheckBox* newTimes_ = nullptr;
    ChartDialogs dialogs_;
    QString folder_;
    QString listingFolder_;
    CurveSet curves_;  // as drawn, with the times a follow added
    std::optional<ChartComparison> comparison_;
    std::vector<ListingHistory> histories_;
    // The listings drawn: Save Table never takes one's place.
    std::vector<SaveProtection> protections_;
};

}  // namespace velto
