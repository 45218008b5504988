#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/types.h"
#include "shell/cluster/slurmjob.h"
#include "shell/runner/batchbackend.h"

class QProcess;
class QTimer;

namespace velto {

class LogsSetAside;

// The files of a batch run on a Slurm cluster as one job array, one task per input file, and
// followed from here: "Queued" while a task waits, the console text and progress read from each
// file's NAME.log. sbatch, squeue and scancel all answer through the event loop; nothing here
// waits on them.
//
// Each job has a folder of its own under JobsFolder(): the script, the manifest of hand-overs,
// job.json (the record that --follow reads), each task's exit code and Slurm's own output.
class SlurmBackend : public BatchBackend {
    Q_OBJECT

  public:
    // Submits the files it is started on as a new job.
    explicit SlurmBackend(SlurmOptions options, QObject* parent = nullptr);
    // Picks up a job submitted earlier (see FindJob); Start's files are the record's.
    explicit SlurmBackend(SlurmRecord job, QObject* parent = nullptr);
    // A submission still waiting on sbatch ends with us: sbatch is stopped, the earlier logs go
    // back and the job's folder goes.
    ~SlurmBackend() override;

    // "slurm" beside the shell's settings.
    static QString JobsFolder();
    // True when sbatch is on the PATH.
    static bool Available();
    // The record of a job submitted from this account; none, with the reason, for a text that is
    // no job id or a job with no record here.
    static std::optional<SlurmRecord> FindJob(const QString& jobId, QString& error);

    // A new job: writes its folder and sets earlier NAME.log files aside, then asks sbatch.
    // refused() says why nothing was submitted, and leaves nothing behind: no job folder, and
    // each earlier NAME.log as it was. Once the cluster has accepted the job those earlier logs
    // are gone, so that none passes for the new run's. A job picked up: squeue is asked first,
    // and a job that is someone else's, or gone from the cluster without a result, is refused.
    void Start(const SolverInfo& solver, const std::vector<std::string>& files) override;
    // scancel: on success the files still queued or running end "Aborted" and the batch
    // finishes; on failure message() tells why and following goes on. Asked while sbatch answers,
    // the job is cancelled once it has an id.
    void Stop() override;
    // Stops following; the job runs on.
    void Detach() override;
    void GiveUpOutput(int file, const QByteArray& reason) override;

    const QString& jobId() const { return record_.jobId; }
    const QString& jobFolder() const { return record_.folder; }
    // Between Start and accepted() or refused().
    bool starting() const { return starting_; }

    // How often the queue is asked: every two seconds unless a test asks for more.
    void setPollIntervalMs(int ms);

  private:
    struct Task {
        std::string folder;
        std::string baseName;
        Single endTime = 0;
        QString status;  // as last applied; empty before the first answer
        qint64 logOffset = 0;
        std::string pending;
        bool readingEnded = false;
        bool started = false;  // seen running, or its log read
        std::string line;      // the log's line under way (its start)
        std::string lastLine;  // the log's last whole line, without its line end
    };

    void Submit(const SolverInfo& solver, const std::vector<std::string>& files);
    void OnSubmitted(int exitCode, const QString& out, const QString& err, const QString& failure);
    void CheckJob();
    void OnChecked(int exitCode, const QString& out, const QString& err, const QString& failure);
    // A job the queue no longer knows, with no word from its files: taken up when the
    // accounting knows it as ours, else refused.
    void CheckAccounting();
    void Accept();
    void RefuseSoon(const QString& reason);
    void SetUpTasks();
    void Poll();
    void OnPolled(int exitCode, const QString& out, const QString& err);
    // Asks sacct how the tasks that left the queue unseen ended, then applies what both said.
    void AskAccounting(const std::map<int, SlurmTaskState>& queue);
    void ApplyStates(const std::map<int, SlurmTaskState>& queue);
    // How a task ended that squeue or sacct lists in `state` (empty: neither knows it now).
    TaskEnd EndOf(int file, const QString& state, std::optional<int> accountedCode);
    void Apply(int file, const QString& status, double usedSeconds, const QByteArray& reason = {});
    void ReadLog(int file, bool flush);
    void HandleChunk(int file, const std::string& chunk);
    // The reason as the last line of the file's log and console text, unless the task's script
    // has put it there already.
    void CloseLog(int file, const QByteArray& reason);
    void Cancel();
    void EndAll(const QString& status);
    void Finished();
    std::optional<TaskExit> ExitOf(int file) const;
    // What Slurm's own output for the task says ended it.
    ClusterCause OutputCauseOf(int file) const;
    void Message(const QString& text);
    void LetGo();

    SlurmOptions options_;
    bool following_ = false;
    bool starting_ = false;
    bool stopAfterStart_ = false;
    bool pickedUp_ = false;
    SlurmRecord record_;
    std::vector<Task> tasks_;
    QString squeue_;
    QString scancel_;
    QString sacct_;  // empty, or once it has failed (a cluster without accounting)
    QTimer* timer_ = nullptr;
    QProcess* sbatch_ = nullptr;
    QProcess* poll_ = nullptr;
    QProcess* cancel_ = nullptr;
    QProcess* account_ = nullptr;
    bool recordChanged_ = false;  // an end was seen that job.json does not hold yet
    std::unique_ptr<LogsSetAside> setAside_;
    qint64 pollStartedMs_ = 0;
    QElapsedTimer clock_;
    QString lastMessage_;
};

}  // namespace velto
