#include "extract/chart/curvechart.h"

#include <QBuffer>
#include <QCategoryAxis>
#include <QChart>
#include <QGraphicsLineItem>
#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QImage>
#include <QLegend>
#include <QLineSeries>
#include <QPainter>
#include <QSvgGenerator>
#include <algorithm>
#include <cmath>

#include "extract/chart/niceticks.h"

namespace velto {

namespace {

// Chosen for distinctness: the first four are the familiar blue, red, green and orange, then a
// near-black, then each next colour the one farthest (CIEDE2000) from all before it among
// colours dark enough to show as a line on white.
constexpr QRgb kPalette[] = {0x1f77b4, 0xd62728, 0x2ca02c, 0xff7f0e, 0x333333, 0xee77ff, 0x8800bb,
                             0x776600, 0x005511, 0xbbaa00, 0x771133, 0x00bbaa, 0xff8888, 0xdd2288,
                             0x663300, 0x8899ff, 0x334488, 0xaa6633, 0x00aadd, 0x8866aa};
constexpr int kColours = static_cast<int>(std::size(kPalette));

// At most this many ticks across and up: at the saved size a label every 80 pixels or so reads
// without crowding.
constexpr int kAcrossTicks = 11;
constexpr int kUpTicks = 9;

// A legend column holds at most this many names.
constexpr int kLegendRows = 10;

// At most this many points in all are marked.
constexpr std::size_t kMarkedPoints = 120;

// A little larger than Qt's default, for a chart pasted into a report.
constexpr double kTextScale = 1.15;

QFont Scaled(QFont font, double factor = kTextScale) {
    font.setPointSizeF(font.pointSizeF() * factor);
    return font;
}

// An axis with its ticks and their labels exactly where the round numbers are.
QCategoryAxis* TickedAxis(const std::vector<double>& ticks, const QString& title) {
    auto* axis = new QCategoryAxis;
    axis->setTitleText(title);
    axis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    axis->setRange(ticks.front(), ticks.back());
    axis->setStartValue(ticks.front());
    const std::vector<std::string> labels = TickLabels(ticks);
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        axis->append(QString::fromStdString(labels[i]), ticks[i]);
    }
    QFont titleFont = Scaled(axis->titleFont());
    titleFont.setBold(false);
    axis->setTitleFont(titleFont);
    axis->setLabelsFont(Scaled(axis->labelsFont()));
    return axis;
}

// The legend: each curve's line and name, in columns of at most ten at the right of the plot, so
// that twenty names stay readable in a window's height. Qt's own legend holds one column only;
// this one has the chart's right margin for its room and follows the plot area as it moves.
void AddLegend(QChart* chart, const CurveSet& set) {
    const int count = static_cast<int>(set.curves.size());
    chart->legend()->setVisible(false);
    if (count == 0) {
        return;
    }
    const int columns = (count + kLegendRows - 1) / kLegendRows;
    const int rows = (count + columns - 1) / columns;
    const QFont font = Scaled(chart->legend()->font());
    const QFontMetricsF metrics(font);
    double nameWidth = 0;
    for (const Curve& curve : set.curves) {
        nameWidth = std::max(nameWidth, metrics.horizontalAdvance(QString::fromLatin1(curve.name)));
    }
    constexpr double kSample = 24, kGap = 6, kColumnGap = 16, kEdge = 12;
    const double rowHeight = metrics.height() + 6;
    const double columnWidth = kSample + kGap + nameWidth;
    const QSizeF size(columns * columnWidth + (columns - 1) * kColumnGap, rows * rowHeight);

    auto* legend = new QGraphicsRectItem(QRectF(QPointF(0, 0), size), chart);
    legend->setPen(Qt::NoPen);
    for (int i = 0; i < count; ++i) {
        const QPointF at((i / rows) * (columnWidth + kColumnGap), (i % rows) * rowHeight);
        const CurveLook look = CurveLookOf(i);
        QPen pen(look.colour, 3, look.style);
        pen.setCapStyle(Qt::FlatCap);
        const double middle = at.y() + rowHeight / 2;
        (new QGraphicsLineItem(at.x(), middle, at.x() + kSample, middle, legend))->setPen(pen);
        auto* name = new QGraphicsSimpleTextItem(
            QString::fromLatin1(set.curves[static_cast<std::size_t>(i)].name), legend);
        name->setFont(font);
        name->setBrush(chart->legend()->labelColor());
        name->setPos(at.x() + kSample + kGap, middle - metrics.height() / 2);
    }
    QMargins margins = chart->margins();
    margins.setRight(margins.right() + static_cast<int>(std::ceil(size.width() + kEdge)));
    chart->setMargins(margins);
    const auto place = [chart, legend, size](const QRectF& plot) {
        legend->setPos(chart->size().width() - kEdge - size.width(),
                       plot.center().y() - size.height() / 2);
    };
    QObject::connect(chart, &QChart::plotAreaChanged, chart, place);
    place(chart->plotArea());
}

}  // namespace

CurveLook CurveLookOf(int index) {
    static constexpr Qt::PenStyle kStyles[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine,
                                               Qt::DashDotLine, Qt::DashDotDotLine};
    const int round = std::max(index, 0) / kColours;
    return {QColor(kPalette[std::max(index, 0) % kColours]),
            kStyles[round % static_cast<int>(std::size(kStyles))]};
}

QChart* BuildCurveChart(const CurveSet& set) {
    auto* chart = new QChart;
    chart->setBackgroundRoundness(0);
    QString title = QString::fromLatin1(set.title);
    if (set.omitted > 0) {
        title += QStringLiteral(" (the first %1 of %2 %3)")
                     .arg(kMaxCurves)
                     .arg(kMaxCurves + set.omitted)
                     .arg(QString::fromLatin1(set.curvesAre));
    }
    chart->setTitle(title);
    QFont titleFont = Scaled(chart->titleFont(), 1.3);
    titleFont.setBold(true);
    chart->setTitleFont(titleFont);

    double xMin = INFINITY, xMax = -INFINITY, yMin = INFINITY, yMax = -INFINITY;
    for (const Curve& curve : set.curves) {
        for (const CurvePoint& p : curve.points) {
            if (std::isfinite(p.time) && std::isfinite(p.value)) {
                xMin = std::min(xMin, p.time);
                xMax = std::max(xMax, p.time);
                yMin = std::min(yMin, p.value);
                yMax = std::max(yMax, p.value);
            }
        }
    }
    QString yTitle = QString::fromLatin1(set.title);
    if (!set.unit.empty()) {
        yTitle += QStringLiteral(" [") + QString::fromLatin1(set.unit) + ']';
    }
    // Times of five figures and more ("10 800") take the room of fewer ticks, or would be cut.
    const int across =
        std::max(std::fabs(xMin), std::fabs(xMax)) >= 10000 ? kAcrossTicks - 4 : kAcrossTicks;
    auto* x = TickedAxis(TimeTicks(xMin, xMax, across), QStringLiteral("Time [s]"));
    auto* y = TickedAxis(NiceTicks(yMin, yMax, kUpTicks), yTitle);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);

    std::size_t points = 0;
    for (const Curve& curve : set.curves) {
        points += curve.points.size();
    }
    for (std::size_t i = 0; i < set.curves.size(); ++i) {
        const Curve& curve = set.curves[i];
        auto* series = new QLineSeries;
        series->setName(QString::fromLatin1(curve.name));
        const CurveLook look = CurveLookOf(static_cast<int>(i));
        QPen pen(look.colour, 2, look.style);
        pen.setCapStyle(Qt::FlatCap);
        series->setPen(pen);
        // With few points each is marked, so a reader sees at which times the values are; in a
        // crowd of them the marks would hide the lines.
        series->setPointsVisible(points <= kMarkedPoints);
        for (const CurvePoint& p : curve.points) {
            series->append(p.time, p.value);
        }
        chart->addSeries(series);
        series->attachAxis(x);
        series->attachAxis(y);
    }

    AddLegend(chart, set);
    return chart;
}

QByteArray ChartImage(QChart* chart, bool svg, const QSize& size) {
    // A scene of its own to render in, whether or not the chart is on screen.
    QGraphicsScene scene;
    const bool wasInScene = chart->scene() != nullptr;
    if (!wasInScene) {
        scene.addItem(chart);
    }
    const QSizeF shown = chart->size();
    chart->resize(size);
    QGraphicsScene* target = chart->scene();
    const QRectF area(chart->pos(), QSizeF(size));
    const QRectF page(QPointF(0, 0), QSizeF(size));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    bool ok = buffer.open(QIODevice::WriteOnly);
    if (ok && svg) {
        QSvgGenerator generator;
        generator.setOutputDevice(&buffer);
        generator.setSize(size);
        generator.setViewBox(QRect(QPoint(0, 0), size));
        generator.setTitle(chart->title());
        QPainter painter;
        ok = painter.begin(&generator);
        if (ok) {
            painter.fillRect(page, Qt::white);
            target->render(&painter, page, area);
            ok = painter.end();
        }
    } else if (ok) {
        QImage image(size, QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        target->render(&painter, page, area);
        painter.end();
        ok = image.save(&buffer, "PNG");
    }
    if (!wasInScene) {
        scene.removeItem(chart);
    } else {
        chart->resize(shown);
    }
    return ok ? bytes : QByteArray();
}

}  // namespace velto
