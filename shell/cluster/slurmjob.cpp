#include "shell/cluster/slurmjob.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringList>
#include <cerrno>
#include <cstring>

#include "shell/runner/inputfiles.h"

namespace velto {

std::string PrintfEscape(std::string_view bytes) {
    static constexpr std::string_view kSafe = "/._,:@+=";
    std::string escaped;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        const bool alnum = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9');
        if (alnum || kSafe.find(c) != std::string_view::npos) {
            escaped += c;
        } else {
            escaped += '\\';
            escaped += static_cast<char>('0' + (byte >> 6));
            escaped += static_cast<char>('0' + ((byte >> 3) & 7));
            escaped += static_cast<char>('0' + (byte & 7));
        }
    }
    return escaped;
}

std::string ShellQuote(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string ManifestLine(const NameHandOver& handOver) {
    const bool onCommandLine = !handOver.arguments.empty();
    const std::string& given = onCommandLine ? handOver.arguments.front() : handOver.standardInput;
    return std::string(onCommandLine ? "arg" : "stdin") + " dir=" + PrintfEscape(handOver.folder) +
           " base=" + PrintfEscape(handOver.baseName) + " give=" + PrintfEscape(given) + "\n";
}

std::string JobScript(const std::string& solverCommand, const std::string& manifestPath,
                      const std::string& statusFolder) {
    // Plain POSIX sh: the nodes' /bin/sh may be dash. The script itself holds no names of input
    // files; they come from the manifest, written by the same code as a local run's hand-over.
    return "#!/bin/sh\n"
           "# One task of a Velto batch, written by velto-batch. Task i runs the solver on the\n"
           "# input file of line i + 1 of the manifest, in that file's folder, and hands it the\n"
           "# name as a run on the workstation does; the console text goes to NAME.log there and\n"
           "# the solver's exit status to i.exit in the status folder.\n"
           "solver=" +
           ShellQuote(solverCommand) + "\nmanifest=" + ShellQuote(manifestPath) +
           "\nstatus=" + ShellQuote(statusFolder) +
           "\n"
           "task=${SLURM_ARRAY_TASK_ID:?runs as a task of a Slurm job array}\n"
           "line=$(sed -n \"$((task + 1))p\" \"$manifest\")\n"
           "[ -n \"$line\" ] || { echo \"no line $((task + 1)) in $manifest\" >&2; exit 2; }\n"
           "set -f\n"
           "set -- $line\n"
           "# Each field is a printf format in which every byte but a safe few is an octal\n"
           "# escape; the x keeps a trailing line end from being dropped.\n"
           "bytes() { printf \"$1\"; printf x; }\n"
           "folder=$(bytes \"${2#dir=}\"); folder=${folder%x}\n"
           "base=$(bytes \"${3#base=}\"); base=${base%x}\n"
           "how=\n"
           "# What keeps the solver from starting is told as a word after the code.\n"
           "if ! cd \"$folder\"; then\n"
           "    code=2 how=\" folder\"\n"
           "elif [ ! -e \"$solver\" ]; then\n"
           "    code=127 how=\" solver\"\n"
           "elif [ ! -x \"$solver\" ] || [ -d \"$solver\" ]; then\n"
           "    code=126 how=\" execute\"\n"
           "elif ! true > \"$base.log\"; then\n"
           "    code=2 how=\" log\"\n"
           "else\n"
           "    case $1 in\n"
           "    arg)\n"
           "        give=$(bytes \"${4#give=}\"); give=${give%x}\n"
           "        \"$solver\" \"$give\" < /dev/null > \"$base.log\" 2>&1 ;;\n"
           "    *)\n"
           "        printf \"${4#give=}\" | \"$solver\" > \"$base.log\" 2>&1 ;;\n"
           "    esac\n"
           "    code=$?\n"
           "    # A run that did not complete says why on the last line of its log, in the words\n"
           "    # velto-batch shows (line CODE of the reasons file), on a line of its own.\n"
           "    if [ \"$code\" -ne 0 ] && why=$(sed -n \"${code}p\" \"$status/reasons\") &&\n"
           "        [ -n \"$why\" ]; then\n"
           "        [ -z \"$(tail -c 1 \"$base.log\")\" ] || echo >> \"$base.log\"\n"
           "        printf '%s\\n' \"$why\" >> \"$base.log\"\n"
           "    fi\n"
           "fi\n"
           "printf '%s%s\\n' \"$code\" \"$how\" > \"$status/$task.exit.part\" &&\n"
           "    mv -f \"$status/$task.exit.part\" \"$status/$task.exit\"\n"
           "exit \"$code\"\n";
}

std::string ReasonsFile() {
    std::string lines;
    for (int status = 1; status <= 255; ++status) {
        lines += EndReason(SolverEnd::FromShellStatus(status)) + "\n";
    }
    return lines;
}

std::optional<TaskExit> ParseExitFile(std::string_view text) {
    const QStringList words = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()))
                                  .simplified()
                                  .split(' ');
    bool ok = false;
    const int status = words.value(0).toInt(&ok);
    if (!ok || status < 0) {
        return std::nullopt;
    }
    return TaskExit{.status = status, .notStarted = words.value(1).toStdString()};
}

QStringList SbatchArguments(const SlurmOptions& options, int tasks, const QString& jobName,
                            const QString& jobFolder, const QString& scriptPath) {
    QString array = QStringLiteral("--array=0-%1").arg(tasks - 1);
    if (options.maxRunning > 0) {
        array += '%' + QString::number(options.maxRunning);
    }
    QString output = jobFolder;
    QStringList arguments = {QStringLiteral("--parsable"), QStringLiteral("--job-name=") + jobName,
                             array};
    if (output.contains('\\')) {
        // With a backslash the name is taken as it is once each backslash is doubled, and %a
        // means nothing: one file for all tasks, each adding to it.
        output.replace('\\', QStringLiteral("\\\\"));
        arguments.append(QStringLiteral("--output=") + output + QStringLiteral("/slurm.out"));
        arguments.append(QStringLiteral("--open-mode=append"));
    } else {
        // In --output a '%' starts a pattern: the folder's own ones are doubled.
        output.replace('%', QStringLiteral("%%"));
        arguments.append(QStringLiteral("--output=") + output + QStringLiteral("/slurm-%a.out"));
    }
    // --chdir takes its folder as it is.
    arguments.append(QStringLiteral("--chdir=") + jobFolder);
    if (!options.partition.isEmpty()) {
        arguments.append(QStringLiteral("--partition=") + options.partition);
    }
    if (!options.timeLimit.isEmpty()) {
        arguments.append(QStringLiteral("--time=") + options.timeLimit);
    }
    arguments.append(scriptPath);
    return arguments;
}

QString ParseJobId(const QString& sbatchOutput) {
    const QString id = sbatchOutput.trimmed().section(';', 0, 0).trimmed();
    static const QRegularExpression kDigits(QStringLiteral("^[0-9]+$"));
    return kDigits.match(id).hasMatch() ? id : QString();
}

std::map<int, SlurmTaskState> ParseSqueue(const QString& output) {
    std::map<int, SlurmTaskState> tasks;
    for (const QString& line : output.split('\n')) {
        const QStringList fields = line.simplified().split(' ');
        if (fields.size() < 2) {
            continue;
        }
        bool ok = false;
        const int task = fields[0].toInt(&ok);
        if (!ok || task < 0) {
            continue;
        }
        SlurmTaskState state;
        state.state = fields[1];
        state.usedSeconds = fields.size() > 2 ? ParseUsedTime(fields[2]) : 0;
        state.jobName = fields.size() > 3 ? fields.mid(3).join(' ') : QString();
        tasks[task] = state;
    }
    return tasks;
}

double ParseUsedTime(const QString& text) {
    static const QRegularExpression kTime(
        QStringLiteral("^(?:(\\d+)-)?(?:(\\d+):)?(\\d+):(\\d+)$"));
    const QRegularExpressionMatch m = kTime.match(text.trimmed());
    if (!m.hasMatch()) {
        return 0;
    }
    return m.captured(1).toDouble() * 86400 + m.captured(2).toDouble() * 3600 +
           m.captured(3).toDouble() * 60 + m.captured(4).toDouble();
}

QString StatusOfTask(const QString& slurmState, std::optional<int> exitCode) {
    static const QStringList kWaiting = {"PENDING",      "CONFIGURING", "REQUEUED",
                                         "REQUEUE_HOLD", "REQUEUE_FED", "RESV_DEL_HOLD"};
    static const QStringList kRunning = {"RUNNING",   "SUSPENDED", "STOPPED",
                                         "SIGNALING", "STAGE_OUT", "RESIZING"};
    static const QStringList kFailed = {"FAILED",        "TIMEOUT",      "NODE_FAIL",
                                        "OUT_OF_MEMORY", "BOOT_FAIL",    "DEADLINE",
                                        "PREEMPTED",     "SPECIAL_EXIT", "REVOKED"};
    if (slurmState == "COMPLETED" || (slurmState == "COMPLETING" && exitCode)) {
        return exitCode && *exitCode != 0 ? kStatusFailed : kStatusCompleted;
    }
    if (slurmState == "COMPLETING" || kRunning.contains(slurmState)) {
        return kStatusRunning;
    }
    if (slurmState == "CANCELLED") {
        // Cancelled after its solver ended well: the analysis completed all the same.
        return exitCode && *exitCode == 0 ? kStatusCompleted : kStatusAborted;
    }
    if (kFailed.contains(slurmState)) {
        return kStatusFailed;
    }
    // Waiting, or a state this program does not know yet: not ended, so still waiting.
    return kStatusQueued;
}

QString StatusOfLeftTask(std::optional<int> exitCode, bool cancelled) {
    if (exitCode) {
        return *exitCode == 0 ? kStatusCompleted : kStatusFailed;
    }
    return cancelled ? kStatusAborted : kStatusFailed;
}

std::map<int, SlurmTaskState> ParseSacct(const QString& output, const QString& jobId) {
    std::map<int, SlurmTaskState> tasks;
    const QString prefix = jobId + '_';
    for (const QString& line : output.split('\n')) {
        const QStringList fields = line.trimmed().split('|');
        if (fields.size() < 3 || !fields[0].startsWith(prefix)) {
            continue;
        }
        bool ok = false;
        const int task = fields[0].mid(prefix.size()).toInt(&ok);
        if (!ok || task < 0) {
            continue;  // a range still pending, or a step
        }
        SlurmTaskState state;
        state.state = fields[1].section(' ', 0, 0);  // "CANCELLED by 1000"
        // "code:signal": only a script that exited has a code of its own.
        const int code = fields[2].section(':', 0, 0).toInt(&ok);
        const int signal = fields[2].section(':', 1, 1).toInt();
        if (ok && signal == 0) {
            state.exitCode = code;
        }
        state.jobName = fields.value(3);
        tasks[task] = state;
    }
    return tasks;
}

ClusterCause CauseOfState(const QString& slurmState) {
    static const std::map<QString, ClusterCause> kCauses = {
        {"TIMEOUT", ClusterCause::kTimeLimit},     {"OUT_OF_MEMORY", ClusterCause::kOutOfMemory},
        {"NODE_FAIL", ClusterCause::kNodeFailure}, {"PREEMPTED", ClusterCause::kPreempted},
        {"CANCELLED", ClusterCause::kCancelled},   {"BOOT_FAIL", ClusterCause::kBootFailure},
        {"DEADLINE", ClusterCause::kDeadline}};
    const auto it = kCauses.find(slurmState.section(' ', 0, 0));
    return it == kCauses.end() ? ClusterCause::kNone : it->second;
}

ClusterCause CauseInSlurmOutput(std::string_view text) {
    const QString lower =
        QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())).toLower();
    // The most telling first: a task killed for its memory is also "CANCELLED AT ...".
    static const std::vector<std::pair<QString, ClusterCause>> kSaid = {
        {"exceeded job memory limit", ClusterCause::kOutOfMemory},
        {"exceeded memory limit", ClusterCause::kOutOfMemory},
        {"oom_kill event", ClusterCause::kOutOfMemory},
        {"oom-kill event", ClusterCause::kOutOfMemory},
        {"due to time limit", ClusterCause::kTimeLimit},
        {"due to preemption", ClusterCause::kPreempted},
        {"due to node fail", ClusterCause::kNodeFailure},
        {"cancelled at", ClusterCause::kCancelled}};
    for (const auto& [words, cause] : kSaid) {
        if (lower.contains(words)) {
            return cause;
        }
    }
    return ClusterCause::kNone;
}

TaskEnd EndOfTask(const TaskFacts& facts) {
    const std::optional<int> code =
        facts.exit ? std::optional<int>(facts.exit->status) : std::nullopt;
    TaskEnd end;
    end.status = facts.state.isEmpty() ? StatusOfLeftTask(code, facts.cancelledByUs)
                                       : StatusOfTask(facts.state.section(' ', 0, 0), code);
    if (end.status == kStatusQueued || end.status == kStatusRunning) {
        return end;
    }
    ClusterCause cause = CauseOfState(facts.state);
    const bool solverSignalled = facts.exit && facts.exit->notStarted.empty() &&
                                 SolverEnd::FromShellStatus(code.value()).signal > 0;
    if (cause == ClusterCause::kNone && (!facts.exit || solverSignalled)) {
        cause = facts.outputCause;
    }
    if (cause == ClusterCause::kNone && !facts.exit && facts.cancelledByUs) {
        cause = ClusterCause::kCancelled;
    }
    if (facts.state.isEmpty() && !facts.exit && cause == ClusterCause::kCancelled) {
        end.status = kStatusAborted;  // cancelled, by us or by someone else
    }
    if (end.status == kStatusCompleted) {
        return end;
    }
    std::string reason;
    if (cause != ClusterCause::kNone) {
        reason = ClusterReason(cause, facts.started || facts.exit.has_value());
    } else if (facts.exit && !facts.exit->notStarted.empty()) {
        // A missing or unusable solver in the words of a local run's start (the system's own).
        static const std::map<std::string, std::string> kWhy = {
            {"folder", "the input file's folder cannot be entered on the node"},
            {"log", "its log cannot be written in the input file's folder on the node"},
            {"solver", std::strerror(ENOENT)},
            {"execute", std::strerror(EACCES)}};
        const auto it = kWhy.find(facts.exit->notStarted);
        reason = StartFailureReason(it != kWhy.end() ? it->second
                                                     : "the task's script could not start it (" +
                                                           facts.exit->notStarted + ")");
    } else if (facts.exit) {
        reason = EndReason(SolverEnd::FromShellStatus(facts.exit->status));
    }
    if (reason.empty()) {
        reason = UnknownEndReason();
    }
    end.reason = QByteArray::fromStdString(reason);
    return end;
}

bool SlurmRecord::Save() const {
    QJsonArray list;
    for (const QString& file : files) {
        list.append(file);
    }
    QJsonObject object{{QStringLiteral("jobId"), jobId},
                       {QStringLiteral("jobName"), jobName},
                       {QStringLiteral("folder"), folder},
                       {QStringLiteral("files"), list},
                       {QStringLiteral("cancelled"), cancelled}};
    if (!ended.empty()) {
        QJsonObject ends;
        for (const auto& [task, end] : ended) {
            ends.insert(QString::number(task),
                        QJsonObject{{QStringLiteral("status"), end.status},
                                    {QStringLiteral("reason"), QString::fromLatin1(end.reason)}});
        }
        object.insert(QStringLiteral("ended"), ends);
    }
    // A name that is not UTF-8 does not survive the text: then the bytes of every file go beside.
    bool exact = nativeFiles.size() == static_cast<std::size_t>(files.size());
    for (qsizetype i = 0; exact && i < files.size(); ++i) {
        exact = PathBytes(files[i]) == nativeFiles[static_cast<std::size_t>(i)];
    }
    if (!exact) {
        QJsonArray bytes;
        for (const std::string& file : nativeFiles) {
            bytes.append(QString::fromLatin1(QByteArray::fromStdString(file).toBase64()));
        }
        object.insert(QStringLiteral("fileBytes"), bytes);
    }
    QSaveFile file(folder + QStringLiteral("/job.json"));
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(QJsonDocument(object).toJson());
    return file.commit();
}

std::optional<SlurmRecord> SlurmRecord::Load(const QString& path) {
    QFile file;
    if (!OpenRegularFile(file, PathBytes(path))) {
        return std::nullopt;
    }
    // A record is a few lines per file: one beyond a journal's limit is not ours to read whole.
    const QByteArray text = file.read(SlurmRecord::kMaxBytes + 1);
    if (text.size() > SlurmRecord::kMaxBytes) {
        return std::nullopt;
    }
    const QJsonDocument document = QJsonDocument::fromJson(text);
    if (!document.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    SlurmRecord record;
    record.jobId = object.value(QStringLiteral("jobId")).toString();
    record.jobName = object.value(QStringLiteral("jobName")).toString();
    record.folder = object.value(QStringLiteral("folder")).toString();
    record.cancelled = object.value(QStringLiteral("cancelled")).toBool();
    for (const QJsonValue& value : object.value(QStringLiteral("files")).toArray()) {
        record.files.append(value.toString());
    }
    // Written by later versions only: a record without it reads as one with no ends seen.
    const QJsonObject ends = object.value(QStringLiteral("ended")).toObject();
    for (auto it = ends.begin(); it != ends.end(); ++it) {
        bool ok = false;
        const int task = it.key().toInt(&ok);
        const QJsonObject end = it.value().toObject();
        const QString status = end.value(QStringLiteral("status")).toString();
        if (ok && task >= 0 &&
            (status == kStatusCompleted || status == kStatusFailed || status == kStatusAborted)) {
            record.ended[task] = {status,
                                  end.value(QStringLiteral("reason")).toString().toLatin1()};
        }
    }
    const QJsonArray bytes = object.value(QStringLiteral("fileBytes")).toArray();
    for (qsizetype i = 0; i < record.files.size(); ++i) {
        const QByteArray decoded = i < bytes.size()
                                       ? QByteArray::fromBase64(bytes[i].toString().toLatin1())
                                       : QByteArray();
        record.nativeFiles.push_back(decoded.isEmpty() ? PathBytes(record.files[i])
                                                       : decoded.toStdString());
    }
    if (record.files.isEmpty() || record.folder.isEmpty()) {
        return std::nullopt;
    }
    return record;
}

std::vector<std::string> SplitLogChunks(std::string& pending, std::string_view newBytes, bool flush,
                                        std::size_t limit) {
    pending.append(newBytes);
    std::vector<std::string> chunks;
    std::size_t start = 0;
    while (start < pending.size()) {
        const std::size_t end = pending.find('\n', start);
        std::size_t size = 0;
        if (end != std::string::npos) {
            size = std::min(end + 1 - start, limit);
        } else if (pending.size() - start >= limit) {
            size = limit;
        } else if (flush) {
            size = pending.size() - start;
        } else {
            break;
        }
        chunks.push_back(pending.substr(start, size));
        start += size;
    }
    pending.erase(0, start);
    return chunks;
}

}  // namespace velto
