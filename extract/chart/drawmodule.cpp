// The drawing module velto-extract loads for `plot` (see drawmodule.h).

#include "extract/chart/drawmodule.h"

#include <QApplication>
#include <QChart>
#include <cstdio>
#include <exception>
#include <memory>
#include <type_traits>

#include "extract/chart/curvechart.h"

namespace {

// Qt's notes about the desktop session it runs without (no XDG_RUNTIME_DIR on a server, say) are
// no concern of a chart drawn into a file; anything else still reaches standard error.
QtMessageHandler previousHandler = nullptr;

void QuietAboutTheSession(QtMsgType type, const QMessageLogContext& context,
                          const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QStringLiteral("QStandardPaths: "))) {
        return;
    }
    if (previousHandler != nullptr) {
        previousHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) bool velto_draw_curves_2(
    const velto::CurveSet& curves, bool svg, std::string& image) {
    try {
        // Charts need a GUI application object: one is made on the offscreen platform, so
        // plotting works on a server too.
        std::unique_ptr<QApplication> app;
        if (!QApplication::instance()) {
            // A chart drawn into a file needs no screen: offscreen always, so a display that
            // is set but gone (a stale ssh -X session) cannot end the program.
            qputenv("QT_QPA_PLATFORM", "offscreen");
            static int argc = 1;
            static char name[] = "velto-extract";
            static char* argv[] = {name, nullptr};
            previousHandler = qInstallMessageHandler(QuietAboutTheSession);
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

static_assert(std::is_same_v<decltype(&velto_draw_curves_2), velto::DrawCurvesEntry>);
