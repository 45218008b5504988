#include "common/window/messagebox.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QWidget>
#include <cmath>

namespace velto {

namespace {

MessageBoxSeam& Seam() {
    static MessageBoxSeam seam;
    return seam;
}

// A message box that centres itself on its owner when shown: QMessageBox takes its final size
// only as it shows (a long text widens it), so a box placed before that sits off centre.
class CentredBox : public QMessageBox {
  public:
    using QMessageBox::QMessageBox;

  protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        QWidget* owner = parentWidget();
        if (owner && !owner->isMinimized()) {
            move(CenteredOn(owner->frameGeometry(), frameGeometry().size()));
        }
    }
};

}  // namespace

void SetMessageBoxSeam(MessageBoxSeam seam) {
    Seam() = std::move(seam);
}

QPoint CenteredOn(const QRect& owner, const QSize& box) {
    double x = owner.left() + owner.width() / 2.0 - box.width() / 2.0;
    double y = owner.top() + owner.height() / 2.0 - box.height() / 2.0;
    return QPoint(static_cast<int>(std::nearbyint(x)), static_cast<int>(std::nearbyint(y)));
}

int MessageBoxWidthForTitle(const QString& title) {
    const QFont font = QApplication::font("QMdiSubWindowTitleBar");
    return QFontMetrics(font).horizontalAdvance(title) + 160;
}

int MsgBoxCentered(QWidget* owner, const QString& prompt, int style, const QString& title) {
    if (Seam()) {
        return Seam()(owner, prompt, style, title);
    }
    CentredBox box(owner);
    box.setWindowTitle(title);
    // Texts written for Windows end lines with CR LF; a lone CR would reach a screen reader.
    box.setText(QString(prompt).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
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
    // A short message makes a narrow box, and the window manager then cuts the title ("Ve...act"):
    // the box is made wide enough for its title and the title bar's buttons.
    // The box sizes itself from its layout, so the width goes in as a spacer across it.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(MessageBoxWidthForTitle(title), 0, QSizePolicy::Minimum,
                                      QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    const int pressed = box.exec();
    if (yesNo) {
        return pressed == QMessageBox::Yes ? kAnswerYes : kAnswerNo;
    }
    return kAnswerOk;
}

}  // namespace velto
