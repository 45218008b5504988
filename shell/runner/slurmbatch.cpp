#include "shell/runner/slurmbatch.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>

#include "common/error.h"
#include "shell/runner/batchjournal.h"
#include "shell/runner/endtime.h"
#include "shell/runner/inputfiles.h"
#include "shell/runner/solveroutput.h"

namespace velto {

namespace {

constexpr int kCommandTimeoutMs = 120000;
// A poll that hangs (a controller that does not answer) is given up after this long.
constexpr qint64 kPollGiveUpMs = 60000;

// Every task of the job, finished ones too, one line each: task id, state, time used, job name.
QStringList SqueueArguments(const QString& jobId) {
    return {QStringLiteral("--array"), QStringLiteral("--states=all"), QStringLiteral("--noheader"),
            QStringLiteral("--jobs=") + jobId, QStringLiteral("--format=%K %T %M %j")};
}

struct CommandResult {
    bool ran = false;
    int exitCode = -1;
    QString out;
    QString err;
};

// A Slurm command run to its end (submission and the first look at a job are one-off).
// `started` learns the command's process id as soon as there is one.
CommandResult RunCommand(const QString& program, const QStringList& arguments,
                         const std::function<void(qint64)>& started = {}) {
    QProcess process;
    process.start(program, arguments);
    if (started && process.processId() > 0) {
        started(process.processId());
    }
    CommandResult result;
    if (!process.waitForStarted(kCommandTimeoutMs)) {
        result.err = QStringLiteral("%1 could not be started").arg(program);
        return result;
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(kCommandTimeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        result.err = QStringLiteral("%1 did not answer within two minutes").arg(program);
        return result;
    }
    result.ran = process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

// squeue's answer for a job that has left the controller's memory.
bool IsUnknownJob(const QString& squeueError) {
    return squeueError.contains(QStringLiteral("Invalid job id"), Qt::CaseInsensitive);
}

// A command's complaint in one line, without the "sbatch: error: " its lines start with.
QString OneLine(const QString& text) {
    QStringList parts;
    for (QString line : text.split('\n', Qt::SkipEmptyParts)) {
        line = line.trimmed();
        const qsizetype colon = line.indexOf(QStringLiteral(": error: "));
        if (colon >= 0) {
            line = line.mid(colon + 9);
        }
        if (!line.isEmpty()) {
            parts.append(line);
        }
    }
    return parts.join(QStringLiteral("; "));
}

// --- earlier logs set aside while sbatch answers ------------------------------------------------

// The signals that end a program: a kill, a dropped session, Ctrl+\ and Ctrl+C.
constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGQUIT, SIGINT};

// What a signal handler needs, in place before the handlers are: the (log, aside) pairs, how many
// of them have been moved, and sbatch's process while it answers.
const std::vector<std::pair<std::string, std::string>>* asideLogs = nullptr;
volatile std::sig_atomic_t asideMoved = 0;
volatile std::sig_atomic_t sbatchProcess = 0;

sigset_t EndingSignals() {
    sigset_t ending;
    sigemptyset(&ending);
    for (int signal : kEndingSignals) {
        sigaddset(&ending, signal);
    }
    return ending;
}

// Async-signal-safe: kill, rename, sigaction and raise only.
void PutBackAndEnd(int signal) {
    if (sbatchProcess > 0) {
        ::kill(static_cast<pid_t>(sbatchProcess), SIGTERM);  // the submission ends with us
    }
    for (std::sig_atomic_t i = 0; i < asideMoved; ++i) {
        const auto& [log, aside] = (*asideLogs)[static_cast<std::size_t>(i)];
        ::rename(aside.c_str(), log.c_str());
    }
    // End as the signal would have.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
}

// Earlier NAME.log files moved aside (hidden, beside them) for as long as sbatch answers. Each goes
// back when the job is refused, and also when a signal ends the program meanwhile, so that a
// kill or a dropped session never leaves a log hidden; an accepted job removes only the
// set-aside copies. Signals that the program ignores or handles itself are left to it.
class LogsSetAside {
  public:
    explicit LogsSetAside(std::vector<std::pair<std::string, std::string>> logs)
        : logs_(std::move(logs)) {
        const Held held;
        asideLogs = &logs_;
        asideMoved = 0;
        sbatchProcess = 0;
        struct sigaction action {};
        action.sa_handler = PutBackAndEnd;
        action.sa_mask = EndingSignals();
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            struct sigaction current {};
            ::sigaction(kEndingSignals[i], nullptr, &current);
            if (current.sa_handler == SIG_DFL && (current.sa_flags & SA_SIGINFO) == 0) {
                ::sigaction(kEndingSignals[i], &action, &previous_[i]);
                installed_[i] = true;
            }
        }
    }
    ~LogsSetAside() {
        const Held held;
        Uninstall();
    }
    LogsSetAside(const LogsSetAside&) = delete;
    LogsSetAside& operator=(const LogsSetAside&) = delete;

    // Moves each log aside; on failure puts back those moved and says why.
    bool MoveAside(QString& error) {
        for (const auto& [log, aside] : logs_) {
            const Held held;
            // Counted first: a handler that runs before the move finds no copy to put back.
            asideMoved = asideMoved + 1;
            if (std::rename(log.c_str(), aside.c_str()) != 0) {
                const QString why = QString::fromLocal8Bit(std::strerror(errno));
                asideMoved = asideMoved - 1;
                PutBack();
                error = QStringLiteral("cannot move the earlier log %1 aside: %2")
                            .arg(PrintablePath(log), why);
                return false;
            }
        }
        return true;
    }
    void SbatchStarted(qint64 process) { sbatchProcess = static_cast<std::sig_atomic_t>(process); }
    void PutBack() {
        Settle([](const std::string& log, const std::string& aside) {
            std::rename(aside.c_str(), log.c_str());
        });
    }
    void Remove() {
        Settle([](const std::string&, const std::string& aside) { ::unlink(aside.c_str()); });
    }

  private:
    // Holds the ending signals back for steps that a handler must not see half-done; one that
    // came meanwhile ends the program when they are let go.
    class Held {
      public:
        Held() {
            const sigset_t ending = EndingSignals();
            ::pthread_sigmask(SIG_BLOCK, &ending, &previous_);
        }
        ~Held() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;

      private:
        sigset_t previous_;
    };

    // The handlers go before the logs are settled, with the signals held, so that a signal
    // finds the logs either all in their set-aside state or all settled.
    template <typename Step>
    void Settle(Step step) {
        const Held held;
        const std::sig_atomic_t moved = asideMoved;
        Uninstall();
        for (std::sig_atomic_t i = 0; i < moved; ++i) {
            const auto& [log, aside] = logs_[static_cast<std::size_t>(i)];
            step(log, aside);
        }
    }
    void Uninstall() {
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            if (installed_[i]) {
                ::sigaction(kEndingSignals[i], &previous_[i], nullptr);
                installed_[i] = false;
            }
        }
        asideMoved = 0;
        sbatchProcess = 0;
        asideLogs = nullptr;
    }

    std::vector<std::pair<std::string, std::string>> logs_;
    struct sigaction previous_[std::size(kEndingSignals)]{};
    bool installed_[std::size(kEndingSignals)] = {};
};

std::optional<SlurmRecord> FindRecord(const QString& jobId) {
    QDir jobs(SlurmBatch::JobsFolder());
    std::optional<SlurmRecord> found;
    // Folder names start with the submission time: the newest record of a reused id wins.
    for (const QString& name : jobs.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        std::optional<SlurmRecord> record =
            SlurmRecord::Load(jobs.filePath(name) + QStringLiteral("/job.json"));
        if (record && record->jobId == jobId) {
            found = record;
        }
    }
    return found;
}

}  // namespace

SlurmBatch::SlurmBatch(QObject* parent) : QObject(parent) {
    timer_ = new QTimer(this);
    timer_->setInterval(2000);
    connect(timer_, &QTimer::timeout, this, &SlurmBatch::Poll);
}

SlurmBatch::~SlurmBatch() {
    StopFollowing();
}

void SlurmBatch::setPollIntervalMs(int ms) {
    timer_->setInterval(ms);
}

QString SlurmBatch::JobsFolder() {
    return BatchJournal::DefaultPath(QStringLiteral("slurm"));
}

bool SlurmBatch::Available() {
    return !QStandardPaths::findExecutable(QStringLiteral("sbatch")).isEmpty();
}

bool SlurmBatch::Submit(const SolverInfo& solver, const QStringList& files,
                        const SlurmOptions& options, QString& error) {
    std::vector<std::string> paths;
    for (const QString& file : files) {
        paths.push_back(PathBytes(file));
    }
    return Submit(solver, paths, options, error);
}

bool SlurmBatch::Submit(const SolverInfo& solver, const std::vector<std::string>& files,
                        const SlurmOptions& options, QString& error) {
    const QString sbatch = QStandardPaths::findExecutable(QStringLiteral("sbatch"));
    squeue_ = QStandardPaths::findExecutable(QStringLiteral("squeue"));
    scancel_ = QStandardPaths::findExecutable(QStringLiteral("scancel"));
    if (sbatch.isEmpty() || squeue_.isEmpty()) {
        error = QStringLiteral(
            "sbatch and squeue were not found on the PATH: a batch goes to the cluster from a "
            "machine with the Slurm commands");
        return false;
    }
    if (files.empty()) {
        error = QStringLiteral("no input file given");
        return false;
    }
    for (const std::string& file : files) {
        // The task types the name to the solver as a local run does: a line end cannot go.
        const QString problem = NameProblem(file);
        if (!problem.isEmpty()) {
            error = problem;
            return false;
        }
    }

    // A folder of its own per job, named after the submission time (so that names sort in
    // the order of submission).
    QDir jobs(JobsFolder());
    jobs.mkpath(QStringLiteral("."));
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name;
    for (int n = 1;; ++n) {
        name = QStringLiteral("velto-%1-%2").arg(stamp).arg(n, 3, 10, QLatin1Char('0'));
        if (jobs.mkdir(name)) {
            break;
        }
        if (n >= 1000) {
            error = QStringLiteral("cannot create a job folder in %1").arg(jobs.path());
            return false;
        }
    }
    SlurmRecord record;
    record.jobName = name;
    record.folder = jobs.absoluteFilePath(name);
    std::string manifest;
    for (const std::string& file : files) {
        const std::string path = AbsolutePath(file);
        record.files.append(PathText(path));
        record.nativeFiles.push_back(path);
        manifest += ManifestLine(HandOverFor(solver, path));
    }
    const QString manifestPath = record.folder + QStringLiteral("/manifest");
    const QString scriptPath = record.folder + QStringLiteral("/job.sh");
    const std::string script =
        JobScript(solver.Command(), PathBytes(manifestPath), PathBytes(record.folder));
    auto writeFile = [](const QString& path, const std::string& bytes) {
        QFile out(path);
        return out.open(QIODevice::WriteOnly) &&
               out.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
                   static_cast<qint64>(bytes.size());
    };
    const bool written =
        writeFile(manifestPath, manifest) && writeFile(scriptPath, script) &&
        QFile::setPermissions(scriptPath, QFile::permissions(scriptPath) | QFile::ExeOwner) &&
        record.Save();
    if (!written) {
        QDir(record.folder).removeRecursively();
        error = QStringLiteral("cannot write the job's files in %1").arg(record.folder);
        return false;
    }
    // A log left by an earlier run would pass for this run's until the task starts. It is moved
    // aside rather than removed: a refused job puts it back, and an accepted job removes only
    // the set-aside copy, never a log that a task that started at once has begun to write.
    std::vector<std::pair<std::string, std::string>> earlierLogs;
    for (const std::string& path : record.nativeFiles) {
        const NameHandOver handOver = HandOverFor(solver, path);
        const std::string log = handOver.folder + "/" + handOver.baseName + ".log";
        struct stat info {};
        if (::lstat(log.c_str(), &info) == 0) {
            earlierLogs.emplace_back(
                log, handOver.folder + "/." + handOver.baseName + ".log." + PathBytes(name));
        }
    }
    LogsSetAside setAside(std::move(earlierLogs));
    if (!setAside.MoveAside(error)) {
        QDir(record.folder).removeRecursively();
        return false;
    }

    const CommandResult result =
        RunCommand(sbatch,
                   SbatchArguments(options, static_cast<int>(record.files.size()), name,
                                   record.folder, scriptPath),
                   [&setAside](qint64 process) { setAside.SbatchStarted(process); });
    const QString id = result.ran && result.exitCode == 0 ? ParseJobId(result.out) : QString();
    if (id.isEmpty()) {
        setAside.PutBack();
        QDir(record.folder).removeRecursively();
        const QString why = OneLine(result.err.isEmpty() ? result.out : result.err);
        error = QStringLiteral("the cluster refused the job") +
                (why.isEmpty() ? QString() : QStringLiteral(": ") + why);
        return false;
    }
    setAside.Remove();
    record.jobId = id;
    record.Save();
    record_ = record;
    SetUpRows();
    return true;
}

bool SlurmBatch::Follow(const QString& jobId, QString& error) {
    const QString id = ParseJobId(jobId);
    if (id.isEmpty() || id != jobId.trimmed()) {
        error = QStringLiteral("'%1' is not a job id").arg(jobId);
        return false;
    }
    std::optional<SlurmRecord> record = FindRecord(id);
    if (!record) {
        error = QStringLiteral(
                    "job %1 was not submitted by velto-batch from this account (no "
                    "record of it in %2)")
                    .arg(id, JobsFolder());
        return false;
    }
    squeue_ = QStandardPaths::findExecutable(QStringLiteral("squeue"));
    scancel_ = QStandardPaths::findExecutable(QStringLiteral("scancel"));
    if (squeue_.isEmpty()) {
        error = QStringLiteral("squeue was not found on the PATH");
        return false;
    }
    const CommandResult result = RunCommand(squeue_, SqueueArguments(id));
    if (!result.ran || (result.exitCode != 0 && !IsUnknownJob(result.err))) {
        error = QStringLiteral("cannot ask the cluster about job %1: %2")
                    .arg(id, OneLine(result.err.isEmpty() ? result.out : result.err));
        return false;
    }
    const std::map<int, SlurmTaskState> tasks =
        result.exitCode == 0 ? ParseSqueue(result.out) : std::map<int, SlurmTaskState>();
    for (const auto& [task, state] : tasks) {
        if (state.jobName != record->jobName) {
            error = QStringLiteral(
                        "job %1 on the cluster is not the batch velto-batch submitted "
                        "(it is named %2, not %3)")
                        .arg(id, state.jobName, record->jobName);
            return false;
        }
    }
    record_ = *record;
    SetUpRows();
    if (tasks.empty()) {
        bool anyResult = false;
        for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
            anyResult = anyResult || ExitCodeOf(row).has_value();
        }
        if (!anyResult) {
            error = QStringLiteral(
                        "job %1 is no longer known to the cluster, and none of its files "
                        "recorded a result")
                        .arg(id);
            return false;
        }
    }
    return true;
}

void SlurmBatch::SetUpRows() {
    rows.clear();
    RunLogs.clear();
    tasks_.clear();
    for (qsizetype i = 0; i < record_.files.size(); ++i) {
        const std::string& path = record_.nativeFiles[static_cast<std::size_t>(i)];
        rows.push_back({record_.files[i], QString(), path});
        RunLogs.append(QByteArray());
        const NameHandOver handOver = HandOverFor(SolverInfo(), path);
        Task task;
        task.folder = handOver.folder;
        task.baseName = handOver.baseName;
        try {
            task.endTime = ReadEndTime(task.folder + "/" + task.baseName + ".in");
        } catch (const std::exception&) {
            task.endTime = 0;  // no progress, the text all the same
        }
        tasks_.push_back(std::move(task));
    }
}

void SlurmBatch::StartFollowing() {
    if (IsFollowing || record_.jobId.isEmpty()) {
        return;
    }
    IsFollowing = true;
    clock_.start();
    endedMs_ = -1;
    timer_->start();
    QTimer::singleShot(0, this, &SlurmBatch::Poll);
}

void SlurmBatch::Poll() {
    if (!IsFollowing) {
        return;
    }
    if (poll_) {
        if (clock_.elapsed() - pollStartedMs_ < kPollGiveUpMs) {
            return;
        }
        poll_->disconnect(this);
        poll_->kill();
        poll_->waitForFinished(1000);
        poll_->deleteLater();
        poll_ = nullptr;
        Message(QStringLiteral("squeue did not answer within a minute"));
    }
    poll_ = new QProcess(this);
    pollStartedMs_ = clock_.elapsed();
    QProcess* process = poll_;
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus) {
                if (process != poll_) {
                    return;
                }
                poll_ = nullptr;
                process->deleteLater();
                OnPolled(exitCode, QString::fromLocal8Bit(process->readAllStandardOutput()),
                         QString::fromLocal8Bit(process->readAllStandardError()));
            });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart || process != poll_) {
            return;
        }
        poll_ = nullptr;
        process->deleteLater();
        Message(QStringLiteral("squeue could not be started"));
    });
    process->start(squeue_, SqueueArguments(record_.jobId));
    process->closeWriteChannel();
}

void SlurmBatch::OnPolled(int exitCode, const QString& out, const QString& err) {
    if (!IsFollowing) {
        return;
    }
    if (exitCode != 0 && !IsUnknownJob(err)) {
        Message(QStringLiteral("cannot ask the cluster about job %1: %2")
                    .arg(record_.jobId, OneLine(err.isEmpty() ? out : err)));
        return;
    }
    lastMessage_.clear();
    const std::map<int, SlurmTaskState> tasks =
        exitCode == 0 ? ParseSqueue(out) : std::map<int, SlurmTaskState>();
    for (int row = 0; row < static_cast<int>(rows.size()) && IsFollowing; ++row) {
        const auto it = tasks.find(row);
        if (it != tasks.end()) {
            Apply(row, StatusOfTask(it->second.state, ExitCodeOf(row)), it->second.usedSeconds);
        } else {
            // Gone from the queue: its script's record of the exit code says how it ended.
            Apply(row, StatusOfLeftTask(ExitCodeOf(row), record_.cancelled), 0);
        }
    }
    bool allEnded = true;
    for (const Batch::Row& row : rows) {
        allEnded = allEnded && row.status != kStatusQueued && row.status != kStatusRunning &&
                   !row.status.isEmpty();
    }
    if (allEnded && IsFollowing) {
        Finished();
    }
}

void SlurmBatch::Apply(int row, const QString& status, double usedSeconds) {
    Batch::Row& r = rows[static_cast<std::size_t>(row)];
    Task& task = tasks_[static_cast<std::size_t>(row)];
    const QString old = r.status;
    if (old == kStatusCompleted || old == kStatusFailed || old == kStatusAborted) {
        return;
    }
    const qint64 now = clock_.elapsed();
    if (status == kStatusQueued) {
        if (old != kStatusQueued) {
            r.status = kStatusQueued;
            emit fileQueued(row);
        }
        return;
    }
    if (!task.startedMs && (status == kStatusRunning || usedSeconds > 0)) {
        task.startedMs = now - static_cast<qint64>(usedSeconds * 1000);
    }
    if (status == kStatusRunning) {
        if (old != kStatusRunning) {
            r.status = kStatusRunning;
            emit fileStarted(row);
        }
        ReadLog(row, false);
        return;
    }
    // Ended: the rest of its text first, then its status.
    ReadLog(row, true);
    if (!task.startedMs) {
        task.startedMs = now;
    }
    task.endedMs = now;
    r.status = status;
    emit fileFinished(row, status);
}

void SlurmBatch::ReadLog(int row, bool flush) {
    Task& task = tasks_[static_cast<std::size_t>(row)];
    if (task.readingEnded) {
        return;
    }
    // Never waits on the log: a pipe put in its place is not read.
    QFile log;
    if (OpenRegularFile(log, task.folder + "/" + task.baseName + ".log")) {
        if (log.size() < task.logOffset) {
            // Begun again (a requeued task): so is its text.
            task.logOffset = 0;
            task.pending.clear();
            RunLogs[row].clear();
        }
        log.seek(task.logOffset);
        for (;;) {
            const QByteArray block = log.read(64 * 1024);
            if (block.isEmpty()) {
                break;
            }
            task.logOffset += block.size();
            for (const std::string& chunk : SplitLogChunks(
                     task.pending, std::string_view(block.constData(), block.size()), false)) {
                HandleChunk(row, chunk);
                if (task.readingEnded) {
                    return;
                }
            }
        }
    }
    if (flush) {
        for (const std::string& chunk : SplitLogChunks(task.pending, {}, true)) {
            HandleChunk(row, chunk);
        }
    }
}

void SlurmBatch::HandleChunk(int row, const std::string& chunk) {
    Task& task = tasks_[static_cast<std::size_t>(row)];
    if (task.readingEnded) {
        return;
    }
    try {
        // As a local run reads its pipe: the prompt out, "time =" turned into progress.
        const SolverChunk handled = ProcessChunk(chunk);
        if (handled.time) {
            if (std::optional<Single> fraction = ProgressFraction(*handled.time, task.endTime)) {
                task.fraction = *fraction;
                emit progress(row, *fraction, QString::fromStdString(task.baseName));
            }
        }
        const QByteArray text(handled.text.data(), static_cast<qsizetype>(handled.text.size()));
        if (keepLogs_) {
            RunLogs[row].append(text);
        }
        emit outputChunk(row, text);
    } catch (const std::exception&) {
        task.readingEnded = true;  // as locally: the reading ends, the status still comes
    }
}

std::optional<int> SlurmBatch::ExitCodeOf(int row) const {
    QFile file;
    if (!OpenRegularFile(file, PathBytes(record_.folder + QStringLiteral("/%1.exit").arg(row)))) {
        return std::nullopt;
    }
    bool ok = false;
    const int code = QString::fromLatin1(file.readAll()).trimmed().toInt(&ok);
    return ok ? std::optional<int>(code) : std::nullopt;
}

void SlurmBatch::Cancel() {
    if (!IsFollowing || cancel_) {
        return;
    }
    if (scancel_.isEmpty()) {
        Message(QStringLiteral("scancel was not found on the PATH"));
        return;
    }
    cancel_ = new QProcess(this);
    QProcess* process = cancel_;
    auto done = [this, process](bool ok, const QString& why) {
        cancel_ = nullptr;
        process->deleteLater();
        if (!IsFollowing) {
            return;
        }
        if (!ok) {
            Message(QStringLiteral("job %1 could not be cancelled: %2").arg(record_.jobId, why));
            return;
        }
        record_.cancelled = true;
        record_.Save();
        EndAll(kStatusAborted);
    };
    connect(process, &QProcess::finished, this,
            [process, done](int exitCode, QProcess::ExitStatus exitStatus) {
                const QString err = QString::fromLocal8Bit(process->readAllStandardError());
                done(exitStatus == QProcess::NormalExit && exitCode == 0 && err.trimmed().isEmpty(),
                     OneLine(err));
            });
    connect(process, &QProcess::errorOccurred, this, [done](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) {
            done(false, QStringLiteral("scancel could not be started"));
        }
    });
    process->start(scancel_, {record_.jobId});
    process->closeWriteChannel();
}

void SlurmBatch::EndAll(const QString& status) {
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        const QString& old = rows[static_cast<std::size_t>(row)].status;
        if (old.isEmpty() || old == kStatusQueued || old == kStatusRunning) {
            Apply(row, status, 0);
        }
    }
    Finished();
}

void SlurmBatch::Finished() {
    timer_->stop();
    IsFollowing = false;
    endedMs_ = clock_.elapsed();
    emit batchFinished();
}

void SlurmBatch::StopFollowing() {
    timer_->stop();
    IsFollowing = false;
    for (QProcess** process : {&poll_, &cancel_}) {
        if (*process) {
            (*process)->disconnect(this);
            (*process)->kill();
            (*process)->waitForFinished(1000);
            delete *process;
            *process = nullptr;
        }
    }
}

void SlurmBatch::Message(const QString& text) {
    if (text != lastMessage_) {
        lastMessage_ = text;
        emit clusterMessage(text);
    }
}

double SlurmBatch::ElapsedSeconds(int row) const {
    if (row < 0 || row >= static_cast<int>(tasks_.size()) || !clock_.isValid()) {
        return 0;
    }
    const Task& task = tasks_[static_cast<std::size_t>(row)];
    if (!task.startedMs) {
        return 0;
    }
    return static_cast<double>((task.endedMs >= 0 ? task.endedMs : clock_.elapsed()) -
                               *task.startedMs) /
           1000.0;
}

float SlurmBatch::LastFraction(int row) const {
    if (row < 0 || row >= static_cast<int>(tasks_.size())) {
        return 0;
    }
    return tasks_[static_cast<std::size_t>(row)].fraction;
}

double SlurmBatch::BatchSeconds() const {
    if (!clock_.isValid()) {
        return 0;
    }
    return static_cast<double>(endedMs_ >= 0 ? endedMs_ : clock_.elapsed()) / 1000.0;
}

std::vector<QString> SlurmBatch::StatusesOfThisBatch() const {
    std::vector<QString> statuses;
    for (const Batch::Row& row : rows) {
        statuses.push_back(row.status);
    }
    return statuses;
}

}  // namespace velto
