#pragma once

#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/runner/batchbackend.h"
#include "shell/runner/endreason.h"
#include "shell/runner/solverrun.h"

namespace velto {

// What the user asks of the cluster for a batch.
struct SlurmOptions {
    QString partition;   // empty: the cluster's default partition
    int maxRunning = 0;  // tasks running at once; 0: as many as the cluster allows
    QString timeLimit;   // per task, in sbatch's --time form; empty: the partition's default
};

// A text as a printf format that prints exactly its bytes: letters, digits and "/._,:@+=" stay,
// every other byte becomes a three-digit octal escape (so no blank, quote, '%', '\' or leading
// '-' reaches the shell or printf as itself).
std::string PrintfEscape(std::string_view bytes);

// The text in single quotes for a POSIX shell.
std::string ShellQuote(std::string_view text);

// One line of a job's manifest for an input file's hand-over: "arg" or "stdin", then the
// folder, the base name and the bytes handed over (the argument, or the standard input), each
// escaped by PrintfEscape behind its key: `stdin dir=/work base=beam1 give=beam1\015\012...`.
std::string ManifestLine(const NameHandOver& handOver);

// The batch script of a job array: task i takes line i + 1 of the manifest, runs the solver in
// that folder with that hand-over, its console text to BASE.log there, and records the solver's
// exit code in STATUSFOLDER/i.exit (see TaskExit) before it exits with the same code. A run that
// did not complete ends its log with the reason, taken from STATUSFOLDER/reasons (ReasonsFile).
std::string JobScript(const std::string& solverCommand, const std::string& manifestPath,
                      const std::string& statusFolder);

// The reasons file beside a job script: line k says why a solver whose shell status was k did
// not complete, for k = 1 .. 255, in the words of EndReason.
std::string ReasonsFile();

// What a task's script recorded in its exit file: the shell's status of the solver ("3"), and when
// the script could not start the solver, why, in a word after it ("2 folder").
struct TaskExit {
    int status = 0;  // the shell's status of the solver ($?)
    // "folder": the input file's folder cannot be entered on the node; "log": NAME.log cannot be
    // written there; "solver": there is no solver at its path on the node; "execute": it cannot
    // be executed. Empty when the solver ran.
    std::string notStarted = {};
};
std::optional<TaskExit> ParseExitFile(std::string_view text);

// sbatch's arguments for a job array of `tasks` tasks (the script last). Slurm's own output goes
// to slurm-0.out, ... in the job's folder; sbatch reads a backslash anywhere in an output path as
// "take this name as it is, no % patterns" (and drops it unless doubled), so a folder whose path
// holds one gets a single slurm.out, written by every task in turn.
QStringList SbatchArguments(const SlurmOptions& options, int tasks, const QString& jobName,
                            const QString& jobFolder, const QString& scriptPath);

// The job id in sbatch --parsable's answer ("123" or "123;cluster"); empty when there is none.
QString ParseJobId(const QString& sbatchOutput);

// One array task as squeue (or sacct) lists it.
struct SlurmTaskState {
    QString state;           // PENDING, RUNNING, COMPLETED, ...
    double usedSeconds = 0;  // the time it has run so far
    QString jobName;
    std::optional<int> exitCode;  // sacct's: the task script's own exit code, when it exited
};

// squeue's lines in the "%K %T %M %j" form, by array task id (lines without one are left out).
std::map<int, SlurmTaskState> ParseSqueue(const QString& output);

// squeue's time used ("0:07", "12:05", "1:02:03", "2-01:02:03") in seconds; 0 for anything else.
double ParseUsedTime(const QString& text);

// The row status for a task's Slurm state and, when its script recorded one, its exit code:
// "Queued", "Running", "Completed", "Failed" or "Aborted". A task that ended with a non-zero exit
// code fails even when Slurm calls it COMPLETED; one cancelled after its solver ended with exit
// code 0 completed.
QString StatusOfTask(const QString& slurmState, std::optional<int> exitCode);

// The status of a task that is no longer in the queue: from the exit code its script recorded,
// else it ended without a result (Aborted when we cancelled the job, else Failed).
QString StatusOfLeftTask(std::optional<int> exitCode, bool cancelled);

// sacct's lines (--allocations --noheader --parsable2 --format=JobID,State,ExitCode,JobName)
// for the tasks of job `jobId`, by array task id: "42_3|TIMEOUT|0:0|velto-...". Lines of other
// jobs, of tasks still pending as a range ("42_[4-9]") and of steps are left out.
std::map<int, SlurmTaskState> ParseSacct(const QString& output, const QString& jobId);

// The cause a Slurm state names (TIMEOUT, OUT_OF_MEMORY, NODE_FAIL, PREEMPTED, CANCELLED, also
// as sacct's "CANCELLED by 1000", BOOT_FAIL, DEADLINE); none for the others.
ClusterCause CauseOfState(const QString& slurmState);

// The cause named in Slurm's own output for a task, where slurmstepd says why it ended a task
// ("... CANCELLED AT ... DUE TO TIME LIMIT ***", "Exceeded job memory limit"); none otherwise.
// A memory kill also says "CANCELLED AT": the more telling cause wins.
ClusterCause CauseInSlurmOutput(std::string_view text);

// How a task that is no longer waiting or running ended: its row status and why it did not
// complete (empty when it did), in the words of EndReason and ClusterReason.
struct TaskEnd {
    QString status;
    QByteArray reason;
    bool operator==(const TaskEnd&) const = default;
};

// What is known of a task when its end is worded.
struct TaskFacts {
    QString state = {};  // squeue's or sacct's; empty when the cluster no longer knows the task
    std::optional<TaskExit> exit = {};               // what its script recorded
    ClusterCause outputCause = ClusterCause::kNone;  // what Slurm's own output names
    bool cancelledByUs = false;
    bool started = false;  // its solver was seen to run (or left a log or an exit code)
};

// The end of a task from its facts; a status of "Queued" or "Running" while it has not ended.
// A cause of the cluster's comes before the exit status its script recorded: a solver that the
// cluster ended leaves the status of the signal that ended it, which says less. Only when the
// script recorded a plain exit code does that code stand against a cause found in Slurm's output.
TaskEnd EndOfTask(const TaskFacts& facts);

// What velto-batch keeps of a job it submitted, in job.json beside the script.
struct SlurmRecord {
    QString jobId;
    QString jobName;
    QString folder;     // the job's folder: script, manifest, exit codes, Slurm's own output
    QStringList files;  // as shown
    std::vector<std::string> nativeFiles;  // the same paths' bytes, what runs
    bool cancelled = false;
    // The tasks seen to end, and how: a follower later, when the cluster has forgotten the job,
    // still tells why each did not complete.
    std::map<int, TaskEnd> ended;

    // The largest record that is read, as for a batch's journal.
    static constexpr qsizetype kMaxBytes = qsizetype(64) << 20;

    bool Save() const;
    static std::optional<SlurmRecord> Load(const QString& path);
};

// Splits new console text into the chunks a solver's pipe would have given: one line each (with
// its line end), a longer line in pieces of at most `limit` bytes. An unfinished last line is left
// in `pending` for the next call unless `flush`, or unless it has reached the limit.
std::vector<std::string> SplitLogChunks(std::string& pending, std::string_view newBytes, bool flush,
                                        std::size_t limit = 256);

}  // namespace velto
