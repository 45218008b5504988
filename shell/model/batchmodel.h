#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shell/runner/batchbackend.h"
#include "shell/runner/inputfiles.h"
#include "shell/runner/solverfinder.h"

namespace velto {

class ChildProcess;

// A batch of solver input files: the rows, each row's status and console text, the timing of
// the run, Stop and the user's wish to quit. The files run through a backend, here
// (LocalBackend) or on a cluster (SlurmBackend). A Shell session (BatchSession) holds one and
// decides what may be done with it; the window and velto-batch keep no rows of their own. It has
// no widgets.
//
// A run takes every row: each becomes "Queued", then "Running", then "Completed", "Failed" or
// "Aborted". A row that a stop kept from starting goes back to the status it had before the run.
class BatchModel : public QObject {
    Q_OBJECT

  public:
    struct Row {
        QString path;  // full path of the input file, as shown
        // The path's bytes as the file system knows them (a name need not be UTF-8): what runs.
        std::string nativePath;
        QString status;
        // Why the row did not complete when it last ran, in the console's single-byte text
        // ("Velto ended with exit code 3"); empty when it completed or has not run.
        QByteArray reason = {};
    };

    // The last lines of a row's console text that are kept even when the text itself is not
    // (see setKeepLogs): enough to see what the solver said last, in a bounded room.
    static constexpr int kLastLines = 20;
    static constexpr qsizetype kLastLinesBytes = 4096;

    explicit BatchModel(QObject* parent = nullptr);
    // A batch still running is let go of: local solvers run on, a cluster job stays queued.
    ~BatchModel() override;

    // -- The rows (none of these edits is made while a batch runs: they return false or nothing)
    const std::vector<Row>& rows() const { return rows_; }
    int rowCount() const { return static_cast<int>(rows_.size()); }
    // The row's console text, as kept (see setKeepLogs).
    const QByteArray& log(int row) const;
    // What the row's console shows and its record keeps: its console text, or where that is not
    // kept its last lines (kLastLines), ending with the row's reason.
    QByteArray KeptConsole(int row) const;
    // Adds the files that may be listed, by the one rule (CheckInputFiles against the rows
    // already listed), each with an empty status; says what was refused or listed already.
    CheckedInputs AddFiles(const std::vector<std::string>& candidates);
    // Adds a row as it was kept (a journal, a cluster job's record), without checking the file.
    bool RestoreRow(const QString& path, std::string nativePath, const QString& status = {},
                    const QByteArray& log = {}, const QByteArray& reason = {});
    bool RemoveRow(int row);
    bool ClearRows();
    // Whether each row's console text is kept (the window shows it again; a terminal that
    // streams it does not need to hold a flood of output).
    void setKeepLogs(bool keep) { keepLogs_ = keep; }

    // -- A run
    // Runs every row through `backend` (which the model then owns). Returns at once: rows are
    // "Queued", batchAccepted() or batchRefused() follows (a refused batch leaves the rows as they
    // were), batchFinished() at the end. Refused (false) while a batch runs, or with no rows.
    bool Run(std::unique_ptr<BatchBackend> backend, const SolverInfo& solver);
    // From Run until batchFinished(), batchRefused() or Detach().
    bool running() const { return running_; }
    // Stop asked during this run (each run starts without it).
    bool stopRequested() const { return stopRequested_; }
    // The backend of the running or last batch; null before the first.
    BatchBackend* backend() const { return backend_.get(); }
    // No further file starts; files under way end "Aborted" (see BatchBackend::Stop). Nothing
    // when no batch runs.
    void Stop();
    // Lets go of the running batch: nothing more is heard of it and batchFinished() does not
    // come; rows keep the status last heard (a cluster job runs on).
    void Detach();

    // -- An export after each run
    // After each file that completes, `program` (velto-extract) exports from its listing with
    // these options (ExportOfRun); none when they are empty. The export's word ends the file's
    // console text; a failed export leaves the file's status as it is and is counted for the
    // summary. The batch finishes once the last export has ended.
    void setExportAfterRun(const QString& program, const QStringList& options);
    const QStringList& exportOptions() const { return exportOptions_; }
    // Exports of this batch that failed.
    int exportFailures() const { return exportFailures_; }

    // -- Quitting
    // The user wants to quit. With no batch running, quitReady() comes at once; during a batch
    // the batch stops and quitReady() follows its batchFinished() (or a cluster's refusal).
    void RequestQuit();
    bool quitRequested() const { return quitRequested_; }

    // -- Timing of the running or last batch
    // When it started (UTC); invalid before the first. Kept on disk with the batch.
    const QDateTime& startedAt() const { return startedAt_; }
    // Restores the start as it was kept (a journal); nothing while a batch runs.
    void RestoreStartedAt(const QDateTime& at);
    // The cluster job whose tasks the rows are while it runs, kept on disk with the batch so a
    // window started again (after a crash or a kill) follows it; empty otherwise.
    const QString& clusterJobId() const { return clusterJobId_; }
    void setClusterJobId(const QString& id) { clusterJobId_ = id; }
    // Seconds since the row started (0 when it has not), up to its end.
    double ElapsedSeconds(int row) const;
    // The last progress fraction the row reported.
    float LastFraction(int row) const;
    // "12:05 elapsed, about 3:10 left" for the row.
    QString TimingText(int row) const;
    double BatchSeconds() const;
    // The statuses of the rows this batch started or ended (rows a stop kept from starting are
    // not counted).
    std::vector<QString> StatusesOfThisBatch() const;
    // "Batch finished: 2 Completed, 1 Failed, 0 Aborted in 1:02:03", and "; 1 export failed"
    // when one did.
    QString Summary() const;
    // Every row "Completed".
    bool AllCompleted() const;
    // The status a row keeps on disk: a row waiting in the run keeps the one it had before.
    QString KeptStatus(int row) const;
    // Lets go of the batch after a fault of the program, so that what is kept of it ends as
    // the batch did: rows under way end "Failed", rows waiting go back to what they were.
    void Abandon();

  signals:
    // Rows were added, removed or cleared.
    void rowsChanged();
    // A row's status changed.
    void statusChanged(int row);
    void batchAccepted();
    void batchRefused(const QString& reason);
    // The backend has the row waiting in a queue (a cluster task pending).
    void fileQueued(int row);
    void fileStarted(int row);
    void outputChunk(int row, const QByteArray& text);
    void progress(int row, float fraction, const QString& baseName);
    // Why a file did not complete (see BatchBackend::fileFailedBecause), told before its
    // fileFinished(); the reason ends its console text as well, and stays with the row.
    void fileFailedBecause(int row, const QByteArray& reason);
    void fileFinished(int row, const QString& status);
    // An export after the row's run ended; `text` is its word, as it ends the console text (in
    // the console's code page: see ConsoleText).
    void exportEnded(int row, const QByteArray& text, bool failed);
    // The cluster could not be asked, in one line.
    void clusterMessage(const QString& text);
    void batchFinished();
    // The quit asked for may be carried out now.
    void quitReady();

  private:
    struct State {
        QByteArray log;
        QByteArray tail;        // the console text's end, whether or not the log is kept
        QString earlierStatus;  // what a row a stop kept from starting goes back to
        bool touched = false;   // this batch has started or ended the row
        std::optional<qint64> startedMs;
        qint64 endedMs = -1;
        float fraction = 0;
    };
    bool Editable() const { return !running_; }
    bool Valid(int row) const { return row >= 0 && row < rowCount(); }
    // The first word of the backend on a row: its text of an earlier run goes.
    void Touch(int row);
    void SetStatus(int row, const QString& status);
    void OnQueued(int row);
    void OnStarted(int row, double ranSeconds);
    void OnOutput(int row, const QByteArray& text);
    void OnFinished(int row, const QString& status, double ranSeconds);
    // Rows the run never reached go back to what they were.
    void PutBackWaiting();
    void OnBackendFinished();
    void StartExport(int row);
    void OnExportEnded(int row, const QByteArray& text, bool failed);
    // The backend and every export have ended.
    void FinishBatch();

    std::vector<Row> rows_;
    std::vector<State> states_;
    std::unique_ptr<BatchBackend> backend_;
    bool keepLogs_ = true;
    bool running_ = false;
    bool stopRequested_ = false;
    bool quitRequested_ = false;
    QElapsedTimer clock_;
    QDateTime startedAt_;
    QString clusterJobId_;
    qint64 batchEndedMs_ = -1;
    QString exportProgram_;
    QStringList exportOptions_;
    std::vector<ChildProcess*> exports_;  // under way
    int exportsUnderWay_ = 0;
    int exportFailures_ = 0;
    bool backendFinished_ = false;
};

}  // namespace velto
