#pragma once

#include <QPointF>
#include <QSize>
#include <QString>
#include <QStringList>
#include <vector>

#include "extract/reader/catalogue.h"

class QChart;

namespace velto {

// The curves of one extraction: the chosen variable against time, one curve per vector.
struct CurveSet {
    QString title;                             // "Displacements DOF2"
    QString xTitle;                            // "Time"
    QString yTitle;                            // "Displacements DOF2"
    std::vector<QString> names;                // "Node 12", ...
    std::vector<std::vector<QPointF>> points;  // per curve: (time, value), in time order
    int omitted = 0;                           // vectors left out beyond the chart's limit
};

// At most this many curves are drawn; a chart of more is a tangle, and the spreadsheet has them.
inline constexpr int kMaxCurves = 20;

// The curves of the catalogue's last extraction (ExtractedValues for SelectedVectors at
// SelectedTimes), named with the item word ("Node 12"); the first 20 vectors when there are more.
CurveSet CurvesOfExtraction(const Catalogue& catalogue, const QString& variable,
                            const QString& vectorName, const QString& itemWord);

// A chart of the curves: axis titles, a legend with the vector labels, and a note in the title
// when vectors were left out. The caller owns the chart.
QChart* BuildCurveChart(const CurveSet& curves);

// Saves a chart as PNG or SVG (by the file's extension; anything else is PNG) at this size in
// pixels. False when the file could not be written.
bool SaveChart(QChart* chart, const QString& path, const QSize& size = QSize(960, 600));

}  // namespace velto
