#include "extract/window/chartdialog.h"

#include <QChartView>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/window/messagebox.h"
#include "extract/chart/curvechart.h"

namespace velto {

ChartDialog::ChartDialog(const CurveSet& curves,
                         std::function<QString(QWidget*, const QString&)> savePath,
                         const QString& folder, QWidget* parent)
    : QDialog(parent), savePath_(std::move(savePath)), folder_(folder) {
    setObjectName(QStringLiteral("frmChart"));
    setWindowTitle(QStringLiteral("VeltoExtract - ") + QString::fromLatin1(curves.title));
    setAttribute(Qt::WA_DeleteOnClose);
    chart_ = BuildCurveChart(curves);
    auto* view = new QChartView(chart_, this);  // the view owns the chart from here
    view->setObjectName(QStringLiteral("chartView"));
    view->setRenderHint(QPainter::Antialiasing);
    auto* save = new QPushButton(tr("Save &Chart..."), this);
    save->setObjectName(QStringLiteral("cmdSaveChart"));
    auto* close = new QPushButton(tr("Cl&ose"), this);
    close->setObjectName(QStringLiteral("cmdCloseChart"));
    connect(save, &QPushButton::clicked, this, [this] { onSaveChartClicked(); });
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(save);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view, 1);
    layout->addLayout(buttons);
    resize(900, 560);
    if (!savePath_) {
        savePath_ = [](QWidget* owner, const QString& start) {
            QFileDialog dialog(owner, tr("Save Chart"), start,
                               QStringLiteral("PNG Image (*.png);;SVG Image (*.svg)"));
            dialog.setAcceptMode(QFileDialog::AcceptSave);
            dialog.setDefaultSuffix(QStringLiteral("png"));
            if (dialog.exec() != QDialog::Accepted) {
                return QString();
            }
            QString path = dialog.selectedFiles().value(0);
            if (dialog.selectedNameFilter().startsWith(QStringLiteral("SVG")) &&
                !path.endsWith(QStringLiteral(".svg"), Qt::CaseInsensitive)) {
                path += QStringLiteral(".svg");
            }
            return path;
        };
    }
}

ChartDialog::~ChartDialog() = default;

bool ChartDialog::onSaveChartClicked() {
    const QString path = savePath_(this, folder_);
    if (path.isEmpty()) {
        return false;
    }
    std::string why;
    if (!SaveChart(chart_, path, kChartSize, &why)) {
        QString text = tr("The chart could not be written to ") + path + '.';
        if (!why.empty()) {
            text = QString::fromLatin1(why.c_str());
        }
        MsgBoxCentered(this, text, kStyleCritical, QStringLiteral("VeltoExtract"));
        return false;
    }
    return true;
}

}  // namespace velto
