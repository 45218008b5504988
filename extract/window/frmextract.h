#pragma once

#include <QElapsedTimer>
#include <QListWidget>
#include <QMainWindow>
#include <QString>
#include <array>
#include <functional>
#include <memory>

#include "extract/export/savecommand.h"
#include "extract/export/timeselection.h"
#include "extract/export/variablecatalogue.h"
#include "extract/reader/catalogue.h"
#include "extract/reader/sinks.h"

class QComboBox;
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
    // The file a chart is saved to (PNG or SVG by its extension); empty for Cancel.
    std::function<QString(QWidget* parent, const QString& folder)> saveChart;
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
// a range and times, and save them as a spreadsheet. It adds no parsing or file format of its
// own: reading, validating, extracting and writing are the shared code's.
class FrmExtract : public QMainWindow, public ProgressSink, public MessageSink {
    Q_OBJECT

  public:
    explicit FrmExtract(ExtractDialogs dialogs = {}, QWidget* parent = nullptr);
    ~FrmExtract() override;

    // Commands, as the buttons, lists and menus run them.
    void cmdFile_Click();
    void cmdSave_Click();
    // Draws the chosen variable against time for the chosen vectors, in a window of its own.
    void cmdChart_Click();
    void cmdDelete_Click();
    void cmdClear_Click();
    void cmdHelp_Click();
    void cboVariables_Click();
    void lstAvailable_DblClick();
    // A drop of text on the selected list (what a drag from the available list carries).
    void lstSelected_DropText(const QString& text);
    // The context menu over a list: 1 the available list, 2 the selected list. Sets the entries'
    // enabling; `popup` shows the menu at the mouse (tests leave it closed).
    void ShowListMenu(int source, bool popup = true);
    void SelectAllAvailable();

    // Progress of reading and saving: the strip, the status text, and a chance for the user to
    // act (the only one during long work). Repaints only when what is shown changes (at most
    // once a screen frame) or 50 ms have passed, so a scan's report per line costs next to
    // nothing.
    void UpdateProgress(Single fraction, std::string_view caption) override;
    void ShowMessage(std::string_view text, MessageIcon icon, std::string_view caption) override;

    bool ValidateSelection() const;

    const Catalogue& catalogue() const { return catalogue_; }
    const TimeSelection& times() const { return times_; }
    bool SaveInProgress() const { return saveInProgress_; }
    bool SelectAllRequested() const { return selectAllRequested_; }
    int MenuSource() const { return menuSource_; }
    QString InitOpenDir;
    QString InitSaveDir;

  signals:
    // The strip was repainted for this fraction (once per shown change).
    void progressShown(float fraction);

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    void FormLoad();
    void FormUnload();
    void FillVariables();
    void ShowSummary();
    void FillAvailable();
    void RefreshSelected();
    void AfterAdd();
    void EnableSelectionArea(bool enabled);
    const OfferedVariable* CurrentVariable() const;
    // The request the window's choices make, without a file.
    SaveRequest CurrentRequest() const;
    QString HelpFile() const;

    ExtractDialogs dialogs_;
    Catalogue catalogue_;
    TimeSelection times_;
    std::vector<OfferedVariable> offered_;
    std::array<QString, 3> savedRange_;
    bool saveInProgress_ = false;
    bool selectAllRequested_ = false;
    int menuSource_ = 0;
    bool closing_ = false;
    QElapsedTimer lastPaint_;
    int lastPercent_ = -1;
    std::string lastCaption_;

    // Controls, named as the window's design names them.
    QLineEdit* txtFileName = nullptr;
    QPushButton* cmdFile = nullptr;
    QGroupBox* fraSummary = nullptr;
    std::array<QLabel*, 10> lblSummary{};
    QLabel* lblVersion = nullptr;
    QLabel* lblAnalysis = nullptr;
    QLabel* lblProblem = nullptr;
    std::array<QLabel*, 7> lblCounts{};  // lblNodes .. lblFibers
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
    ProgressStrip* picProgress = nullptr;
    QMenu* mnuList = nullptr;
    QAction* mnuListClear = nullptr;
    QAction* mnuListAdd = nullptr;
    QAction* mnuListDelete = nullptr;
    QAction* mnuListAll = nullptr;
};

}  // namespace velto
