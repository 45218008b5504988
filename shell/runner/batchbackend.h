#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <string>
#include <vector>

#include "shell/runner/solverfinder.h"

namespace velto {

// The status texts of a row.
inline const QString kStatusQueued = QStringLiteral("Queued");  // waits its turn in a run
inline const QString kStatusRunning = QStringLiteral("Running");
inline const QString kStatusCompleted = QStringLiteral("Completed");
inline const QString kStatusFailed = QStringLiteral("Failed");
inline const QString kStatusAborted = QStringLiteral("Aborted");
// A row that was running when the program ended without finishing it.
inline const QString kStatusInterrupted = QStringLiteral("Interrupted");

// Where the files of a batch run: here, as child processes (LocalBackend), or on a cluster
// (SlurmBackend). The batch model drives one backend per batch and keeps the rows, their
// statuses, logs and timing from what it hears; a backend keeps no rows of its own.
//
// Files are numbered from 0 in the order Start was given them. Every answer comes as a signal,
// from the event loop, never from within a call of the model's: a backend never waits on a
// process.
class BatchBackend : public QObject {
    Q_OBJECT

  public:
    using QObject::QObject;

    // Starts the batch on these input files (their paths' bytes). Returns at once; accepted() or
    // refused() follows, then the files' signals, then finished() once every file has ended.
    virtual void Start(const SolverInfo& solver, const std::vector<std::string>& files) = 0;
    // The user's stop: no further file starts and the files under way end "Aborted". A local run
    // leaves its solvers alone; a cluster cancels the job, and when the cluster refuses, message()
    // says why and the batch goes on.
    virtual void Stop() = 0;
    // Lets go of the batch: nothing more is heard of it, and what runs runs on (a cluster job
    // stays in its queue).
    virtual void Detach() = 0;
    // The model can keep no more of this file's console text (memory ran out): a local run ends
    // "Failed" with `reason` as its last text; a cluster stops reading the file's log, and its
    // status still comes.
    virtual void GiveUpOutput(int file, const QByteArray& reason) = 0;

  signals:
    // The batch is under way (a local batch at once; a cluster job once sbatch has answered).
    void accepted();
    // Nothing ran and nothing was left behind; finished() does not follow.
    void refused(const QString& reason);
    // The file waits in the cluster's queue (again, when a running task was requeued).
    void fileQueued(int file);
    // The file runs; `ranSeconds` is how long it has run already (a task first seen running).
    void fileStarted(int file, double ranSeconds);
    void outputChunk(int file, const QByteArray& text);
    void progress(int file, float fraction, const QString& baseName);
    // Why the file did not complete, told before its fileFinished() ("Failed", or "Aborted" by
    // the cluster): a reason of ours, the solver's exit code or signal (EndReason), or the
    // cluster's cause (ClusterReason). The reason is the last line of its console text as well.
    void fileFailedBecause(int file, const QByteArray& reason);
    // "Completed", "Failed" or "Aborted"; `ranSeconds` as for fileStarted, for a file never seen
    // running.
    void fileFinished(int file, const QString& status, double ranSeconds);
    // The cluster could not be asked (squeue or scancel failed), in one line.
    void message(const QString& text);
    // Every file has ended (or a stop ended those under way).
    void finished();
};

}  // namespace velto
