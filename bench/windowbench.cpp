// Window benchmark: opens a large listing in the VeltoExtract window (offscreen) and headless,
// and reports what the window's progress display adds to the scan. The scans report once per
// line; the window repaints only when the shown percentage or caption changes, or every 50 ms.
//
// Usage: velto-bench-window LISTING
// Target: the whole open command (progress, time list, variables, summary) costs at most 10% more
// than the headless scan.

#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>

#include "extract/reader/listingheader.h"
#include "extract/window/frmextract.h"

namespace {

class CountMessages final : public velto::MessageSink {
  public:
    void ShowMessage(std::string_view, velto::MessageIcon, std::string_view) override { ++count; }
    int count = 0;
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: velto-bench-window LISTING\n");
        return 2;
    }
    const QString listing = QString::fromLocal8Bit(argv[1]);
    double headless = 1e9;
    double windowed = 1e9;
    double reporting = 1e9;  // the scan alone, with the window drawing its progress
    for (int round = 0; round < 3; ++round) {
        velto::Catalogue c;
        c.ListingFile = argv[1];
        velto::NullProgress progress;
        CountMessages messages;
        QElapsedTimer timer;
        timer.start();
        velto::ReadListingHeader(c, progress, messages);
        headless = std::min(headless, timer.nsecsElapsed() / 1e9);

        velto::ExtractDialogs dialogs;
        dialogs.open = [&](QWidget*, const QString&, const QString&) { return listing; };
        velto::FrmExtract window(dialogs);
        window.show();
        velto::Catalogue probe;
        probe.ListingFile = argv[1];
        timer.restart();
        velto::ReadListingHeader(probe, window, messages);
        reporting = std::min(reporting, timer.nsecsElapsed() / 1e9);
        timer.restart();
        window.onFileClicked();
        windowed = std::min(windowed, timer.nsecsElapsed() / 1e9);
        window.close();
    }
    const double extra = 100 * (windowed - headless) / headless;
    std::printf(
        "%s\n  headless scan                    %.3f s\n  scan drawing the window's progress %.3f s"
        "\n  whole open command               %.3f s  (%+.1f%% over headless)\n",
        argv[1], headless, reporting, windowed, extra);
    if (extra > 10) {
        std::printf("  MISSED: the window adds more than 10%% to the scan\n");
        return 1;
    }
    return 0;
}
