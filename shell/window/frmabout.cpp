#include "shell/window/frmabout.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <cmath>

#include "common/window/messagebox.h"
#include "shell/runner/settings.h"

namespace velto {

namespace {

std::uint8_t RoundedByte(double value) {
    return static_cast<std::uint8_t>(std::nearbyint(value));
}

struct Developer {
    const char* name;
    const char* mail;
};

// Who to write to about the tools; the second entry stands under "Acknowledgements:".
constexpr Developer kDevelopers[] = {
    {"The Velto tools team", "velto-tools@example.org"},
    {"The fire engineers who tested the batches", "velto-users@example.org"},
};

QVector<QRgb> FirePalette() {
    QVector<QRgb> colours(256);
    for (int i = 0; i < 256; ++i) {
        // Black through red and orange to a pale yellow.
        const int r = std::min(255, i * 3);
        const int g = std::clamp((i - 85) * 3, 0, 255);
        const int b = std::clamp((i - 170) * 3, 0, 255);
        colours[i] = qRgb(r, g, b);
    }
    return colours;
}

}  // namespace

Flame::Flame(int width, int height) : image_(width, height, QImage::Format_Indexed8) {
    image_.setColorTable(FirePalette());
    image_.fill(0);
}

std::uint8_t Flame::LeftWeight(int i) {
    return RoundedByte(i / 3.1);
}
std::uint8_t Flame::CentreWeight(int i) {
    return RoundedByte(i / 3.01 + 1);
}
std::uint8_t Flame::RightWeight(int i) {
    return RoundedByte(i / 3.1);
}

std::uint8_t Flame::At(int x, int y) const {
    return image_.constScanLine(y)[x];
}

void Flame::DoFlame() {
    std::vector<std::uint8_t> seed(static_cast<std::size_t>(image_.bytesPerLine()));
    for (auto& heat : seed) {
        heat = static_cast<std::uint8_t>(QRandomGenerator::global()->bounded(200) + 55);
    }
    DoFlame(seed);
}

void Flame::DoFlame(const std::vector<std::uint8_t>& seed) {
    if (image_.format() != QImage::Format_Indexed8 || image_.isNull()) {
        return;
    }
    const int width = static_cast<int>(image_.bytesPerLine());
    const int height = image_.height();
    // Line 0 is the bottom of the flame: the image is shown upside down.
    std::uint8_t* base = image_.bits();
    auto p = [&](int x, int y) -> std::uint8_t& { return base[y * width + x]; };
    for (int x = 0; x < width && x < static_cast<int>(seed.size()); ++x) {
        p(x, 0) = seed[static_cast<std::size_t>(x)];
    }
    // In place, column after column: the left column already holds this frame's heat, the
    // right one still the last frame's, which makes the flame lean and flicker.
    for (int x = 1; x <= width - 2; ++x) {
        for (int y = 1; y <= height - 1; ++y) {
            p(x, y) =
                static_cast<std::uint8_t>(LeftWeight(p(x - 1, y - 1)) + CentreWeight(p(x, y - 1)) +
                                          RightWeight(p(x + 1, y - 1)));
        }
    }
}

FrmAbout::FrmAbout(QWidget* parent) : QDialog(parent), flame_(96, 128) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About ") + kShellTitle);
    auto named = [](auto* widget, const char* name) {
        widget->setObjectName(QString::fromLatin1(name));
        return widget;
    };
    picAbout_ = named(new QLabel, "picAbout");
    picAbout_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    picAbout_->setFixedSize(flame_.image().size() + QSize(4, 4));

    const QString version = QCoreApplication::applicationVersion().isEmpty()
                                ? QStringLiteral(VELTO_VERSION)
                                : QCoreApplication::applicationVersion();
    auto* lblTitle = named(new QLabel(kShellTitle), "lblTitle");
    QFont big = lblTitle->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    lblTitle->setFont(big);
    auto* lblVersion = named(new QLabel(QStringLiteral("Version ") + version), "lblVersion");
    auto* lblProductName =
        named(new QLabel(QStringLiteral("Product Name VeltoShell")), "lblProductName");
    auto* lblCopyright =
        named(new QLabel(QStringLiteral("Copyright \u00A9 2026 the Velto tools developers")),
              "lblCopyright");
    auto* text = new QVBoxLayout;
    for (QLabel* label : {lblTitle, lblVersion, lblProductName, lblCopyright}) {
        text->addWidget(label);
    }
    text->addSpacing(8);
    text->addWidget(named(new QLabel(tr("Developers:")), "lblDevelopers0"));
    for (std::size_t i = 0; i < std::size(kDevelopers); ++i) {
        if (i == 1) {
            text->addWidget(named(new QLabel(tr("Acknowledgements:")), "lblDevelopers"));
        }
        auto* name = new QLabel(QString::fromUtf8(kDevelopers[i].name));
        name->setObjectName(QStringLiteral("lblDeveloper%1").arg(i));
        const QString mail = QString::fromUtf8(kDevelopers[i].mail);
        auto* link = new QLabel(QStringLiteral("<a href=\"mailto:%1\">%1</a>").arg(mail));
        link->setObjectName(QStringLiteral("lblMailTo%1").arg(i));
        link->setToolTip(QStringLiteral("MailTo: ") + name->text());
        link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
        connect(link, &QLabel::linkActivated, this,
                [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); });
        auto* row = new QHBoxLayout;
        row->addWidget(name);
        row->addWidget(link);
        row->addStretch(1);
        text->addLayout(row);
    }
    text->addSpacing(8);
    // The compiler pads a day below ten with a blank ("Dec  8 2026"): one blank reads better.
    text->addWidget(named(new QLabel(QStringLiteral("Build ") + version + QStringLiteral(" (") +
                                     QStringLiteral(__DATE__).simplified() + QStringLiteral(")")),
                          "lblBuild"));
    auto* lblDisclaimer = named(
        new QLabel(tr("Warning: VeltoShell runs the Velto solver; it checks neither the input "
                      "files nor the results. The engineer who uses the results is responsible "
                      "for them.")),
        "lblDisclaimer");
    lblDisclaimer->setWordWrap(true);
    text->addWidget(lblDisclaimer);

    auto* cmdOK = named(new QPushButton(tr("OK")), "cmdOK");
    auto* cmdSysInfo = named(new QPushButton(tr("&System Info...")), "cmdSysInfo");
    cmdOK->setDefault(true);
    cmdOK_ = cmdOK;
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdSysInfo, &QPushButton::clicked, this, &FrmAbout::StartSysInfo);
    auto* buttons = new QVBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdSysInfo);

    auto* layout = new QGridLayout(this);
    layout->addWidget(picAbout_, 0, 0, Qt::AlignTop);
    layout->addLayout(text, 0, 1);
    layout->addLayout(buttons, 0, 2);

    tmrAbout_ = new QTimer(this);
    tmrAbout_->setObjectName(QStringLiteral("tmrAbout"));
    // A frame every 50 ms: about 20 frames a second.
    tmrAbout_->setInterval(50);
    connect(tmrAbout_, &QTimer::timeout, this, [this] {
        if (!animating_) {
            return;
        }
        flame_.DoFlame();
        picAbout_->setPixmap(QPixmap::fromImage(flame_.image().mirrored(false, true)));
    });
    tmrAbout_->start();
}

FrmAbout::~FrmAbout() = default;

void FrmAbout::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The box opens on OK, not on the first mail link: a screen reader reads the box's purpose,
    // and Space closes it.
    cmdOK_->setFocus();
}

void FrmAbout::StopAnimation() {
    animating_ = false;
    tmrAbout_->stop();
}

void FrmAbout::closeEvent(QCloseEvent* event) {
    StopAnimation();
    QDialog::closeEvent(event);
}

void FrmAbout::done(int result) {
    StopAnimation();
    QDialog::done(result);
}

void FrmAbout::StartSysInfo() {
    // The desktop's own system information tool, where one is installed.
    for (const char* tool :
         {"hardinfo", "kinfocenter", "gnome-system-monitor", "xfce4-taskmanager"}) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(tool));
        if (!path.isEmpty() && QProcess::startDetached(path, {})) {
            return;
        }
    }
    MsgBoxCentered(this, QStringLiteral("System Information Is Unavailable At This Time"),
                   kStyleOk | kStyleInformation, kShellTitle);
}

}  // namespace velto
