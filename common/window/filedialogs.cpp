#include "common/window/filedialogs.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>

namespace velto {

namespace {

// The widget of a layout cell, or the first one of a row of them ("Look in:" has its folder box
// followed by the navigation buttons).
QWidget* FirstWidget(QLayoutItem* item) {
    if (!item) {
        return nullptr;
    }
    if (item->widget()) {
        return item->widget();
    }
    if (QLayout* layout = item->layout()) {
        for (int i = 0; i < layout->count(); ++i) {
            if (QWidget* widget = FirstWidget(layout->itemAt(i))) {
                return widget;
            }
        }
    }
    return nullptr;
}

}  // namespace

void ShowLabelMnemonics(QFileDialog& dialog) {
    // Qt's own dialog gives "File name:" its field as buddy but not "Look in:" or "Files of
    // type:", and a label without a buddy shows its '&' as it is.
    auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
    if (!grid) {
        return;
    }
    for (int i = 0; i < grid->count(); ++i) {
        auto* label = qobject_cast<QLabel*>(grid->itemAt(i)->widget());
        if (!label || label->buddy() || !label->text().contains(QLatin1Char('&'))) {
            continue;
        }
        int row = 0;
        int column = 0;
        int rows = 0;
        int columns = 0;
        grid->getItemPosition(i, &row, &column, &rows, &columns);
        if (QWidget* control = FirstWidget(grid->itemAtPosition(row, column + columns))) {
            label->setBuddy(control);
        }
    }
}

}  // namespace velto
