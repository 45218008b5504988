#pragma once

#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/runner/batchbackend.h"
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
// exit code in STATUSFOLDER/i.exit before it exits with the same code.
std::string JobScript(const std::string& solverCommand, const std::string& manifestPath,
                      const std::string& statusFolder);

// sbatch's arguments for a job array of `tasks` tasks (the script last). Slurm's own output goes
// to slurm-0.out, ... in the job's folder; sbatch reads a backslash anywhere in an output path as
// "take this name as it is, no % patterns" (and drops it unless doubled), so a folder whose path
// holds one gets a single slurm.out, written by every task in turn.
QStringList SbatchArguments(const SlurmOptions& options, int tasks, const QString& jobName,
                            const QString& jobFolder, const QString& scriptPath);

// The job id in sbatch --parsable's answer ("123" or "123;cluster"); empty when there is none.
QString ParseJobId(const QString& sbatchOutput);

// One array task as squeue lists it.
struct SlurmTaskState {
    QString state;           // PENDING, RUNNING, COMPLETED, ...
    double usedSeconds = 0;  // the time it has run so far
    QString jobName;
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

// What velto-batch keeps of a job it submitted, in job.json beside the script.
struct SlurmRecord {
    QString jobId;
    QString jobName;
    QString folder;     // the job's folder: script, manifest, exit codes, Slurm's own output
    QStringList files;  // as shown
    std::vector<std::string> nativeFiles;  // the same paths' bytes, what runs
    bool cancelled = false;

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
