#include <gtest/gtest.h>

#include <QAbstractAxis>
#include <QChart>
#include <QFile>
#include <QImage>
#include <QLineSeries>
#include <memory>

#include "extract/chart/curvechart.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

// Nodes 1..30 with value node * 10 + time record, at records 3 and 1 (in that order).
Catalogue Extracted(int vectors) {
    Catalogue c;
    c.Times = {{60, 1}, {120, 2}, {180, 3}};
    c.SelectedTimes = {3, 1};
    c.ExtractedValues = ValueTable(30, 2);
    for (Long node = 1; node <= 30; ++node) {
        c.ExtractedValues.At(node, 1) = static_cast<Single>(node * 10 + 3);
        c.ExtractedValues.At(node, 2) = static_cast<Single>(node * 10 + 1);
    }
    for (int v = 0; v < vectors; ++v) {
        c.SelectedVectors.push_back(30 - v);
    }
    return c;
}

TEST(CurveChart, OneCurvePerVectorInTimeOrder) {
    CurveSet curves = CurvesOfExtraction(Extracted(2), "Temperature", "", "Node");
    EXPECT_EQ(curves.title, "Temperature");
    ASSERT_EQ(curves.names, (std::vector<QString>{"Node 30", "Node 29"}));
    // The times come sorted, each with its own value.
    EXPECT_EQ(curves.points[0], (std::vector<QPointF>{{60, 301}, {180, 303}}));
    EXPECT_EQ(curves.points[1], (std::vector<QPointF>{{60, 291}, {180, 293}}));
    EXPECT_EQ(curves.omitted, 0);
}

TEST(CurveChart, AtMostTwentyCurvesWithANote) {
    CurveSet curves = CurvesOfExtraction(Extracted(25), "Displacements", "DOF2", "Node");
    EXPECT_EQ(curves.names.size(), 20u);
    EXPECT_EQ(curves.omitted, 5);
    std::unique_ptr<QChart> chart(BuildCurveChart(curves));
    EXPECT_EQ(chart->series().size(), 20);
    EXPECT_EQ(chart->series().front()->name(), "Node 30");
    EXPECT_TRUE(chart->title().startsWith("Displacements DOF2 (the first 20 vectors; 5 more"));
    const auto horizontal = chart->axes(Qt::Horizontal);
    const auto vertical = chart->axes(Qt::Vertical);
    ASSERT_EQ(horizontal.size(), 1);
    ASSERT_EQ(vertical.size(), 1);
    EXPECT_EQ(horizontal.front()->titleText(), "Time");
    EXPECT_EQ(vertical.front()->titleText(), "Displacements DOF2");
}

TEST(CurveChart, SavesPngAndSvg) {
    test::ScratchDir dir;
    std::unique_ptr<QChart> chart(
        BuildCurveChart(CurvesOfExtraction(Extracted(3), "T", "", "Node")));
    const QString png = QString::fromStdString(dir.File("curves.png"));
    const QString svg = QString::fromStdString(dir.File("curves.svg"));
    ASSERT_TRUE(SaveChart(chart.get(), png, QSize(640, 400)));
    QImage image(png);
    EXPECT_EQ(image.size(), QSize(640, 400));
    // Not a blank page: the curves and axes left marks on it.
    int marked = 0;
    for (int y = 0; y < image.height(); y += 4) {
        for (int x = 0; x < image.width(); x += 4) {
            marked += image.pixel(x, y) != qRgb(255, 255, 255) ? 1 : 0;
        }
    }
    EXPECT_GT(marked, 100);
    ASSERT_TRUE(SaveChart(chart.get(), svg));
    const std::string text = test::ReadBytes(svg.toStdString());
    EXPECT_NE(text.find("<svg"), std::string::npos);
    EXPECT_NE(text.find("Node 30"), std::string::npos);
    EXPECT_FALSE(SaveChart(chart.get(), QString::fromStdString(dir.File("missing/x.png"))));
}

}  // namespace
}  // namespace velto
