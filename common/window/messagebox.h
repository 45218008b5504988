#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <functional>

class QWidget;

namespace velto {

// Message-box styles and answers, as the tools have always numbered them.
enum MessageStyle : int {
    kStyleOk = 0,
    kStyleYesNo = 4,
    kStyleCritical = 16,
    kStyleQuestion = 32,
    kStyleInformation = 64,
};
enum MessageAnswer : int { kAnswerOk = 1, kAnswerYes = 6, kAnswerNo = 7 };

// Shows a modal message box centred on its owner window (placed by the system when the owner is
// minimised) and returns the button pressed: 1 OK, 6 Yes, 7 No. `style` is the sum of a button
// set (0 OK, 4 Yes/No) and an icon (16 critical, 32 question, 64 information).
int MsgBoxCentered(QWidget* owner, const QString& prompt, int style, const QString& title);

// The least width of a box whose title must show whole in a window manager's title bar.
int MessageBoxWidthForTitle(const QString& title);

// Where the box goes for an owner's frame: centred on it, halves rounded to even.
QPoint CenteredOn(const QRect& owner, const QSize& box);

// Tests answer message boxes without a person: while set, MsgBoxCentered calls this instead of
// showing a box, and returns what it returns.
using MessageBoxSeam =
    std::function<int(QWidget* owner, const QString& prompt, int style, const QString& title)>;
void SetMessageBoxSeam(MessageBoxSeam seam);

}  // namespace velto
