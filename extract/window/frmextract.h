#pragma once

#include <QElapsedTimer>
#include <QListWidget>
#include <QMainWindow>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <array>
#include <functional>

#include <memory>
#include <optional>
#include "extract/window/chartdialog.h"

#include "extract/reader/sinks.h"
#include "extract/session/extractsession.h"

class QCheckBox;
class QComboBox;
class QFileSystemWatcher;
class QTimer;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QAction;
class QPushButton;
class QRadioButton;
class QStatusBar;

namespace velto {

class ProgressStrip;

// What the save dialog returns: the chosen path (empty for Cancel) and the filter that was
// selected when the user accepted, which names the file format.
struct SaveChoice {
    QString path;
    QString filter;
};

// The file dialogs of the window, replaceable so tests can drive it without a person. `open`
// returns the chosen path, or an empty text for Cancel. `filter` lists the filters separated by
// ";;", the first one selected.
struct ExtractDialogs {
    std::function<QString(QWidget* parent, const QString& folder, const QString& filter)> open;
    std::function<SaveChoice(QWidget* parent, const QString& folder, const QString& filter)> save;
    // The file questions of a chart window (saving it, adding listings, saving their table).
    ChartDialogs chart;
};

// The list of available times: dragging a selection carries the selected indices as text
// ("0 3 4 "), which the selected list understands.
class AvailableTimesList : public QListWidget {
    Q_OBJECT
  public:
    using QListWidget::QListWidget;
    // The drag text of the current selection: each selected row, 0-based, and a blank.
    QString DragText() const;

  protected:
    QMimeData* mimeData(const QList<QListWidgetItem*>& items) const override;
    QStringList mimeTypes() const override;
    Qt::DropActions supportedDropActions() const override;
};

// The list of selected times: accepts dropped text (copy only) and hands it to the window.
class SelectedTimesList : public QListWidget {
    Q_OBJECT
  public:
    using QListWidget::QListWidget;
    std::function<void(const QString&)> onDropText;

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};

// The VeltoExtract window: open a result listing, see what it holds, choose a variable, a vector,
// a range and times, and save them as a spreadsheet or draw them. It is a view of an Extract
// session: it shows the session's state, hands the user's actions to it, and turns its answers
// into dialogs. It keeps no rule of its own.
class FrmExtract : public QMainWindow, public ProgressSink, public MessageSink {
    Q_OBJECT

  public:
    explicit FrmExtract(ExtractDialogs dialogs = {}, QWidget* parent = nullptr);
    ~FrmExtract() override;

    // Commands, as the buttons, lists and menus run them.
    void onFileClicked();
    // Opens this listing, as "..." does once a file is chosen (the program's argument).
    void OpenListing(const QString& file);
    // Checks or clears Follow, as the user does.
    void SetFollow(bool on);
    // The Follow check: the open listing is followed as the solver writes it (remembered).
    void onFollowToggled(bool on);
    // Takes in what the followed listing gained: the file watcher's burst of events has settled.
    void onListingChanged();
    void onSaveClicked();
    // Draws the chosen variable against time for the chosen vectors, in a window of its own.
    void onChartClicked();
    void onDeleteClicked();
    void onClearClicked();
    void onHelpClicked();
    // The context menu over a list. Sets the entries' enabling; `popup` shows the menu at the
    // mouse (tests leave it closed).
    void showListMenu(TimeList list, bool popup = true, std::optional<QPoint> at = std::nullopt);

    // Progress of reading and saving: the strip, the status text, and a chance for the user to
    // act (the only one during long work). Repaints only when what is shown changes (at most
    // once a screen frame) or 50 ms have passed, so a scan's report per line costs next to
    // nothing.
    void UpdateProgress(Single fraction, std::string_view caption) override;
    void ShowMessage(std::string_view text, MessageIcon icon, std::string_view caption) override;

    ExtractSession& session() { return session_; }
    const ExtractSession& session() const { return session_; }

  signals:
    // The strip was repainted for this fraction (once per shown change).
    void progressShown(float fraction);
    // The followed listing was looked at, whatever it brought.
    void listingLookedAt();

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    void FormLoad();
    void FormUnload();
    // Shows the session: lists, texts, choices and enabling, each only where it changed.
    void Sync();
    void SetStatus(const QString& text);
    QString StatusWithReason(const QString& why) const;
    static void HighlightCurrentIfNone(QListWidget* list);
    void SyncListing();
    // The available list and its count: new times are added below those shown, which keep their
    // highlights and the list its scroll position.
    void SyncAvailable();
    void SyncSelected();
    // The file watcher watches the listing and its folder (a run may put another file in its
    // place) while the session follows it, and nothing otherwise.
    void WatchListing();
    // The charts that take new times are given them, read from the listing as it is now.
    void ExtendCharts(bool restarted);
    void SyncHighlight(QListWidget* list, TimeList which);
    void ApplyEnabling();
    // Runs a long command with the busy cursor and the progress strip, gives the focus back where
    // it was, and closes the window afterwards when the user asked to quit meanwhile.
    template <typename Command>
    auto RunLong(Command&& command);
    // Tells the user why the choices give nothing to save or draw; false when they give values.
    bool RefusedWithReason(const QString& what);
    // After a save or a chart: values the listing's lines lack stand as 0, and the user is told.
    void TellOfMissingValues(const SaveResult& result);
    QString SaveFolderOffered() const;
    std::vector<int> HighlightedRows(const QListWidget* list) const;
    QString HelpFile() const;

    ExtractDialogs dialogs_;
    ExtractSession session_;
    bool syncing_ = false;
    bool closing_ = false;
    unsigned shownListing_ = ~0u;
    unsigned shownTimes_ = ~0u;
    unsigned shownAvailable_ = ~0u;
    int shownVariable_ = -2;
    TimeList menuSource_ = TimeList::Available;
    QElapsedTimer lastPaint_;
    int lastPercent_ = -1;
    std::string lastCaption_;

    // Following: the watcher, the timer that lets a burst of its events settle, a look that
    // waits for the running command, and the charts of the listing that may take new times
    // (their choices, and the times the listing had when they last looked).
    QFileSystemWatcher* watcher_ = nullptr;
    QTimer* followTimer_ = nullptr;
    bool followPending_ = false;
    struct FollowedChart {
        QPointer<ChartDialog> dialog;
        SaveRequest request;
        std::vector<Single> known;
    };
    std::vector<FollowedChart> charts_;

    // Controls, named as the window's design names them.
    QLineEdit* txtFileName = nullptr;
    QPushButton* cmdFile = nullptr;
    QCheckBox* chkFollow = nullptr;
    QGroupBox* fraSummary = nullptr;
    std::array<QLabel*, 10> lblSummary{};
    QLabel* lblVersion = nullptr;
    QLabel* lblAnalysis = nullptr;
    QLabel* lblProblem = nullptr;
    std::array<QLabel*, 7> lblCounts{};  // lblNodes .. lblFibers
    QLabel* lblTimesCaption = nullptr;
    QLabel* lblTimeCount = nullptr;  // the times offered: a followed listing's grow
    std::array<QLabel*, 2> lblTimes{};
    AvailableTimesList* lstAvailable = nullptr;
    SelectedTimesList* lstSelected = nullptr;
    QListWidget* lstHidden = nullptr;
    QGroupBox* fraVariables = nullptr;
    std::array<QLabel*, 2> lblVariables{};
    QComboBox* cboVariables = nullptr;
    QComboBox* cboVectors = nullptr;
    QGroupBox* fraVectors = nullptr;
    std::array<QLabel*, 3> lblVectors{};
    std::array<QLineEdit*, 3> txtVectors{};
    QGroupBox* fraTime = nullptr;
    std::array<QRadioButton*, 2> optTime{};
    QPushButton* cmdSave = nullptr;
    QPushButton* cmdChart = nullptr;
    QPushButton* cmdDelete = nullptr;
    QPushButton* cmdClear = nullptr;
    QPushButton* cmdHelp = nullptr;
    QPushButton* cmdClose = nullptr;
    QStatusBar* sbMain = nullptr;
    QLabel* sbPanel1 = nullptr;
    QString saidWhy_;     // why Save is greyed, as the status bar last said it
    QString openedName_;  // the open listing's file name, which the status bar shows otherwise
    ProgressStrip* picProgress = nullptr;
    QMenu* mnuList = nullptr;
    QAction* mnuListClear = nullptr;
    QAction* mnuListAdd = nullptr;
    QAction* mnuListDelete = nullptr;
    QAction* mnuListAll = nullptr;
};

}  // namespace velto
