#pragma once

#include <QDialog>
#include <functional>

class QChart;

namespace velto {

struct CurveSet;

// A window with the curves of an extraction and "Save Chart..." to PNG or SVG. `savePath` asks
// for the file (empty for Cancel); tests replace it.
class ChartDialog : public QDialog {
    Q_OBJECT

  public:
    ChartDialog(const CurveSet& curves,
                std::function<QString(QWidget*, const QString& folder)> savePath,
                const QString& folder, QWidget* parent = nullptr);
    ~ChartDialog() override;

    QChart* chart() const { return chart_; }
    // Saves through the file question; true when a file was written.
    bool onSaveChartClicked();

  private:
    QChart* chart_ = nullptr;
    std::function<QString(QWidget*, const QString&)> savePath_;
    QString folder_;
};

}  // namespace velto
