#include <gtest/gtest.h>

#include <QCategoryAxis>
#include <QChart>
#include <QImage>
#include <QLineSeries>
#include <memory>
#include <set>

#include "extract/chart/curvechart.h"
#include "extract/chart/niceticks.h"
#include "tests/harness/harness.h"

namespace velto {
namespace {

TEST(Ticks, RoundStepsCoveringTheRange) {
    using Ticks = std::vector<double>;
    EXPECT_EQ(NiceTicks(0, 3600, 10), (Ticks{0, 500, 1000, 1500, 2000, 2500, 3000, 3500, 4000}));
    EXPECT_EQ(NiceTicks(23.5, 1187, 9), (Ticks{0, 200, 400, 600, 800, 1000, 1200}));
    EXPECT_EQ(NiceTicks(-0.0123, 0.0456, 9),
              (Ticks{-0.02, -0.01, 0, 0.01, 0.02, 0.03, 0.04, 0.05}));
    EXPECT_EQ(NiceTicks(-4.1e5, 8.3e5, 9), (Ticks{-6e5, -4e5, -2e5, 0, 2e5, 4e5, 6e5, 8e5, 1e6}));
    EXPECT_EQ(NiceTicks(0.3, 0.7, 3), (Ticks{0, 0.5, 1}));
    // A flat curve still gets an axis around its value; nothing finite gets 0..1.
    EXPECT_EQ(NiceTicks(20, 20, 5), (Ticks{18, 19, 20, 21, 22}));
    EXPECT_EQ(NiceTicks(INFINITY, -INFINITY, 9), (Ticks{0, 1}));

    // Minutes and hours where they fit, plain steps below ten seconds.
    EXPECT_EQ(TimeTicks(60, 3600, 11), (Ticks{0, 600, 1200, 1800, 2400, 3000, 3600}));
    EXPECT_EQ(TimeTicks(0, 7200, 11), (Ticks{0, 900, 1800, 2700, 3600, 4500, 5400, 6300, 7200}));
    EXPECT_EQ(TimeTicks(0, 86400, 11).at(1), 10800);
    EXPECT_EQ(TimeTicks(0.1, 2.5, 11), (Ticks{0, 0.5, 1, 1.5, 2, 2.5}));
    EXPECT_EQ(TimeTicks(1e30, 3e30, 6), NiceTicks(1e30, 3e30, 6));  // no days in 1e30 s
}

TEST(Ticks, LabelsInPlainFigures) {
    using Labels = std::vector<std::string>;
    EXPECT_EQ(TickLabels({0, 600, 3600}), (Labels{"0", "600", "3600"}));
    EXPECT_EQ(TickLabels({-0.02, -0.01, 0, 0.01}), (Labels{"-0.02", "-0.01", "0.00", "0.01"}));
    // From 10 000 up the thousands are set apart by a thin space.
    EXPECT_EQ(TickLabels({-2e5, 0, 8e5, 1e6}),
              (Labels{"-200\u2009000", "0", "800\u2009000", "1\u2009000\u2009000"}));
    // Powers of ten only where plain figures would run long.
    EXPECT_EQ(TickLabels({0, 1.5e8, 3e8}), (Labels{"0", "1.5e8", "3e8"}));
    EXPECT_EQ(TickLabels({0, 5e-5, 1e-4}), (Labels{"0", "5e-5", "1e-4"}));
}

CurveSet Temperatures(int count) {
    CurveSet set;
    set.title = "Temperature";
    set.unit = "\260C";
    for (int i = 0; i < count; ++i) {
        set.curves.push_back({"Node " + std::to_string(i + 1), {{60, 20.0 + i}, {3600, 900.0}}});
    }
    set.omitted = 3;
    return set;
}

TEST(CurveChart, ReadsAtAGlance) {
    std::unique_ptr<QChart> chart(BuildCurveChart(Temperatures(20)));
    EXPECT_EQ(chart->title(), "Temperature (the first 20 of 23 vectors)");
    const auto across = chart->axes(Qt::Horizontal);
    const auto up = chart->axes(Qt::Vertical);
    ASSERT_EQ(across.size(), 1);
    ASSERT_EQ(up.size(), 1);
    EXPECT_EQ(across.front()->titleText(), "Time [s]");
    EXPECT_EQ(up.front()->titleText(), QString::fromUtf8("Temperature [\u00B0C]"));
    auto* time = qobject_cast<QCategoryAxis*>(across.front());
    ASSERT_NE(time, nullptr);
    EXPECT_EQ(time->categoriesLabels(),
              (QStringList{"0", "600", "1200", "1800", "2400", "3000", "3600"}));
    EXPECT_EQ(time->endValue("600"), 600);

    // Twenty curves, twenty colours; the twenty-first comes back dashed.
    std::set<QRgb> colours;
    for (QAbstractSeries* s : chart->series()) {
        colours.insert(static_cast<QLineSeries*>(s)->pen().color().rgb());
    }
    EXPECT_EQ(colours.size(), 20u);
    EXPECT_EQ(CurveLookOf(20).colour, CurveLookOf(0).colour);
    EXPECT_EQ(CurveLookOf(20).style, Qt::DashLine);
    EXPECT_NE(CurveLookOf(40).style, Qt::DashLine);
}

TEST(CurveChart, SavesPngAndSvg) {
    test::ScratchDir dir;
    std::unique_ptr<QChart> chart(BuildCurveChart(Temperatures(3)));
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
    EXPECT_TRUE(test::Says(text, {"<svg", "Node 3"}));
    EXPECT_FALSE(SaveChart(chart.get(), QString::fromStdString(dir.File("missing/x.png"))));
}

}  // namespace
}  // namespace velto
