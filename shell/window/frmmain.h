#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <functional>

#include "shell/runner/solverfinder.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSystemTrayIcon;
class QTreeWidget;

namespace velto {

class TrayReturn;

class InputFileOpener;
class BatchModel;
class BatchSession;
class ProgressStrip;
class SlurmBackend;

// The dialogs and the desktop services of the shell window, replaceable so tests can drive it
// without a person.
struct ShellDialogs {
    // The multi-select Add dialog: the chosen files (full paths), empty for Cancel.
    std::function<QStringList(QWidget* parent, const QString& folder)> addFiles;
    // The folder browser: the chosen folder, empty for Cancel.
    std::function<QString(QWidget* parent, const QString& title, const QString& start)> browse;
    // Hands a file to the desktop's opener for the program it associates with it; false when the
    // opener refused. (Why a file cannot be opened is the InputFileOpener's to find.)
    std::function<bool(const QString& path)> openFile;
    // Shows the About box, modal to the parent.
    std::function<void(QWidget* parent)> about;
    // Asks for the export options after each run, offering `current`; empty for Cancel.
    std::function<QString(QWidget* parent, const QString& current)> exportOptions;
    // Starts a program of ours on its own, outliving this window; false when it cannot start.
    std::function<bool(const QString& program, const QStringList& arguments)> startDetached;
};

// The text of the progress label, the minimised caption and the tray tip for a fraction.
struct ProgressTexts {
    QString label;    // "45%", with 0 shown as 1 and 100 as 99
    QString caption;  // "beam1 45 % - Velto Shell"
    QString tip;      // "Running file: beam1 45 %"
};
ProgressTexts ProgressTextsFor(float fraction, const QString& fileName);

// The VeltoShell window: the batch list, Run and Stop, the live console text and progress, the
// solver path, the tray icon and the help. It is a view of the Shell session: it shows the
// session's rows and what it enables, asks the session's questions in message boxes and turns the
// user's commands into the session's, and keeps no rows, rules or processes of its own.
class FrmMain : public QMainWindow {
    Q_OBJECT

  public:
    explicit FrmMain(ShellDialogs dialogs = {}, QWidget* parent = nullptr);
    ~FrmMain() override;

    void onAddClicked();
    void onDeleteClicked();
    void onClearClicked();
    void onRunClicked();
    // On a cluster, asks whether to cancel the job or only to stop following it.
    void onStopClicked();
    void onVeltoPathClicked();
    // Submits the listed files to the Slurm cluster and follows them; returns while sbatch
    // answers.
    void onRunOnClusterTriggered();
    void onFileClicked(int row);
    void onFileDoubleClicked(int row);
    // Show Results of the selected row: VeltoExtract, beside this program, opens the row's
    // listing, following it while the row runs.
    void onShowResultsTriggered();
    void onTrayToggled();
    // "Export after each run" checked: asks for the export options (refusing options that cannot
    // be used, until Cancel); unchecked: no export. Kept for the next session either way.
    void onExportAfterRunTriggered();

    // The console pane: text added at its end, or all of it.
    void appendConsoleText(const QString& text);
    void setConsoleText(const QString& text);

    BatchSession& session() { return *session_; }
    BatchModel& batch();
    // What a double click on a row opens its file with.
    InputFileOpener& opener() { return *opener_; }
    // The cluster job the window follows or submits now; null otherwise.
    SlurmBackend* clusterJob() const;
    const SolverInfo& solver() const;
    bool trayIconShown() const { return trayIconShown_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    // Says why a run cannot start (no solver), and whether it was refused.
    bool RefusedForNoSolver();
    void buildControls();
    void connectModel();
    void loadForm();
    void unloadForm();
    void showRows();
    void showStatus(int row);
    void showProgress(int row, float fraction, const QString& fileName);
    // The controls as the session enables them.
    void showEnabling();
    // Show Results as the selected row allows it.
    void showResultsEnabling();
    void onBatchFinished();
    int selectedRow() const;
    QString helpFile() const;

    ShellDialogs dialogs_;
    BatchSession* session_ = nullptr;
    InputFileOpener* opener_ = nullptr;
    QString lastAddFolder_;
    bool trayIconShown_ = false;
    bool unloaded_ = false;

    QTreeWidget* lvwFiles = nullptr;
    QPlainTextEdit* txtRun = nullptr;
    QPushButton* cmdAdd = nullptr;
    QPushButton* cmdDelete = nullptr;
    QPushButton* cmdClear = nullptr;
    QPushButton* cmdRun = nullptr;
    QPushButton* cmdStop = nullptr;
    QLabel* lblVeltoPath = nullptr;
    QLineEdit* txtVeltoPath = nullptr;
    QPushButton* cmdVeltoPath = nullptr;
    QLabel* sbPanel1 = nullptr;
    QLabel* sbTime = nullptr;
    ProgressStrip* picProgress = nullptr;
    QAction* mnuFileAdd = nullptr;
    QAction* mnuFileDelete = nullptr;
    QAction* mnuFileClear = nullptr;
    QAction* mnuFileExit = nullptr;
    QAction* mnuAnalysisRun = nullptr;
    QAction* mnuAnalysisStop = nullptr;
    QAction* mnuAnalysisCluster = nullptr;
    QAction* mnuShowResults = nullptr;
    QAction* mnuVeltoPath = nullptr;
    QAction* mnuToolsExport = nullptr;
    QAction* mnuToolsTray = nullptr;
    QAction* mnuHelpContents = nullptr;
    QAction* mnuHelpAbout = nullptr;
    QMenu* mPopupSys = nullptr;
    QAction* mPopRestore = nullptr;
    QAction* mPopExit = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    TrayReturn* trayReturn_ = nullptr;  // brings the hidden window back when started again
};

}  // namespace velto
