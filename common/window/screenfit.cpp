#include "common/window/screenfit.h"

#include <QApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QScreen>
#include <QScrollArea>

namespace velto {

void SetScrollingCentralWidget(QMainWindow* window, QWidget* content) {
    auto* scroller = new QScrollArea(window);
    scroller->setObjectName(QStringLiteral("scrMain"));
    scroller->setWidgetResizable(true);
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setFocusPolicy(Qt::NoFocus);  // its controls take the focus, and it follows them
    scroller->setWidget(content);
    window->setCentralWidget(scroller);
    // A control reached by its Alt key or a click on its label comes into view, as a tabbed one
    // does.
    QObject::connect(qApp, &QApplication::focusChanged, scroller,
                     [scroller](QWidget*, QWidget* now) {
                         if (now != nullptr && scroller->widget() != nullptr &&
                             scroller->widget()->isAncestorOf(now)) {
                             scroller->ensureWidgetVisible(now, 8, 8);
                         }
                     });
}

void FitToScreen(QWidget* window, QSize wanted) {
    const QScreen* shown = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (shown == nullptr) {
        window->resize(wanted);
        return;
    }
    // Room for the title bar and the frame, which the window's size does not count.
    const QSize room = shown->availableGeometry().size() - QSize(16, 48);
    window->resize(wanted.boundedTo(room));
}

void SetStatusText(QLabel* label, const QString& what, const QString& text) {
    label->setText(text);
    // A text that begins with the field's own word says it already: not "Batch: Batch finished".
    const bool saysWhat = text.startsWith(what, Qt::CaseInsensitive);
    label->setAccessibleName(text.isEmpty() ? what
                             : saysWhat     ? text
                                            : what + QStringLiteral(": ") + text);
}

}  // namespace velto
