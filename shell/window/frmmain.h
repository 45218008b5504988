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

class Batch;
class BatchJournal;
class SlurmBatch;
class ProgressStrip;

// The dialogs and the desktop services of the shell window, replaceable so tests can drive it
// without a person.
struct ShellDialogs {
    // The multi-select Add dialog: the chosen files (full paths), empty for Cancel.
    std::function<QStringList(QWidget* parent, const QString& folder)> addFiles;
    // The folder browser: the chosen folder, empty for Cancel.
    std::function<QString(QWidget* parent, const QString& title, const QString& start)> browse;
    // Opens a file in the program the desktop associates with it; false when none opened.
    std::function<bool(const QString& path)> openFile;
    // Shows the About box, modal to the parent.
    std::function<void(QWidget* parent)> about;
};

// The text of the progress label, the minimised caption and the tray tip for a fraction.
struct ProgressTexts {
    QString label;    // "45%", with 0 shown as 1 and 100 as 99
    QString caption;  // "beam1 45 % - Velto Shell"
    QString tip;      // "Running file: beam1 45 %"
};
ProgressTexts ProgressTextsFor(float fraction, const QString& fileName);

// The VeltoShell window: the batch list, Run and Stop, the live console text and progress, the
// solver path, the tray icon and the help. It drives the shared batch model and adds no process
// handling of its own.
class FrmMain : public QMainWindow {
    Q_OBJECT

  public:
    explicit FrmMain(ShellDialogs dialogs = {}, QWidget* parent = nullptr);
    ~FrmMain() override;

    void cmdAdd_Click();
    void cmdDelete_Click();
    void cmdClear_Click();
    void cmdRun_Click();
    void cmdStop_Click();
    void cmdVeltoPath_Click();
    // Submits the listed files to the Slurm cluster and follows them.
    void mnuAnalysisCluster_Click();
    void lvwFiles_ItemClick(int row);
    void lvwFiles_DblClick(int row);
    void mnuToolsTray_Click();

    // Called back by the batch.
    void UpdateProgress(float fraction, const QString& fileName);
    void AppendText(const QString& text);
    void SetText(const QString& text);

    Batch& batch() { return *batch_; }
    SlurmBatch& cluster() { return *cluster_; }
    const SolverInfo& solver() const { return solver_; }
    bool TrayIconShown() const { return trayIconShown_; }
    QString LastAddFolder;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void BuildControls();
    void FormLoad();
    void FormUnload();
    void SetRunning(bool running);
    void SetListCommands(bool enabled);
    void OnBatchFinished();
    void ConnectCluster();
    int SelectedRow() const;
    QString HelpFile() const;

    ShellDialogs dialogs_;
    Batch* batch_ = nullptr;
    SlurmBatch* cluster_ = nullptr;
    bool clusterAvailable_ = false;
    SolverInfo solver_;
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
    BatchJournal* journal_ = nullptr;
    int runningRow_ = -1;
    ProgressStrip* picProgress = nullptr;
    QAction* mnuFileAdd = nullptr;
    QAction* mnuFileDelete = nullptr;
    QAction* mnuFileClear = nullptr;
    QAction* mnuFileExit = nullptr;
    QAction* mnuAnalysisRun = nullptr;
    QAction* mnuAnalysisStop = nullptr;
    QAction* mnuAnalysisCluster = nullptr;
    QAction* mnuVeltoPath = nullptr;
    QAction* mnuToolsTray = nullptr;
    QAction* mnuHelpContents = nullptr;
    QAction* mnuHelpAbout = nullptr;
    QMenu* mPopupSys = nullptr;
    QAction* mPopRestore = nullptr;
    QAction* mPopExit = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
};

}  // namespace velto
