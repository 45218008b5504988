#pragma once

#include <QSize>
#include <QString>

class QLabel;
class QMainWindow;
class QWidget;

namespace velto {

// Makes `content` the window's central widget inside a scroll area: when a large scale factor
// makes the controls wider or taller than the screen, they scroll inside a window that fits.
void SetScrollingCentralWidget(QMainWindow* window, QWidget* content);

// Sizes the window to `wanted`, within the room of the screen it is on (its frame and the
// desktop's panels allowed for).
void FitToScreen(QWidget* window, QSize wanted);

// Shows a status text, and lets a screen reader hear it with what it is: "Status: 3 files".
void SetStatusText(QLabel* label, const QString& what, const QString& text);

}  // namespace velto
