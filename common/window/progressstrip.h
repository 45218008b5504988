#pragma once

#include <QString>
#include <QWidget>

namespace velto {

// The percentage a progress strip shows for a fraction: rounded, with 0 shown as 1 and 100 as
// 99 ("1%" at the start, "99%" at the end); other values as they are.
int ShownPercent(float fraction);

// The progress strip of a status bar: the percentage centred, and the bar drawn over it in
// not-XOR mode so the text inverts where the bar covers it.
class ProgressStrip : public QWidget {
    Q_OBJECT

  public:
    explicit ProgressStrip(QWidget* parent = nullptr);
    void setFraction(float fraction);
    float fraction() const { return fraction_; }
    QString text() const;
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    float fraction_ = 0;
};

}  // namespace velto
