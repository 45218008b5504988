#include "shell/cluster/slurmbackend.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
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
#include <utility>

#include "common/endtime.h"
#include "common/error.h"
#include "common/terminationsignals.h"
#include "shell/runner/inputfiles.h"
#include "shell/runner/settings.h"
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

// How each task of the job ended, as the accounting keeps it: one line per task.
QStringList SacctArguments(const QString& jobId) {
    return {QStringLiteral("--jobs=") + jobId, QStringLiteral("--allocations"),
            QStringLiteral("--noheader"), QStringLiteral("--parsable2"),
            QStringLiteral("--format=JobID,State,ExitCode,JobName")};
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

// What a signal handler needs, in place before the handlers are: the (log, aside) pairs, how many
// of them have been moved, and sbatch's process while it answers.
const std::vector<std::pair<std::string, std::string>>* asideLogs = nullptr;
volatile std::sig_atomic_t asideMoved = 0;
volatile std::sig_atomic_t sbatchProcess = 0;

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

}  // namespace

// Earlier NAME.log files moved aside (hidden, beside them) for as long as sbatch answers. Each goes
// back when the job is refused, and also when a signal ends the program meanwhile, so that a
// kill or a dropped session never leaves a log hidden; an accepted job removes only the
// set-aside copies. Signals that the program ignores or handles itself are left to it.
class LogsSetAside {
  public:
    explicit LogsSetAside(std::vector<std::pair<std::string, std::string>> logs)
        : logs_(std::move(logs)) {
        const TerminationSignalsHeld held;
        asideLogs = &logs_;
        asideMoved = 0;
        sbatchProcess = 0;
        struct sigaction action {};
        action.sa_handler = PutBackAndEnd;
        action.sa_mask = TerminationSignals();
        for (std::size_t i = 0; i < std::size(kTerminationSignals); ++i) {
            struct sigaction current {};
            ::sigaction(kTerminationSignals[i], nullptr, &current);
            if (current.sa_handler == SIG_DFL && (current.sa_flags & SA_SIGINFO) == 0) {
                ::sigaction(kTerminationSignals[i], &action, &previous_[i]);
                installed_[i] = true;
            }
        }
    }
    ~LogsSetAside() {
        const TerminationSignalsHeld held;
        Uninstall();
    }
    LogsSetAside(const LogsSetAside&) = delete;
    LogsSetAside& operator=(const LogsSetAside&) = delete;

    // Moves each log aside; on failure puts back those moved and says why.
    bool MoveAside(QString& error) {
        for (const auto& [log, aside] : logs_) {
            const TerminationSignalsHeld held;
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
    // The handlers go before the logs are settled, with the signals held, so that a signal
    // finds the logs either all in their set-aside state or all settled.
    template <typename Step>
    void Settle(Step step) {
        const TerminationSignalsHeld held;
        const std::sig_atomic_t moved = asideMoved;
        Uninstall();
        for (std::sig_atomic_t i = 0; i < moved; ++i) {
            const auto& [log, aside] = logs_[static_cast<std::size_t>(i)];
            step(log, aside);
        }
    }
    void Uninstall() {
        for (std::size_t i = 0; i < std::size(kTerminationSignals); ++i) {
            if (installed_[i]) {
                ::sigaction(kTerminationSignals[i], &previous_[i], nullptr);
                installed_[i] = false;
            }
        }
        asideMoved = 0;
        sbatchProcess = 0;
        asideLogs = nullptr;
    }

    std::vector<std::pair<std::string, std::string>> logs_;
    struct sigaction previous_[std::size(kTerminationSignals)]{};
    bool installed_[std::size(kTerminationSignals)] = {};
};

namespace {

std::optional<SlurmRecord> FindRecord(const QString& jobId) {
    QDir jobs(SlurmBackend::JobsFolder());
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

namespace {

// Runs a Slurm command without waiting on it: `done` gets its exit code (-1 when it did not
// end normally) and its output, or a failure in one line when it could not be started or did
// not answer within two minutes (it is then killed). `started` learns its process id.
using CommandDone = std::function<void(int exitCode, const QString& out, const QString& err,
                                       const QString& failure)>;
QProcess* StartCommand(QObject* owner, const QString& program, const QStringList& arguments,
                       CommandDone done, std::function<void(qint64)> started = {}) {
    auto* process = new QProcess(owner);
    auto* deadline = new QTimer(process);
    deadline->setSingleShot(true);
    auto answered = std::make_shared<bool>(false);
    auto answer = [process, answered, done = std::move(done)](int exitCode, const QString& out,
                                                              const QString& err,
                                                              const QString& failure) {
        if (*answered) {
            return;
        }
        *answered = true;
        process->disconnect();
        process->deleteLater();
        done(exitCode, out, err, failure);
    };
    QObject::connect(process, &QProcess::started, process, [process, started] {
        if (started) {
            started(process->processId());
        }
    });
    QObject::connect(process, &QProcess::finished, process,
                     [process, answer](int exitCode, QProcess::ExitStatus status) {
                         answer(status == QProcess::NormalExit ? exitCode : -1,
                                QString::fromLocal8Bit(process->readAllStandardOutput()),
                                QString::fromLocal8Bit(process->readAllStandardError()), QString());
                     });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [program, answer](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart) {
                             answer(-1, QString(), QString(),
                                    QStringLiteral("%1 could not be started").arg(program));
                         }
                     });
    QObject::connect(deadline, &QTimer::timeout, process, [process, program, answer] {
        process->kill();
        answer(-1, QString(), QString(),
               QStringLiteral("%1 did not answer within two minutes").arg(program));
    });
    deadline->start(kCommandTimeoutMs);
    process->start(program, arguments);
    process->closeWriteChannel();
    return process;
}

// Lets a command we no longer wait for go: killed, and reaped whenever it ends.
void Discard(QProcess*& process) {
    if (!process) {
        return;
    }
    process->disconnect();
    qDeleteAll(process->findChildren<QTimer*>());  // its deadline would still answer
    // Kept by the application until it has ended: one still running when the program quits is
    // then put away with the application, not left behind.
    process->setParent(QCoreApplication::instance());
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
    } else {
        QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
        process->kill();
    }
    process = nullptr;
}

}  // namespace

SlurmBackend::SlurmBackend(SlurmOptions options, QObject* parent)
    : BatchBackend(parent), options_(std::move(options)) {
    timer_ = new QTimer(this);
    timer_->setInterval(2000);
    connect(timer_, &QTimer::timeout, this, &SlurmBackend::Poll);
}

SlurmBackend::SlurmBackend(SlurmRecord job, QObject* parent)
    : SlurmBackend(SlurmOptions(), parent) {
    record_ = std::move(job);
    pickedUp_ = true;
}

SlurmBackend::~SlurmBackend() {
    LetGo();
}

void SlurmBackend::setPollIntervalMs(int ms) {
    timer_->setInterval(ms);
}

QString SlurmBackend::JobsFolder() {
    return BesideSettings(QStringLiteral("slurm"));
}

bool SlurmBackend::Available() {
    return !QStandardPaths::findExecutable(QStringLiteral("sbatch")).isEmpty();
}

std::optional<SlurmRecord> SlurmBackend::FindJob(const QString& jobId, QString& error) {
    const QString id = ParseJobId(jobId);
    if (id.isEmpty() || id != jobId.trimmed()) {
        error = QStringLiteral("'%1' is not a job id").arg(jobId);
        return std::nullopt;
    }
    std::optional<SlurmRecord> record = FindRecord(id);
    if (!record) {
        error = QStringLiteral(
                    "job %1 was not submitted by velto-batch from this account (no "
                    "record of it in %2)")
                    .arg(id, JobsFolder());
    }
    return record;
}

void SlurmBackend::RefuseSoon(const QString& reason) {
    starting_ = false;
    QTimer::singleShot(0, this, [this, reason] { emit refused(reason); });
}

void SlurmBackend::Start(const SolverInfo& solver, const std::vector<std::string>& files) {
    if (starting_ || following_) {
        return;
    }
    starting_ = true;
    squeue_ = QStandardPaths::findExecutable(QStringLiteral("squeue"));
    scancel_ = QStandardPaths::findExecutable(QStringLiteral("scancel"));
    sacct_ = QStandardPaths::findExecutable(QStringLiteral("sacct"));
    if (pickedUp_) {
        CheckJob();
    } else {
        Submit(solver, files);
    }
}

void SlurmBackend::Submit(const SolverInfo& solver, const std::vector<std::string>& files) {
    const QString sbatch = QStandardPaths::findExecutable(QStringLiteral("sbatch"));
    if (sbatch.isEmpty() || squeue_.isEmpty()) {
        RefuseSoon(QStringLiteral(
            "sbatch and squeue were not found on the PATH: a batch goes to the cluster from a "
            "machine with the Slurm commands"));
        return;
    }
    if (files.empty()) {
        RefuseSoon(QStringLiteral("no input file given"));
        return;
    }
    for (const std::string& file : files) {
        // The task types the name to the solver as a local run does: a line end cannot go.
        const QString problem = NameProblem(file);
        if (!problem.isEmpty()) {
            RefuseSoon(problem);
            return;
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
            RefuseSoon(QStringLiteral("cannot create a job folder in %1").arg(jobs.path()));
            return;
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
        writeFile(record.folder + QStringLiteral("/reasons"), ReasonsFile()) &&
        QFile::setPermissions(scriptPath, QFile::permissions(scriptPath) | QFile::ExeOwner) &&
        record.Save();
    if (!written) {
        QDir(record.folder).removeRecursively();
        RefuseSoon(QStringLiteral("cannot write the job's files in %1").arg(record.folder));
        return;
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
    setAside_ = std::make_unique<LogsSetAside>(std::move(earlierLogs));
    QString error;
    if (!setAside_->MoveAside(error)) {
        setAside_.reset();
        QDir(record.folder).removeRecursively();
        RefuseSoon(error);
        return;
    }
    record_ = record;
    sbatch_ = StartCommand(
        this, sbatch,
        SbatchArguments(options_, static_cast<int>(record.files.size()), name, record.folder,
                        scriptPath),
        [this](int exitCode, const QString& out, const QString& err, const QString& failure) {
            sbatch_ = nullptr;
            OnSubmitted(exitCode, out, err, failure);
        },
        [this](qint64 process) {
            if (setAside_) {
                setAside_->SbatchStarted(process);
            }
        });
}

void SlurmBackend::OnSubmitted(int exitCode, const QString& out, const QString& err,
                               const QString& failure) {
    const QString id = failure.isEmpty() && exitCode == 0 ? ParseJobId(out) : QString();
    if (id.isEmpty()) {
        setAside_->PutBack();
        setAside_.reset();
        QDir(record_.folder).removeRecursively();
        const QString why = failure.isEmpty() ? OneLine(err.isEmpty() ? out : err) : failure;
        record_ = SlurmRecord();
        starting_ = false;
        emit refused(QStringLiteral("the cluster refused the job") +
                     (why.isEmpty() ? QString() : QStringLiteral(": ") + why));
        return;
    }
    setAside_->Remove();
    setAside_.reset();
    record_.jobId = id;
    record_.Save();
    SetUpTasks();
    Accept();
}

void SlurmBackend::CheckJob() {
    if (squeue_.isEmpty()) {
        RefuseSoon(QStringLiteral("squeue was not found on the PATH"));
        return;
    }
    poll_ = StartCommand(
        this, squeue_, SqueueArguments(record_.jobId),
        [this](int exitCode, const QString& out, const QString& err, const QString& failure) {
            poll_ = nullptr;
            OnChecked(exitCode, out, err, failure);
        });
}

void SlurmBackend::OnChecked(int exitCode, const QString& out, const QString& err,
                             const QString& failure) {
    const QString& id = record_.jobId;
    if (!failure.isEmpty() || (exitCode != 0 && !IsUnknownJob(err))) {
        starting_ = false;
        emit refused(
            QStringLiteral("cannot ask the cluster about job %1: %2")
                .arg(id, failure.isEmpty() ? OneLine(err.isEmpty() ? out : err) : failure));
        return;
    }
    const std::map<int, SlurmTaskState> tasks =
        exitCode == 0 ? ParseSqueue(out) : std::map<int, SlurmTaskState>();
    for (const auto& [task, state] : tasks) {
        if (state.jobName != record_.jobName) {
            starting_ = false;
            emit refused(
                QStringLiteral("job %1 on the cluster is not the batch velto-batch submitted "
                               "(it is named %2, not %3)")
                    .arg(id, state.jobName, record_.jobName));
            return;
        }
    }
    SetUpTasks();
    if (tasks.empty()) {
        bool anyResult = !record_.ended.empty();
        for (int file = 0; file < static_cast<int>(tasks_.size()); ++file) {
            anyResult = anyResult || ExitOf(file).has_value();
        }
        if (!anyResult) {
            CheckAccounting();
            return;
        }
    }
    Accept();
}

void SlurmBackend::CheckAccounting() {
    const QString id = record_.jobId;
    auto refuse = [this, id](const QString& why) {
        starting_ = false;
        emit refused(why.isEmpty() ? QStringLiteral("job %1 is no longer known to the cluster, and "
                                                    "none of its files recorded a result")
                                         .arg(id)
                                   : why);
    };
    if (sacct_.isEmpty()) {
        refuse({});
        return;
    }
    // The queue has forgotten the job and its files left no word: the accounting may know.
    account_ = StartCommand(
        this, sacct_, SacctArguments(id),
        [this, refuse](int exitCode, const QString& out, const QString&, const QString& failure) {
            account_ = nullptr;
            const std::map<int, SlurmTaskState> known = failure.isEmpty() && exitCode == 0
                                                            ? ParseSacct(out, record_.jobId)
                                                            : std::map<int, SlurmTaskState>();
            if (known.empty()) {
                sacct_.clear();
                refuse({});
                return;
            }
            for (const auto& [task, state] : known) {
                if (state.jobName != record_.jobName) {
                    refuse(QStringLiteral("job %1 on the cluster is not the batch velto-batch "
                                          "submitted (it is named %2, not %3)")
                               .arg(record_.jobId, state.jobName, record_.jobName));
                    return;
                }
            }
            Accept();
        });
}

void SlurmBackend::Accept() {
    starting_ = false;
    following_ = true;
    clock_.start();
    emit accepted();
    if (!following_) {
        return;  // let go of from within the signal
    }
    timer_->start();
    QTimer::singleShot(0, this, &SlurmBackend::Poll);
    if (stopAfterStart_) {
        Cancel();
    }
}

void SlurmBackend::SetUpTasks() {
    tasks_.clear();
    for (const std::string& path : record_.nativeFiles) {
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

void SlurmBackend::Poll() {
    if (!following_) {
        return;
    }
    if (account_) {
        return;  // sacct answers within its own deadline, and the queue's answer waits for it
    }
    if (poll_) {
        if (clock_.elapsed() - pollStartedMs_ < kPollGiveUpMs) {
            return;
        }
        Discard(poll_);
        Message(QStringLiteral("squeue did not answer within a minute"));
    }
    pollStartedMs_ = clock_.elapsed();
    poll_ = StartCommand(
        this, squeue_, SqueueArguments(record_.jobId),
        [this](int exitCode, const QString& out, const QString& err, const QString& failure) {
            poll_ = nullptr;
            if (!failure.isEmpty()) {
                Message(failure);
                return;
            }
            OnPolled(exitCode, out, err);
        });
}

void SlurmBackend::OnPolled(int exitCode, const QString& out, const QString& err) {
    if (!following_) {
        return;
    }
    if (exitCode != 0 && !IsUnknownJob(err)) {
        Message(QStringLiteral("cannot ask the cluster about job %1: %2")
                    .arg(record_.jobId, OneLine(err.isEmpty() ? out : err)));
        return;
    }
    lastMessage_.clear();
    AskAccounting(exitCode == 0 ? ParseSqueue(out) : std::map<int, SlurmTaskState>());
}

void SlurmBackend::AskAccounting(const std::map<int, SlurmTaskState>& queue) {
    // Tasks that left the queue before we saw them end (a job followed long after, once the
    // controller has forgotten it): the accounting knows why, where the cluster keeps one.
    bool unseen = false;
    for (int file = 0; file < static_cast<int>(tasks_.size()); ++file) {
        const QString& status = tasks_[static_cast<std::size_t>(file)].status;
        unseen =
            unseen || (!queue.contains(file) && !record_.ended.contains(file) &&
                       (status.isEmpty() || status == kStatusQueued || status == kStatusRunning));
    }
    if (!unseen || sacct_.isEmpty()) {
        ApplyStates(queue);
        return;
    }
    account_ = StartCommand(
        this, sacct_, SacctArguments(record_.jobId),
        [this, queue](int exitCode, const QString& out, const QString&, const QString& failure) {
            account_ = nullptr;
            if (!following_) {
                return;
            }
            std::map<int, SlurmTaskState> known = queue;
            if (failure.isEmpty() && exitCode == 0) {
                known.merge(ParseSacct(out, record_.jobId));  // the queue's word first
            } else {
                sacct_.clear();  // no accounting here: not asked again
            }
            ApplyStates(known);
        });
}

void SlurmBackend::ApplyStates(const std::map<int, SlurmTaskState>& queue) {
    for (int file = 0; file < static_cast<int>(tasks_.size()) && following_; ++file) {
        const QString& old = tasks_[static_cast<std::size_t>(file)].status;
        if (old == kStatusCompleted || old == kStatusFailed || old == kStatusAborted) {
            continue;
        }
        const auto it = queue.find(file);
        const auto recorded = record_.ended.find(file);
        if (it != queue.end()) {
            if (it->second.usedSeconds > 0) {
                tasks_[static_cast<std::size_t>(file)].started = true;
            }
            const TaskEnd end = EndOf(file, it->second.state, it->second.exitCode);
            Apply(file, end.status, it->second.usedSeconds, end.reason);
        } else if (recorded != record_.ended.end()) {
            // Seen to end by an earlier follower, when the cluster still knew more than now.
            Apply(file, recorded->second.status, 0, recorded->second.reason);
        } else {
            // Gone from the queue: its script's record of the exit code says how it ended.
            const TaskEnd end = EndOf(file, QString(), std::nullopt);
            Apply(file, end.status, 0, end.reason);
        }
    }
    if (recordChanged_) {
        recordChanged_ = false;
        record_.Save();
    }
    bool allEnded = true;
    for (const Task& task : tasks_) {
        allEnded = allEnded && task.status != kStatusQueued && task.status != kStatusRunning &&
                   !task.status.isEmpty();
    }
    if (allEnded && following_) {
        Finished();
    }
}

TaskEnd SlurmBackend::EndOf(int file, const QString& state, std::optional<int> accountedCode) {
    const Task& task = tasks_[static_cast<std::size_t>(file)];
    TaskFacts facts;
    facts.state = state;
    facts.exit = ExitOf(file);
    // The accounting's 0 is also that of a task that never ran: only a code it recorded counts.
    if (!facts.exit && accountedCode && *accountedCode != 0) {
        facts.exit = TaskExit{.status = *accountedCode};
    }
    facts.cancelledByUs = record_.cancelled;
    TaskEnd end = EndOfTask(facts);
    if (end.status == kStatusQueued || end.status == kStatusRunning ||
        end.status == kStatusCompleted) {
        return end;
    }
    // Only for a task that ended: Slurm's own output, and whether the solver ever ran.
    facts.outputCause = OutputCauseOf(file);
    facts.started =
        task.started || QFileInfo::exists(PathText(task.folder + "/" + task.baseName + ".log"));
    return EndOfTask(facts);
}

void SlurmBackend::Apply(int file, const QString& status, double usedSeconds,
                         const QByteArray& reason) {
    Task& task = tasks_[static_cast<std::size_t>(file)];
    const QString old = task.status;
    if (old == kStatusCompleted || old == kStatusFailed || old == kStatusAborted) {
        return;
    }
    if (status == kStatusQueued) {
        if (old != kStatusQueued) {
            task.status = kStatusQueued;
            emit fileQueued(file);
        }
        return;
    }
    if (status == kStatusRunning) {
        if (old != kStatusRunning) {
            // A task that ran before and was requeued writes its log anew.
            task.logOffset = 0;
            task.pending.clear();
            task.line.clear();
            task.lastLine.clear();
            task.status = kStatusRunning;
            task.started = true;
            emit fileStarted(file, usedSeconds);
        }
        ReadLog(file, false);
        return;
    }
    // Ended: the rest of its text first, then why it did not complete, then its status.
    ReadLog(file, true);
    task.status = status;
    if (!reason.isEmpty()) {
        CloseLog(file, reason);
        emit fileFailedBecause(file, reason + '\n');
    }
    const TaskEnd end{status, reason};
    if (const auto it = record_.ended.find(file);
        it == record_.ended.end() || !(it->second == end)) {
        record_.ended[file] = end;
        recordChanged_ = true;
    }
    emit fileFinished(file, status, usedSeconds);
}

void SlurmBackend::CloseLog(int file, const QByteArray& reason) {
    Task& task = tasks_[static_cast<std::size_t>(file)];
    const std::string words = reason.trimmed().toStdString();
    if (task.line.empty() && task.lastLine == words) {
        return;  // the task's script ended its log with it
    }
    const std::string text = (task.line.empty() ? std::string() : std::string("\n")) + words + "\n";
    // Added to the log itself as well (when there is one: a task that never started has none),
    // so that a log whose solver the cluster ended does not stop as if it were still running,
    // and a later follower finds the reason there.
    // A log no longer read (see GiveUpOutput) may end with the reason already: left alone.
    const std::string log = task.folder + "/" + task.baseName + ".log";
    const int fd =
        task.readingEnded
            ? -1
            : ::open(log.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
            task.logOffset += static_cast<qint64>(text.size());
        }
        ::close(fd);
    }
    task.line.clear();
    task.lastLine = words;
    emit outputChunk(file, QByteArray::fromStdString(text));
}

void SlurmBackend::ReadLog(int file, bool flush) {
    Task& task = tasks_[static_cast<std::size_t>(file)];
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
            task.line.clear();
            task.lastLine.clear();
            emit fileStarted(file, 0);
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
                HandleChunk(file, chunk);
                if (task.readingEnded) {
                    return;
                }
            }
        }
    }
    if (flush) {
        for (const std::string& chunk : SplitLogChunks(task.pending, {}, true)) {
            HandleChunk(file, chunk);
        }
    }
}

void SlurmBackend::HandleChunk(int file, const std::string& chunk) {
    Task& task = tasks_[static_cast<std::size_t>(file)];
    task.started = true;
    // The last whole line, to know whether the task's script has told why it ended (a longer line
    // than any reason is kept only in part).
    if (task.line.size() < 1024) {
        task.line += chunk;
    }
    if (!chunk.empty() && chunk.back() == '\n') {
        std::string_view whole = task.line;
        while (!whole.empty() && (whole.back() == '\n' || whole.back() == '\r' ||
                                  whole.back() == ' ' || whole.back() == '\t')) {
            whole.remove_suffix(1);
        }
        task.lastLine = whole;
        task.line.clear();
    }
    if (task.readingEnded) {
        return;
    }
    try {
        // As a local run reads its pipe: the prompt out, "time =" turned into progress.
        const SolverChunk handled = ProcessChunk(chunk);
        if (handled.time) {
            if (std::optional<Single> fraction = ProgressFraction(*handled.time, task.endTime)) {
                emit progress(file, *fraction, QString::fromStdString(task.baseName));
            }
        }
        emit outputChunk(
            file, QByteArray(handled.text.data(), static_cast<qsizetype>(handled.text.size())));
    } catch (const std::exception&) {
        task.readingEnded = true;  // as locally: the reading ends, the status still comes
    }
}

void SlurmBackend::GiveUpOutput(int file, const QByteArray&) {
    if (file >= 0 && file < static_cast<int>(tasks_.size())) {
        tasks_[static_cast<std::size_t>(file)].readingEnded = true;
    }
}

std::optional<TaskExit> SlurmBackend::ExitOf(int file) const {
    QFile code;
    if (!OpenRegularFile(code, PathBytes(record_.folder + QStringLiteral("/%1.exit").arg(file)))) {
        return std::nullopt;
    }
    return ParseExitFile(code.read(4096).toStdString());
}

ClusterCause SlurmBackend::OutputCauseOf(int file) const {
    // One slurm.out that every task adds to (a folder with a backslash) cannot be told apart by
    // task: the cause then comes from the queue or the accounting only.
    if (record_.folder.contains('\\')) {
        return ClusterCause::kNone;
    }
    QFile output;
    if (!OpenRegularFile(output,
                         PathBytes(record_.folder + QStringLiteral("/slurm-%1.out").arg(file)))) {
        return ClusterCause::kNone;
    }
    // slurmstepd says why at the end: the last part is enough, whatever came before.
    constexpr qint64 kTail = 64 * 1024;
    output.seek(std::max<qint64>(0, output.size() - kTail));
    return CauseInSlurmOutput(output.read(kTail).toStdString());
}

void SlurmBackend::Stop() {
    if (starting_) {
        stopAfterStart_ = true;
        return;
    }
    Cancel();
}

void SlurmBackend::Cancel() {
    if (!following_ || cancel_) {
        return;
    }
    if (scancel_.isEmpty()) {
        Message(QStringLiteral("scancel was not found on the PATH"));
        return;
    }
    cancel_ = StartCommand(
        this, scancel_, {record_.jobId},
        [this](int exitCode, const QString&, const QString& err, const QString& failure) {
            cancel_ = nullptr;
            if (!following_) {
                return;
            }
            if (!failure.isEmpty() || exitCode != 0 || !err.trimmed().isEmpty()) {
                Message(QStringLiteral("job %1 could not be cancelled: %2")
                            .arg(record_.jobId, failure.isEmpty() ? OneLine(err) : failure));
                return;
            }
            record_.cancelled = true;
            record_.Save();
            EndAll(kStatusAborted);
        });
}

void SlurmBackend::EndAll(const QString& status) {
    for (int file = 0; file < static_cast<int>(tasks_.size()); ++file) {
        const Task& task = tasks_[static_cast<std::size_t>(file)];
        if (task.status.isEmpty() || task.status == kStatusQueued ||
            task.status == kStatusRunning) {
            // A solver that ended with exit code 0 before the stop reached it completed, as a
            // local run stopped after its solver ended well does.
            const std::optional<TaskExit> exit = ExitOf(file);
            if (exit && exit->status == 0 && exit->notStarted.empty()) {
                Apply(file, kStatusCompleted, 0);
            } else {
                Apply(file, status, 0,
                      QByteArray::fromStdString(
                          ClusterReason(ClusterCause::kCancelled, task.started)));
            }
        }
    }
    if (recordChanged_) {
        recordChanged_ = false;
        record_.Save();
    }
    Finished();
}

void SlurmBackend::Finished() {
    timer_->stop();
    following_ = false;
    emit finished();
}

void SlurmBackend::Detach() {
    LetGo();
}

void SlurmBackend::LetGo() {
    timer_->stop();
    following_ = false;
    starting_ = false;
    Discard(poll_);
    Discard(cancel_);
    Discard(account_);
    if (sbatch_) {
        // Nothing will hear sbatch's answer: the submission ends here, as on a signal.
        const qint64 process = sbatch_->processId();
        sbatch_->disconnect();
        if (process > 0) {
            ::kill(static_cast<pid_t>(process), SIGTERM);
        }
        Discard(sbatch_);
        if (setAside_) {
            setAside_->PutBack();
        }
        QDir(record_.folder).removeRecursively();
    }
    setAside_.reset();
}

void SlurmBackend::Message(const QString& text) {
    if (text != lastMessage_) {
        lastMessage_ = text;
        emit message(text);
    }
}

}  // namespace velto
