#include "common/window/progressstrip.h"

#include <QPainter>
#include <cmath>

namespace velto {

int ShownPercent(float fraction) {
    int percent = static_cast<int>(std::floor(static_cast<double>(fraction) * 100 + 0.5));
    // Work under way never reads 0% or 100%; a solver past its end time may read 104%.
    if (percent == 0) {
        return 1;
    }
    if (percent == 100) {
        return 99;
    }
    return percent;
}

ProgressStrip::ProgressStrip(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize ProgressStrip::sizeHint() const {
    return QSize(200, fontMetrics().height() + 4);
}

QString ProgressStrip::text() const {
    return QString::number(ShownPercent(fraction_)) + "%";
}

void ProgressStrip::setFraction(float fraction) {
    if (fraction != fraction_) {
        fraction_ = fraction;
        update();
    }
}

void ProgressStrip::paintEvent(QPaintEvent*) {
    const QColor back = palette().color(QPalette::Button);
    const QColor fore = palette().color(QPalette::Highlight);
    QPainter painter(this);
    painter.fillRect(rect(), back);
    painter.setPen(fore);
    painter.drawText(rect(), Qt::AlignCenter, text());
    // Not-XOR: the bar turns the text and the face into each other's colours beneath it.
    painter.setCompositionMode(QPainter::RasterOp_NotSourceXorDestination);
    if (fraction_ > 0) {
        painter.fillRect(QRectF(0, 0, width() * std::min(fraction_, 1.0f), height()), fore);
    }
}

}  // namespace velto
