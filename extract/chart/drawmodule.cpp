// The drawing module velto-extract loads for `plot` (see drawmodule.h).

#include "extract/chart/drawmodule.h"

#include <QApplication>
#include <QChart>
#include <exception>
#include <memory>
#include <type_traits>

#include "extract/chart/curvechart.h"

extern "C" __attribute__((visibility("default"))) bool velto_draw_curves_1(
    const velto::CurveSet& curves, bool svg, std::string& image) {
    try {
        // Charts need a GUI application object: without a display one is made on the offscreen
        // platform, so plotting works on a server too.
        std::unique_ptr<QApplication> app;
        if (!QApplication::instance()) {
            if (qEnvironmentVariableIsEmpty("DISPLAY") &&
                qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
                qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
                qputenv("QT_QPA_PLATFORM", "offscreen");
            }
            static int argc = 1;
            static char name[] = "velto-extract";
            static char* argv[] = {name, nullptr};
            app = std::make_unique<QApplication>(argc, argv);
        }
        const std::unique_ptr<QChart> chart(velto::BuildCurveChart(curves));
        const QByteArray bytes = velto::ChartImage(chart.get(), svg);
        if (bytes.isEmpty()) {
            image = "the chart could not be drawn";
            return false;
        }
        image.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        return true;
    } catch (const std::exception& error) {
        image = error.what();
    }
    return false;
}

static_assert(std::is_same_v<decltype(&velto_draw_curves_1), velto::DrawCurvesEntry>);
