#pragma once

#include <QString>
#include <QWidget>

namespace velto {

// The percentage a progress strip shows for a fraction: rounded, with 0 shown as 1 and 100 as
// 99 ("1%" at the start, "99%" at the end); other values as they are.
int ShownPercent(float fraction);

// Lets screen readers hear every progress strip as a progress bar with its percentage; called
// once by each program before its window is built.
void InstallProgressStripAccessibility();

// The progress strip of a status bar: a sunken trough with the percentage centred, and the bar
// drawn over it in not-XOR mode so the text inverts where the bar covers it.
//
// It asks for its preferred width and takes no more; when the texts beside it in the status bar
// need the room, it gives way down to the width of its percentage, so that its showing never
// widens the window.
class ProgressStrip : public QWidget {
    Q_OBJECT

  public:
    explicit ProgressStrip(QWidget* parent = nullptr);
    void setFraction(float fraction);
    float fraction() const { return fraction_; }
    QString text() const;
    void setPreferredWidth(int width);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    float fraction_ = 0;
    int preferredWidth_ = 200;
};

}  // namespace velto
