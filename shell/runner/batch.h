#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "shell/runner/solverfinder.h"

namespace velto {

class SolverRun;

// The status texts of a row.
inline const QString kStatusRunning = QStringLiteral("Running");
inline const QString kStatusCompleted = QStringLiteral("Completed");
inline const QString kStatusFailed = QStringLiteral("Failed");
inline const QString kStatusAborted = QStringLiteral("Aborted");
// A row that was running when the program ended without finishing it.
inline const QString kStatusInterrupted = QStringLiteral("Interrupted");

// A batch of solver input files run one after another (or a few at a time), with each row's
// status and console text. The window and velto-batch both drive this model; it has no widgets.
class Batch : public QObject {
    Q_OBJECT

  public:
    struct Row {
        QString path;    // full path of the input file, as shown
        QString status;  // "", "Running", "Completed", "Failed" or "Aborted"
        // The path's bytes as the file system knows them (a name need not be UTF-8): what runs.
        std::string nativePath;
    };

    explicit Batch(QObject* parent = nullptr);
    ~Batch() override;

    // The rows. RunLogs holds one console text per row, in step with the rows.
    std::vector<Row> rows;
    QList<QByteArray> RunLogs;

    // Adds a row with an empty status and log. The path's bytes are taken from the text unless
    // given.
    void AddRow(const QString& path, std::string nativePath = {});
    // Removes row i and its log (not while the batch runs).
    void RemoveRow(int i);
    void ClearRows();

    // Whether each row's console text is kept in RunLogs (the window shows them again; a
    // terminal that streams them does not need to hold a flood of output).
    void setKeepLogs(bool keep) { keepLogs_ = keep; }

    // Runs every row from the first, up to `jobs` at a time (1: one after another), until the
    // rows are done or Stop is called. Returns at once; batchFinished() follows.
    void Run(const SolverInfo& solver, int jobs = 1);
    // Stop: no further file starts, and the running ones end "Aborted" (or "Completed" when they
    // had already ended well). The solver processes are left alone.
    void Stop();

    // Timing of the running or last batch: seconds since a row started (0 when it has not), the
    // last progress fraction it reported, the seconds since the batch started, and the statuses
    // of the rows this batch started (rows a stop kept from starting are not counted).
    double ElapsedSeconds(int row) const;
    float LastFraction(int row) const;
    double BatchSeconds() const;
    std::vector<QString> StatusesOfThisBatch() const;

    bool IsRunning = false;
    bool StopRequested = false;
    // Set by a window whose user confirmed quitting during the batch; the window closes when
    // batchFinished() comes.
    bool UnloadRequested = false;

  signals:
    // Rows were added, removed or cleared.
    void rowsChanged();
    void fileStarted(int row);
    void outputChunk(int row, const QByteArray& text);
    void progress(int row, float fraction, const QString& baseName);
    // A file failed, and why (see SolverRun::failedBecause), told before its fileFinished(); the
    // reason ends its console text as well.
    void fileFailedBecause(int row, const QByteArray& reason);
    void fileFinished(int row, const QString& status);
    void batchFinished();

  private:
    void StartNext();
    void OnRunFinished(SolverRun* run, int row, int outcome);
    // Gives the row its outcome, after `message` (if any) in its console text.
    void EndRow(int row, int outcome, const QByteArray& message);

    SolverInfo solver_;
    int jobs_ = 1;
    int next_ = 0;
    bool keepLogs_ = true;
    bool active_ = false;
    std::vector<std::pair<SolverRun*, int>> running_;
    struct Timing {
        qint64 startedMs = -1;
        qint64 endedMs = -1;
        float fraction = 0;
    };
    std::vector<Timing> timing_;
    QElapsedTimer clock_;
    qint64 batchEndedMs_ = -1;
};

}  // namespace velto
