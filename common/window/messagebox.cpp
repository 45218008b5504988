#include "common/window/messagebox.h"

#include <QMessageBox>
#include <QWidget>
#include <cmath>

namespace velto {

namespace {

MessageBoxSeam& Seam() {
    static MessageBoxSeam seam;
    return seam;
}

}  // namespace

void SetMessageBoxSeam(MessageBoxSeam seam) {
    Seam() = std::move(seam);
}

QPoint CenteredOn(const QRect& owner, const QSize& box) {
    double x = owner.left() + owner.width() / 2.0 - box.width() / 2.0;
    double y = owner.top() + owner.height() / 2.0 - box.height() / 2.0;
    return QPoint(static_cast<int>(std::nearbyint(x)), static_cast<int>(std::nearbyint(y)));
}

int MsgBoxCentered(QWidget* owner, const QString& prompt, int style, const QString& title) {
    if (Seam()) {
        return Seam()(owner, prompt, style, title);
    }
    QMessageBox box(owner);
    box.setWindowTitle(title);
    box.setText(prompt);
    switch (style & 0x70) {
        case kStyleCritical:
            box.setIcon(QMessageBox::Critical);
            break;
        case kStyleQuestion:
            box.setIcon(QMessageBox::Question);
            break;
        case kStyleInformation:
            box.setIcon(QMessageBox::Information);
            break;
        default:
            box.setIcon(QMessageBox::NoIcon);
    }
    const bool yesNo = (style & 0x7) == kStyleYesNo;
    box.setStandardButtons(yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
    if (owner && !owner->isMinimized()) {
        box.adjustSize();
        box.move(CenteredOn(owner->frameGeometry(), box.frameGeometry().size()));
    }
    const int pressed = box.exec();
    if (yesNo) {
        return pressed == QMessageBox::Yes ? kAnswerYes : kAnswerNo;
    }
    return kAnswerOk;
}

}  // namespace velto
