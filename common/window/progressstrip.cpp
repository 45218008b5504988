#include "common/window/progressstrip.h"

#include <qdrawutil.h>
#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace velto {

namespace {

constexpr int kFrame = 2;  // the width of the trough's sunken edge

// What a screen reader hears of a progress strip: a progress bar, its percentage the value.
class AccessibleProgressStrip : public QAccessibleWidget, public QAccessibleValueInterface {
  public:
    explicit AccessibleProgressStrip(ProgressStrip* strip)
        : QAccessibleWidget(strip, QAccessible::ProgressBar) {}
    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::ValueInterface ? static_cast<QAccessibleValueInterface*>(this)
                                                   : QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) {
            return Strip()->isVisible() ? Strip()->text() : QString();
        }
        const QString text = QAccessibleWidget::text(t);
        return t == QAccessible::Name && text.isEmpty() ? QObject::tr("Progress") : text;
    }
    QVariant currentValue() const override { return ShownPercent(Strip()->fraction()); }
    void setCurrentValue(const QVariant&) override {}  // shown, never set by the user
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

  private:
    ProgressStrip* Strip() const { return static_cast<ProgressStrip*>(widget()); }
};

QAccessibleInterface* ProgressStripAccessibility(const QString& className, QObject* object) {
    if (className == QLatin1String("velto::ProgressStrip") && object && object->isWidgetType()) {
        return new AccessibleProgressStrip(static_cast<ProgressStrip*>(object));
    }
    return nullptr;
}

}  // namespace

void InstallProgressStripAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(ProgressStripAccessibility);
        return true;
    }();
    (void)installed;
}

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
    setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
}

void ProgressStrip::setPreferredWidth(int width) {
    preferredWidth_ = width;
    updateGeometry();
}

QSize ProgressStrip::sizeHint() const {
    return QSize(std::max(preferredWidth_, minimumSizeHint().width()),
                 fontMetrics().height() + 2 * kFrame + 2);
}

QSize ProgressStrip::minimumSizeHint() const {
    // Room for the widest percentage ("104%" past the end time) inside the trough.
    return QSize(fontMetrics().horizontalAdvance(QStringLiteral("100%")) + 2 * kFrame + 6,
                 fontMetrics().height() + 2 * kFrame + 2);
}

QString ProgressStrip::text() const {
    return QString::number(ShownPercent(fraction_)) + "%";
}

void ProgressStrip::setFraction(float fraction) {
    if (fraction != fraction_) {
        const bool newPercent = ShownPercent(fraction) != ShownPercent(fraction_);
        fraction_ = fraction;
        update();
        if (newPercent && QAccessible::isActive()) {
            QAccessibleValueChangeEvent changed(this, ShownPercent(fraction_));
            QAccessible::updateAccessibility(&changed);
        }
    }
}

void ProgressStrip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // The trough: sunken below the status bar's face, and lighter than it.
    qDrawWinPanel(&painter, rect(), palette(), true);
    const QRect trough = rect().adjusted(kFrame, kFrame, -kFrame, -kFrame);
    const QColor back = palette().color(QPalette::Base);
    const QColor fore = palette().color(QPalette::Highlight);
    painter.fillRect(trough, back);
    painter.setPen(fore);
    painter.drawText(trough, Qt::AlignCenter, text());
    // Not-XOR: the bar turns the text and the face into each other's colours beneath it.
    painter.setCompositionMode(QPainter::RasterOp_NotSourceXorDestination);
    if (fraction_ > 0) {
        painter.fillRect(
            QRectF(trough.left(), trough.top(),
                   trough.width() * std::min(static_cast<double>(fraction_), 1.0), trough.height()),
            fore);
    }
}

}  // namespace velto
