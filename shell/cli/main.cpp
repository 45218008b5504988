// velto-batch: runs the solver over a batch of input files from a terminal, the command-line
// twin of the VeltoShell window.

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <cstdio>
#include <functional>

#include "shell/cli/batchterminal.h"
#include "shell/runner/batch.h"
#include "shell/runner/batchjournal.h"
#include "shell/runner/settings.h"
#include "shell/runner/slurmbatch.h"
#include "shell/runner/solverfinder.h"

namespace {

constexpr const char* kUsage =
    "Usage: velto-batch [--solver-folder DIR] [--jobs N] [--verbose] FILE.in ...\n"
    "       velto-batch [--solver-folder DIR] [--jobs N] [--verbose] --resume\n"
    "       velto-batch --slurm [--partition P] [--max-running N] [--time LIMIT] [--detach]\n"
    "                   [--solver-folder DIR] [--verbose] FILE.in ...\n"
    "       velto-batch --follow JOBID [--verbose]\n"
    "\n"
    "Runs the Velto solver on each input file in turn, in the file's own folder, and shows\n"
    "each file's progress and its final status: Completed, Failed or Aborted.\n"
    "\n"
    "  --solver-folder DIR  the folder that holds the solver (default: the folder the\n"
    "                       VeltoShell window remembers, else velto-batch's own folder)\n"
    "  --jobs N             run up to N files at once (default 1)\n"
    "  --verbose            show the solver's console text as it runs\n"
    "  --resume             run again the files of the last batch that did not complete\n"
    "\n"
    "On a Slurm cluster (the input files and the solver on a file system the nodes share):\n"
    "  --slurm              submit the files as one job array, one task per file, and\n"
    "                       follow it; each file's console text goes to NAME.log beside it\n"
    "  --partition P        the partition to run in (default: the cluster's default)\n"
    "  --max-running N      run at most N files at once (default: no limit)\n"
    "  --time LIMIT         time limit per file, as sbatch --time takes it\n"
    "  --detach             print the job id and return at once\n"
    "  --follow JOBID       follow a job submitted earlier with --slurm\n"
    "\n"
    "Ctrl+C stops the batch: the running file ends Aborted and no further file starts;\n"
    "the solver itself is left to end on its own. On a cluster Ctrl+C asks whether to\n"
    "cancel the job (c) or only stop following it (Enter).\n"
    "Exit status: 0 when every file completed, 1 otherwise, 2 for a usage error, when\n"
    "no solver is found, or when the cluster refuses or does not know the job.\n";

int UsageError(const QString& why) {
    std::fprintf(stderr, "velto-batch: %s\n\n%s", why.toLocal8Bit().constData(), kUsage);
    return 2;
}

int interruptPipe[2] = {-1, -1};

void OnInterrupt(int) {
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(interruptPipe[1], &byte, 1);
}

// Ctrl+C, delivered through the event loop as a call of `onInterrupt`.
void CatchInterrupt(QCoreApplication& app, std::function<void()> onInterrupt) {
    if (::pipe(interruptPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(interruptPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app,
                     [onInterrupt = std::move(onInterrupt)] {
                         char byte;
                         [[maybe_unused]] ssize_t ignored = ::read(interruptPipe[0], &byte, 1);
                         onInterrupt();
                     });
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    ::sigaction(SIGINT, &action, nullptr);
}

template <typename Rows>
bool AllCompleted(const Rows& rows) {
    for (const auto& row : rows) {
        if (row.status != velto::kStatusCompleted) {
            return false;
        }
    }
    return true;
}

// Follows a job on the cluster to its end. Ctrl+C asks on the terminal whether to cancel the
// job or only to stop following it; without a terminal to ask on, it stops following.
int FollowJob(QCoreApplication& app, velto::SlurmBatch& cluster, bool verbose) {
    velto::BatchTerminal terminal(cluster, verbose, stdout);
    const QByteArray id = cluster.jobId().toLocal8Bit();
    const bool canAsk = ::isatty(0) == 1;
    bool asking = false;
    auto stopFollowing = [&] {
        cluster.StopFollowing();
        terminal.setHeld(true);
        std::printf(
            "Stopped following job %s; it runs on. velto-batch --follow %s picks it up "
            "again.\n",
            id.constData(), id.constData());
        std::fflush(stdout);
        app.exit(1);
    };
    // The answer is read from the event loop, so following goes on while the question waits.
    QSocketNotifier answer(0, QSocketNotifier::Read);
    answer.setEnabled(false);
    QObject::connect(&answer, &QSocketNotifier::activated, &app, [&] {
        answer.setEnabled(false);
        asking = false;
        char line[256];
        const ssize_t got = ::read(0, line, sizeof line);
        const QByteArray text = got > 0 ? QByteArray(line, static_cast<int>(got)).trimmed() : "";
        if (text.toLower() != "c") {
            stopFollowing();
            return;
        }
        std::printf("Cancelling job %s...\n", id.constData());
        std::fflush(stdout);
        terminal.setHeld(false);
        cluster.Cancel();
    });
    CatchInterrupt(app, [&] {
        if (!cluster.IsFollowing) {
            return;
        }
        if (!canAsk || asking) {
            stopFollowing();
            return;
        }
        asking = true;
        terminal.setHeld(true);
        std::printf("\nCancel job %s on the cluster (c), or only stop following it (Enter)? ",
                    id.constData());
        std::fflush(stdout);
        answer.setEnabled(true);
    });
    QObject::connect(&cluster, &velto::SlurmBatch::batchFinished, &app,
                     [&] { app.exit(AllCompleted(cluster.rows) ? 0 : 1); });
    cluster.StartFollowing();
    return app.exec();
}

int ClusterError(const QString& error) {
    std::fprintf(stderr, "velto-batch: %s\n", error.toLocal8Bit().constData());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // A solver that goes away while we write its answer must not take us with it.
    ::signal(SIGPIPE, SIG_IGN);

    QString folder;
    bool verbose = false;
    bool resume = false;
    bool slurm = false;
    bool detach = false;
    bool jobsGiven = false;
    QString followId;
    velto::SlurmOptions cluster;
    bool clusterOptionGiven = false;
    int jobs = 1;
    QStringList files;
    const QStringList args = app.arguments().mid(1);
    const QStringList withValue = {"--solver-folder", "--jobs", "--partition",
                                   "--max-running",   "--time", "--follow"};
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("velto-batch %s\n", VELTO_VERSION);
            return 0;
        }
        if (arg == "--verbose" || arg == "-v") {
            verbose = true;
        } else if (arg == "--resume") {
            resume = true;
        } else if (arg == "--slurm") {
            slurm = true;
        } else if (arg == "--detach") {
            detach = true;
            clusterOptionGiven = true;
        } else if (withValue.contains(arg)) {
            if (i + 1 >= args.size()) {
                return UsageError("option '" + arg + "' needs a value");
            }
            const QString value = args[++i];
            if (arg == "--solver-folder") {
                folder = value;
            } else if (arg == "--jobs") {
                bool ok = false;
                jobs = value.toInt(&ok);
                jobsGiven = true;
                if (!ok || jobs < 1) {
                    return UsageError("--jobs takes a whole number of 1 or more");
                }
            } else if (arg == "--partition") {
                cluster.partition = value;
                clusterOptionGiven = true;
            } else if (arg == "--time") {
                cluster.timeLimit = value;
                clusterOptionGiven = true;
            } else if (arg == "--max-running") {
                bool ok = false;
                cluster.maxRunning = value.toInt(&ok);
                clusterOptionGiven = true;
                if (!ok || cluster.maxRunning < 1) {
                    return UsageError("--max-running takes a whole number of 1 or more");
                }
            } else {
                followId = value;
            }
        } else if (arg.startsWith('-') && arg != "-") {
            return UsageError("unknown option '" + arg + "'");
        } else {
            files.append(arg);
        }
    }
    if (clusterOptionGiven && !slurm) {
        return UsageError("--partition, --max-running, --time and --detach go with --slurm");
    }
    if (slurm && jobsGiven) {
        return UsageError(
            "on a cluster --max-running, not --jobs, sets how many files run at once");
    }
    if (!followId.isEmpty()) {
        if (slurm || resume || !files.isEmpty() || !folder.isEmpty() || jobsGiven) {
            return UsageError("--follow takes a job id alone");
        }
        velto::SlurmBatch job;
        job.setKeepLogs(false);
        QString error;
        if (!job.Follow(followId, error)) {
            return ClusterError(error);
        }
        std::printf("Following job %s (%lld files)\n", job.jobId().toLocal8Bit().constData(),
                    static_cast<long long>(job.rows.size()));
        std::fflush(stdout);
        return FollowJob(app, job, verbose);
    }
    // Every batch is kept on disk as it runs, so --resume knows what did not complete.
    const QString journalPath =
        velto::BatchJournal::DefaultPath(QStringLiteral("velto-batch.json"));
    if (resume) {
        if (!files.isEmpty()) {
            return UsageError("--resume takes no input files");
        }
        velto::Batch last;
        if (!velto::BatchJournal::Load(journalPath, last)) {
            std::fprintf(stderr, "velto-batch: there is no earlier batch to resume\n");
            return 2;
        }
        for (const auto& row : last.rows) {
            if (row.status != velto::kStatusCompleted) {
                files.append(row.path);
            }
        }
        if (files.isEmpty()) {
            std::printf("Every file of the last batch completed: nothing to resume.\n");
            return 0;
        }
    }
    if (files.isEmpty()) {
        return UsageError("no input file given");
    }
    for (const QString& file : files) {
        QFileInfo info(file);
        if (!info.exists() || !info.isFile()) {
            return UsageError("no such input file: " + file);
        }
    }
    if (slurm && !velto::SlurmBatch::Available()) {
        return ClusterError(
            "sbatch was not found on the PATH: a batch goes to the cluster from a machine with "
            "the Slurm commands");
    }

    velto::SolverInfo solver;
    if (folder.isEmpty()) {
        folder = velto::LoadSolverFolder();
    }
    if (folder.isEmpty()) {
        folder = QCoreApplication::applicationDirPath();
    }
    solver.SolverFolder = QDir::cleanPath(folder).toStdString();
    if (!velto::FindSolver(solver, solver.SolverFolder)) {
        QString text = velto::kSolverNotFoundText;
        text.replace("\r\n", "\n");
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        return 2;
    }
    velto::GetSolverVersion(solver, solver.Command());
    std::printf("Velto %s (%s)\n", solver.SolverVersionText.c_str(), solver.Command().c_str());
    std::fflush(stdout);

    if (slurm) {
        velto::SlurmBatch job;
        job.setKeepLogs(false);
        QStringList paths;
        for (const QString& file : files) {
            paths.append(QFileInfo(file).absoluteFilePath());
        }
        QString error;
        if (!job.Submit(solver, paths, cluster, error)) {
            return ClusterError(error);
        }
        const QByteArray id = job.jobId().toLocal8Bit();
        std::printf("Submitted batch job %s (%lld files); its script is in %s\n", id.constData(),
                    static_cast<long long>(job.rows.size()),
                    job.jobFolder().toLocal8Bit().constData());
        if (detach) {
            std::printf("Follow it with: velto-batch --follow %s\n", id.constData());
            return 0;
        }
        std::fflush(stdout);
        return FollowJob(app, job, verbose);
    }

    velto::Batch batch;
    batch.setKeepLogs(false);
    for (const QString& file : files) {
        batch.AddRow(QFileInfo(file).absoluteFilePath());
    }
    velto::BatchTerminal terminal(batch, verbose, stdout);
    velto::BatchJournal journal(batch, journalPath);
    journal.Save();

    // Ctrl+C is Stop.
    bool stopped = false;
    CatchInterrupt(app, [&batch, &stopped] {
        if (!stopped) {
            stopped = true;
            batch.Stop();
        }
    });

    QObject::connect(&batch, &velto::Batch::batchFinished, &app,
                     [&batch, &app] { app.exit(AllCompleted(batch.rows) ? 0 : 1); });
    batch.Run(solver, jobs);
    return app.exec();
}
