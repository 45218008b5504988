#include <QFile>
#include <QFileInfo>
#include <string_view>

#include "common/atomicsave.h"
#include "extract/chart/curvechart.h"

namespace velto {

bool SaveChart(QChart* chart, const QString& path, const QSize& size, std::string* why) {
    const bool svg =
        QFileInfo(path).suffix().compare(QStringLiteral("svg"), Qt::CaseInsensitive) == 0;
    const QByteArray bytes = ChartImage(chart, svg, size);
    if (bytes.isEmpty()) {
        return false;
    }
    try {
        SaveBytesAtomically(
            QFile::encodeName(path).toStdString(),
            std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    } catch (const RuntimeError& error) {
        if (why != nullptr) {
            *why = SaveFailureText(error, QFile::encodeName(path).toStdString());
        }
        return false;
    }
    return true;
}

}  // namespace velto
