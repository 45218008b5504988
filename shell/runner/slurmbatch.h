#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

#include "common/types.h"
#include "shell/runner/batch.h"
#include "shell/runner/slurmjob.h"
#include "shell/runner/solverfinder.h"

class QProcess;
class QTimer;

namespace velto {

// A batch run on a Slurm cluster as one job array, one task per input file, followed from here:
// the same rows, statuses and signals as a local Batch (plus "Queued"), the console text and
// progress read from each file's NAME.log. The window and velto-batch both drive it.
//
// Each job has a folder of its own under JobsFolder(): the script, the manifest of hand-overs,
// job.json (the record that --follow reads), each task's exit code and Slurm's own output.
class SlurmBatch : public QObject {
    Q_OBJECT

  public:
    explicit SlurmBatch(QObject* parent = nullptr);
    ~SlurmBatch() override;

    std::vector<Batch::Row> rows;
    QList<QByteArray> RunLogs;
    void setKeepLogs(bool keep) { keepLogs_ = keep; }

    // "slurm" beside the shell's settings.
    static QString JobsFolder();
    // True when sbatch is on the PATH.
    static bool Available();

    // Submits the files (their paths' bytes) as one job array. On failure returns false with one
    // line in `error` and leaves nothing behind: no job folder, and each earlier NAME.log beside an
    // input file as it was. Once the cluster has accepted the job those earlier logs are gone,
    // so that none passes for the new run's. Following starts with StartFollowing().
    bool Submit(const SolverInfo& solver, const std::vector<std::string>& files,
                const SlurmOptions& options, QString& error);
    // The same for paths given as text.
    bool Submit(const SolverInfo& solver, const QStringList& files, const SlurmOptions& options,
                QString& error);
    // Picks up a job submitted earlier from this account. False with the reason when the job has
    // no record here, is someone else's, or is gone from the cluster without a result.
    bool Follow(const QString& jobId, QString& error);

    // Polls the queue every two seconds until every row has ended; batchFinished() then.
    void StartFollowing();
    // scancel: on success the rows still queued or running end "Aborted" and the batch finishes;
    // on failure clusterMessage() tells why and following goes on.
    void Cancel();
    // Stops following; the job runs on. Nothing more is emitted.
    void StopFollowing();

    const QString& jobId() const { return record_.jobId; }
    const QString& jobFolder() const { return record_.folder; }
    bool IsFollowing = false;

    // As Batch's: seconds a row has run, its last progress, the batch's seconds, the statuses.
    double ElapsedSeconds(int row) const;
    float LastFraction(int row) const;
    double BatchSeconds() const;
    std::vector<QString> StatusesOfThisBatch() const;

    // How often the queue is asked: every two seconds unless a test asks for more.
    void setPollIntervalMs(int ms);

  signals:
    void fileQueued(int row);
    void fileStarted(int row);
    void outputChunk(int row, const QByteArray& text);
    void progress(int row, float fraction, const QString& baseName);
    void fileFinished(int row, const QString& status);
    void batchFinished();
    // The cluster could not be asked (squeue or scancel failed), in one line.
    void clusterMessage(const QString& text);

  private:
    struct Task {
        std::string folder;
        std::string baseName;
        Single endTime = 0;
        qint64 logOffset = 0;
        std::string pending;
        bool readingEnded = false;
        // Backdated by the time the task had run when first seen: may lie before our start.
        std::optional<qint64> startedMs;
        qint64 endedMs = -1;
        float fraction = 0;
    };

    void SetUpRows();
    void Poll();
    void OnPolled(int exitCode, const QString& out, const QString& err);
    void Apply(int row, const QString& status, double usedSeconds);
    void ReadLog(int row, bool flush);
    void HandleChunk(int row, const std::string& chunk);
    void EndAll(const QString& status);
    void Finished();
    std::optional<int> ExitCodeOf(int row) const;
    void Message(const QString& text);

    SlurmRecord record_;
    std::vector<Task> tasks_;
    QString squeue_;
    QString scancel_;
    QTimer* timer_ = nullptr;
    QProcess* poll_ = nullptr;
    QProcess* cancel_ = nullptr;
    qint64 pollStartedMs_ = 0;
    QElapsedTimer clock_;
    qint64 endedMs_ = -1;
    QString lastMessage_;
    bool keepLogs_ = true;
};

}  // namespace velto
