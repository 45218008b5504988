#pragma once

#include <QByteArray>
#include <QColor>
#include <QSize>
#include <QString>
#include <string>

#include "extract/export/curves.h"

class QChart;

namespace velto {

// The size of a saved chart in pixels, from `plot` as from the window's Save Chart.
inline constexpr QSize kChartSize(960, 600);

// How curve `index` (0-based) is drawn: twenty colours chosen to be told apart on white, the
// first ones the most distinct; past twenty the colours come round again dashed, then dotted...
struct CurveLook {
    QColor colour;
    Qt::PenStyle style = Qt::SolidLine;
};
CurveLook CurveLookOf(int index);

// A chart of the curves: "Time [s]" across and the variable with its unit up, both with ticks at
// round numbers (TimeTicks, NiceTicks) labelled in plain figures; a legend at the right with a
// line of each curve's look; a note in the title when vectors were left out. The same in the
// window and in `plot`. The caller owns the chart.
QChart* BuildCurveChart(const CurveSet& curves);

// The chart drawn at this size in pixels, as an SVG document or else a PNG image; empty when it
// could not be drawn.
QByteArray ChartImage(QChart* chart, bool svg, const QSize& size = kChartSize);

// Saves a chart as PNG or SVG (by the file's extension; anything else is PNG) at this size in
// pixels, as all our files are saved (the previous file stays until the new one is whole).
// False when the file could not be written.
// `why`, when given, gets the reason a save failed, in the tools' single-byte text.
bool SaveChart(QChart* chart, const QString& path, const QSize& size = kChartSize,
               std::string* why = nullptr);

}  // namespace velto
