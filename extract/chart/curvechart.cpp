#include "extract/chart/curvechart.h"

#include <QBuffer>
#include <QChart>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsScene>
#include <QImage>
#include <QLegend>
#include <QLineSeries>
#include <QPainter>
#include <QSvgGenerator>
#include <QValueAxis>
#include <algorithm>
#include <string_view>

#include "common/atomicsave.h"

namespace velto {

CurveSet CurvesOfExtraction(const Catalogue& c, const QString& variable, const QString& vectorName,
                            const QString& itemWord) {
    CurveSet curves;
    curves.title = vectorName.isEmpty() ? variable : variable + ' ' + vectorName;
    curves.xTitle = QStringLiteral("Time");
    curves.yTitle = curves.title;
    const int shown = std::min<int>(static_cast<int>(c.SelectedVectors.size()), kMaxCurves);
    curves.omitted = static_cast<int>(c.SelectedVectors.size()) - shown;
    for (int i = 0; i < shown; ++i) {
        const Long v = c.SelectedVectors[static_cast<std::size_t>(i)];
        curves.names.push_back(itemWord + ' ' + QString::number(v));
        std::vector<QPointF> points;
        for (Integer j = 1; static_cast<std::size_t>(j) <= c.SelectedTimes.size(); ++j) {
            const Integer record = c.SelectedTimes[static_cast<std::size_t>(j - 1)];
            if (record < 1 || static_cast<std::size_t>(record) > c.Times.size() || v < 1 ||
                v > c.ExtractedValues.Items() || j > c.ExtractedValues.Times()) {
                continue;
            }
            points.emplace_back(c.Times[static_cast<std::size_t>(record - 1)].Time,
                                c.ExtractedValues.At(v, j));
        }
        std::sort(points.begin(), points.end(),
                  [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); });
        curves.points.push_back(std::move(points));
    }
    return curves;
}

QChart* BuildCurveChart(const CurveSet& curves) {
    auto* chart = new QChart;
    QString title = curves.title;
    if (curves.omitted > 0) {
        title += QStringLiteral(" (the first %1 vectors; %2 more are in the spreadsheet)")
                     .arg(kMaxCurves)
                     .arg(curves.omitted);
    }
    chart->setTitle(title);
    auto* x = new QValueAxis;
    auto* y = new QValueAxis;
    x->setTitleText(curves.xTitle);
    y->setTitleText(curves.yTitle);
    x->setLabelFormat(QStringLiteral("%g"));
    y->setLabelFormat(QStringLiteral("%.4g"));
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    double xMin = 0, xMax = 1, yMin = 0, yMax = 1;
    bool first = true;
    for (std::size_t i = 0; i < curves.points.size(); ++i) {
        auto* series = new QLineSeries;
        series->setName(curves.names[i]);
        for (const QPointF& p : curves.points[i]) {
            series->append(p);
            if (first) {
                xMin = xMax = p.x();
                yMin = yMax = p.y();
                first = false;
            }
            xMin = std::min(xMin, p.x());
            xMax = std::max(xMax, p.x());
            yMin = std::min(yMin, p.y());
            yMax = std::max(yMax, p.y());
        }
        chart->addSeries(series);
        series->attachAxis(x);
        series->attachAxis(y);
    }
    // A flat curve still gets an axis that shows it.
    if (xMax == xMin) {
        xMax = xMin + 1;
    }
    if (yMax == yMin) {
        yMin -= 1;
        yMax += 1;
    }
    x->setRange(xMin, xMax);
    y->setRange(yMin, yMax);
    y->applyNiceNumbers();
    chart->legend()->setVisible(true);
    chart->legend()->setAlignment(Qt::AlignRight);
    return chart;
}

bool SaveChart(QChart* chart, const QString& path, const QSize& size) {
    // A scene of its own to render in, whether or not the chart is on screen.
    QGraphicsScene scene;
    const bool wasInScene = chart->scene() != nullptr;
    if (!wasInScene) {
        scene.addItem(chart);
    }
    chart->resize(size);
    QGraphicsScene* target = chart->scene();
    const QRectF area(chart->pos(), QSizeF(size));
    // Drawn into memory first, then saved as any of our files are: the previous file stays
    // until the new one is whole, and no entry of a shared folder can redirect it.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    bool ok = buffer.open(QIODevice::WriteOnly);
    if (ok && QFileInfo(path).suffix().compare(QStringLiteral("svg"), Qt::CaseInsensitive) == 0) {
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(size);
        svg.setViewBox(QRect(QPoint(0, 0), size));
        svg.setTitle(chart->title());
        QPainter painter;
        ok = painter.begin(&svg);
        if (ok) {
            target->render(&painter, QRectF(QPointF(0, 0), QSizeF(size)), area);
            ok = painter.end();
        }
    } else if (ok) {
        QImage image(size, QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        target->render(&painter, QRectF(QPointF(0, 0), QSizeF(size)), area);
        painter.end();
        ok = image.save(&buffer, "PNG");
    }
    if (!wasInScene) {
        scene.removeItem(chart);
    }
    if (!ok) {
        return false;
    }
    try {
        SaveBytesAtomically(
            QFile::encodeName(path).toStdString(),
            std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    } catch (const RuntimeError&) {
        return false;
    }
    return true;
}

}  // namespace velto
