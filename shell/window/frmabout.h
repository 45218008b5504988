#pragma once

#include <QDialog>
#include <QImage>
#include <array>
#include <cstdint>

class QLabel;
class QTimer;

class QPushButton;

namespace velto {

// The flame of the About box: an 8-bit image whose bytes index a fire palette. Each frame seeds
// the first scan line with random heat and spreads it upwards through three weight tables.
class Flame {
  public:
    Flame(int width, int height);

    // The weights for a byte value: round(i / 3.1), round(i / 3.01 + 1), round(i / 3.1), halves
    // to even; at most 83, 86 and 83, so three of them never pass 255.
    static std::uint8_t LeftWeight(int i);
    static std::uint8_t CentreWeight(int i);
    static std::uint8_t RightWeight(int i);

    // One frame: seed line 0 with 55..254, then spread column by column, in place.
    void DoFlame();
    // The same with a given seed line (for tests): `seed` has one value per byte of a line.
    void DoFlame(const std::vector<std::uint8_t>& seed);

    const QImage& image() const { return image_; }
    std::uint8_t At(int x, int y) const;

  private:
    QImage image_;
};

// The About box of VeltoShell: title, version, product, copyright, the developers with mail
// links, the build label and a word of warning, the flame, and the system information button.
class FrmAbout : public QDialog {
    Q_OBJECT

  public:
    explicit FrmAbout(QWidget* parent = nullptr);
    ~FrmAbout() override;

    bool animating() const { return animating_; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void done(int result) override;
    void showEvent(QShowEvent* event) override;

  private:
    void StartSysInfo();
    void StopAnimation();

    Flame flame_;
    QLabel* picAbout_ = nullptr;
    QPushButton* cmdOK_ = nullptr;
    QTimer* tmrAbout_ = nullptr;
    bool animating_ = true;
};

}  // namespace velto
