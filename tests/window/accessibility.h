#pragma once

#include <QAccessible>
#include <QScreen>
#include <QScrollBar>
#include <QWidget>
#include <string>
#include <vector>

namespace velto::test {

// The controls of a window the keyboard reaches that a screen reader would read without a name
// ("push button", "list"): their class and object name.
inline std::vector<std::string> UnnamedControls(QWidget* window) {
    std::vector<std::string> unnamed;
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        if (widget->focusPolicy() == Qt::NoFocus || !widget->isVisibleTo(window) ||
            qobject_cast<QScrollBar*>(widget) != nullptr) {
            continue;
        }
        QAccessibleInterface* heard = QAccessible::queryAccessibleInterface(widget);
        if (heard == nullptr || heard->text(QAccessible::Name).trimmed().isEmpty()) {
            unnamed.push_back(std::string(widget->metaObject()->className()) + " " +
                              widget->objectName().toStdString());
        }
    }
    return unnamed;
}

// True when the window lies within the room of its screen.
inline bool FitsItsScreen(QWidget* window) {
    const QRect room = window->screen()->availableGeometry();
    return window->width() <= room.width() && window->height() <= room.height();
}

}  // namespace velto::test
