#include "common/window/mouse.h"

#include <QApplication>
#include <QCursor>

namespace velto {

void Mouse::SetCursor(int cursor) {
    if (set_) {
        QApplication::restoreOverrideCursor();
        set_ = false;
    }
    if (cursor == kHourglassCursor) {
        QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        set_ = true;
    }
}

Mouse::~Mouse() {
    if (set_) {
        QApplication::restoreOverrideCursor();
    }
}

}  // namespace velto
