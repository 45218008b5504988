// velto-batch: runs the solver over a batch of input files from a terminal, the command-line
// twin of the VeltoShell window.

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/encoding.h"
#include "shell/cli/batchterminal.h"
#include "shell/cluster/slurmbackend.h"
#include "shell/runner/exportafterrun.h"
#include "shell/runner/inputfiles.h"
#include "shell/runner/settings.h"
#include "shell/runner/solverrun.h"
#include "shell/session/batchsession.h"

namespace {

constexpr const char* kUsage =
    "Usage: velto-batch [--solver-folder DIR] [--jobs N] [--verbose] [--export OPTIONS]\n"
    "                   [--] FILE.in ...\n"
    "       velto-batch [--solver-folder DIR] [--jobs N] [--verbose] [--export OPTIONS] --resume\n"
    "       velto-batch --slurm [--partition P] [--max-running N] [--time LIMIT] [--detach]\n"
    "                   [--solver-folder DIR] [--verbose] [--export OPTIONS] [--] FILE.in ...\n"
    "       velto-batch --follow JOBID [--verbose]\n"
    "\n"
    "Runs the Velto solver on each input file in turn, in the file's own folder, and shows\n"
    "each file's progress and its final status: Completed, Failed or Aborted. The solver\n"
    "is handed the base name and reads BASE.in: each FILE must be named so.\n"
    "\n"
    "  --solver-folder DIR  the folder that holds the solver (default: the folder the\n"
    "                       VeltoShell window remembers, else velto-batch's own folder)\n"
    "  --jobs N             run up to N files at once (default 1)\n"
    "  --verbose            show the solver's console text as it runs\n"
    "  --export \"OPTIONS\"   after each file completes, export from its listing NAME.out\n"
    "                       with these velto-extract export options (e.g. \"--all\", or\n"
    "                       \"--variable Temperature --from 12 --to 12 --format csv\") into\n"
    "                       NAME.xlsx beside it (NAME.csv, NAME.xls for the format chosen);\n"
    "                       an export that fails is said and counted, and leaves the\n"
    "                       file's status as it is\n"
    "  --resume             run again the files that did not complete of the batch\n"
    "                       started last among those that left files unfinished and\n"
    "                       do not run now (each batch keeps a record of its own)\n"
    "  --                   ends the options: FILE.in may then begin with '-'\n"
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
    "the solver itself is left to end on its own, and its file is not run again while\n"
    "that solver runs (it fails at once, \"being run already\"). On a cluster Ctrl+C asks\n"
    "whether to cancel the job (c) or only stop following it (Enter).\n"
    "Exit status: 0 when every file completed (and every export was written), 1\n"
    "otherwise, 2 for a usage error, when no solver is found, or when the cluster\n"
    "refuses or does not know the job.\n";

// A refusal says why in one line and where the help is, rather than burying the reason under it.
int UsageError(const QString& why) {
    std::fprintf(stderr, "velto-batch: %s\nTry 'velto-batch --help' for more information.\n",
                 why.toLocal8Bit().constData());
    return 2;
}

int interruptPipe[2] = {-1, -1};

void OnInterrupt(int signal) {
    char byte = static_cast<char>(signal);
    [[maybe_unused]] ssize_t ignored = ::write(interruptPipe[1], &byte, 1);
}

// Ctrl+C, and the end a session's close (SIGHUP) or a shutdown (SIGTERM) asks for, delivered
// through the event loop as a call of `onInterrupt` with the signal: the batch stops as a Stop
// stops it, its solvers ended and its record kept, rather than leaving solvers running behind.
void CatchInterrupt(QCoreApplication& app, std::function<void(int)> onInterrupt) {
    if (::pipe(interruptPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(interruptPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app,
                     [onInterrupt = std::move(onInterrupt)] {
                         char byte = SIGINT;
                         [[maybe_unused]] ssize_t ignored = ::read(interruptPipe[0], &byte, 1);
                         onInterrupt(static_cast<unsigned char>(byte));
                     });
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
}

// Waits in the event loop for the cluster's first answer: empty when the batch is under way,
// else why it is not.
QString AwaitCluster(velto::BatchModel& batch) {
    QEventLoop loop;
    QString refusal;
    bool answered = false;
    QObject::connect(&batch, &velto::BatchModel::batchAccepted, &loop, [&] {
        answered = true;
        loop.quit();
    });
    QObject::connect(&batch, &velto::BatchModel::batchRefused, &loop, [&](const QString& reason) {
        refusal = reason;
        answered = true;
        loop.quit();
    });
    if (!answered) {
        loop.exec();
    }
    return refusal;
}

// Follows job `id` on the cluster to its end. Ctrl+C asks on the terminal whether to cancel the
// job or only to stop following it; without a terminal to ask on, it stops following.
int FollowJob(QCoreApplication& app, velto::BatchSession& session, const QByteArray& id,
              velto::BatchTerminal& terminal) {
    const bool canAsk = ::isatty(0) == 1;
    bool asking = false;
    auto stopFollowing = [&] {
        session.StopFollowing();
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
        session.Stop();
    });
    CatchInterrupt(app, [&](int signal) {
        // The session's question, in the terminal's words; none for a session that ends.
        if (!session.StopQuestion()) {
            return;
        }
        if (!canAsk || asking || signal != SIGINT) {
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
    QObject::connect(&session.batch(), &velto::BatchModel::batchFinished, &app,
                     [&] { app.exit(session.Succeeded() ? 0 : 1); });
    return app.exec();
}

int ClusterError(const QString& error) {
    std::fprintf(stderr, "velto-batch: %s\n", error.toLocal8Bit().constData());
    return 2;
}

// Prints each line after "velto-batch: " on standard error.
void Complain(const QStringList& lines) {
    for (const QString& line : lines) {
        std::fprintf(stderr, "velto-batch: %s\n", line.toUtf8().constData());
    }
}

int Run(QCoreApplication& app, int argc, char** argv) {
    std::string folder;
    bool verbose = false;
    bool resume = false;
    bool slurm = false;
    bool detach = false;
    bool jobsGiven = false;
    QString followId;
    velto::SlurmOptions cluster;
    bool clusterOptionGiven = false;
    int jobs = 1;
    // Input files as the bytes the system handed us: a name need not be UTF-8.
    std::vector<std::string> files;
    const QStringList withValue = {"--solver-folder", "--jobs",   "--partition", "--max-running",
                                   "--time",          "--follow", "--export"};
    QStringList exportOptions;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string bytes = argv[i];
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (optionsEnded || bytes == "-" || bytes.empty() || bytes[0] != '-') {
            files.push_back(bytes);
            continue;
        }
        if (bytes == "--") {
            optionsEnded = true;
            continue;
        }
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
            if (i + 1 >= argc) {
                return UsageError("option '" + arg + "' needs a value");
            }
            ++i;
            const QString value = QString::fromLocal8Bit(argv[i]);
            if (arg == "--solver-folder") {
                folder = argv[i];
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
            } else if (arg == "--export") {
                QString problem;
                if (!velto::ParseExportOptions(value, exportOptions, problem)) {
                    return UsageError(problem);
                }
                if (exportOptions.isEmpty()) {
                    return UsageError("--export takes the options of velto-extract export");
                }
            } else {
                followId = value;
            }
        } else {
            return UsageError("unknown option '" + velto::PrintablePath(bytes) +
                              "' (a file whose name begins with '-' goes after '--')");
        }
    }
    if (clusterOptionGiven && !slurm) {
        return UsageError("--partition, --max-running, --time and --detach go with --slurm");
    }
    if (slurm && jobsGiven) {
        return UsageError(
            "on a cluster --max-running, not --jobs, sets how many files run at once");
    }
    velto::BatchSession session;
    // The terminal streams each file's console text: only its last lines are kept.
    session.setKeepConsoleText(false);
    if (!followId.isEmpty()) {
        if (slurm || resume || !files.empty() || !folder.empty() || jobsGiven ||
            !exportOptions.isEmpty()) {
            return UsageError("--follow takes a job id alone");
        }
        QString error;
        const std::optional<velto::SlurmRecord> record =
            velto::SlurmBackend::FindJob(followId, error);
        if (!record) {
            return ClusterError(error);
        }
        // Listening before the batch starts: nothing the cluster says goes unshown.
        velto::BatchTerminal terminal(session.batch(), verbose, stdout);
        session.Follow(*record);
        const QString refusal = AwaitCluster(session.batch());
        if (!refusal.isEmpty()) {
            return ClusterError(refusal);
        }
        const QByteArray id = record->jobId.toLocal8Bit();
        std::printf("Following job %s (%lld files)\n", id.constData(),
                    static_cast<long long>(session.batch().rowCount()));
        std::fflush(stdout);
        return FollowJob(app, session, id, terminal);
    }
    velto::ResumeOffer offer;
    if (resume) {
        if (!files.empty()) {
            return UsageError("--resume takes no input files");
        }
        offer = session.OfferResume();
        Complain(offer.messages);
        if (!offer.offered) {
            if (!offer.anyEarlier) {
                std::fprintf(stderr, "velto-batch: there is no earlier batch to resume\n");
                return 2;
            }
            if (offer.unreadable > 0) {
                // What those records held is not known: say so rather than "every file completed".
                std::printf(
                    "Nothing to resume of the batches that could be read: each completed or runs "
                    "now (%d running); %d batch record(s) could not be read.\n",
                    offer.running, offer.unreadable);
            } else if (offer.recordsKeptAside) {
                // Its rows that could not be taken up are named above: not "every file completed".
                std::printf(
                    "Nothing else to resume: what the record kept aside holds is named "
                    "above.\n");
            } else if (offer.running == 0) {
                std::printf("Every file of the earlier batches completed: nothing to resume.\n");
            } else {
                std::printf(
                    "Nothing to resume: every earlier batch completed or runs now (%d running).\n",
                    offer.running);
            }
            return offer.recordsKeptAside ? 1 : 0;
        }
        for (const velto::BatchModel::Row& row : offer.unfinished) {
            // Why it did not complete, as the record kept it, before it runs again.
            if (!row.reason.isEmpty()) {
                const std::string& path = row.nativePath;
                std::printf(
                    "%s: %s last time: %s\n",
                    velto::TerminalSafe(std::string_view(path).substr(path.rfind('/') + 1)).c_str(),
                    row.status.toLocal8Bit().constData(),
                    velto::ControlsEscaped(velto::ConsoleText(row.reason).toStdString()).c_str());
            }
        }
        std::fflush(stdout);
        // The batch exported after each run: so does its resumption, unless told otherwise.
        if (exportOptions.isEmpty() && !offer.exportOptions.isEmpty()) {
            exportOptions = offer.exportOptions;
            std::printf("Exporting after each run as the batch did: %s\n",
                        exportOptions.join(' ').toLocal8Bit().constData());
        }
    } else if (files.empty()) {
        return UsageError("no input file given");
    }
    if (!exportOptions.isEmpty()) {
        if (const QString problem = session.SetExportAfterRun(exportOptions); !problem.isEmpty()) {
            return UsageError(problem);
        }
    }
    // One rule for every batch: files that can be run, each once.
    const velto::CheckedInputs checked = resume ? session.TakeResume(offer) : session.Add(files);
    const QStringList problems = checked.refused + checked.duplicates;
    if (resume) {
        // A file of the batch deleted since (or no longer fit to run) is left out.
        for (const QString& problem : problems) {
            Complain({problem + QStringLiteral("; it is skipped")});
        }
        if (checked.accepted.empty()) {
            std::printf("Nothing left to resume: no file of that batch can be run now.\n");
            return 1;
        }
    } else if (!problems.isEmpty()) {
        Complain(problems.mid(0, problems.size() - 1));
        return UsageError(problems.back());
    }
    // A file skipped is a file not completed: the exit status says so.
    const int skipped = session.resumeIncomplete() ? 1 : 0;
    if (slurm && !session.LookForCluster()) {
        return ClusterError(
            "sbatch was not found on the PATH: a batch goes to the cluster from a machine with "
            "the Slurm commands");
    }

    const velto::SolverLookup lookup = session.LookForSolver(folder);
    if (!lookup.found) {
        Complain(velto::SolverMissingLines(lookup));
        return 2;
    }
    const velto::SolverInfo& solver = session.solver();
    std::printf("Velto %s (%s)\n", velto::TerminalSafe(solver.SolverVersionText).c_str(),
                velto::TerminalSafe(solver.Command()).c_str());
    std::fflush(stdout);

    velto::BatchTerminal terminal(session.batch(), verbose, stdout);
    if (slurm) {
        if (!session.RunOnCluster(cluster)) {
            return ClusterError("the batch could not be submitted");
        }
        const QString refusal = AwaitCluster(session.batch());
        const velto::SlurmBackend* job = session.clusterJob();
        if (!refusal.isEmpty() || !job) {
            return ClusterError(refusal);
        }
        const QByteArray id = job->jobId().toLocal8Bit();
        std::printf("Submitted batch job %s (%lld files); its script is in %s\n", id.constData(),
                    static_cast<long long>(session.batch().rowCount()),
                    velto::PrintablePath(velto::PathBytes(job->jobFolder())).toUtf8().constData());
        if (detach) {
            std::printf("Follow it with: velto-batch --follow %s\n", id.constData());
            session.StopFollowing();
            return 0;
        }
        std::fflush(stdout);
        return FollowJob(app, session, id, terminal) | skipped;
    }

    // Every batch is kept on disk as it runs, each in a record of its own, so --resume knows
    // what did not complete even when other batches ran beside it.
    if (const QString error = session.KeepOnDisk(); !error.isEmpty()) {
        Complain({"this batch is not kept on disk (--resume will not know it): " + error});
    }

    // Ctrl+C is Stop, and so are SIGTERM and SIGHUP.
    bool stopped = false;
    CatchInterrupt(app, [&session, &stopped](int signal) {
        if (!stopped) {
            stopped = true;
            if (signal != SIGINT) {
                std::fprintf(
                    stderr, "velto-batch: %s: stopping the batch\n",
                    signal == SIGHUP ? "the terminal closed (SIGHUP)" : "asked to end (SIGTERM)");
            }
            session.Stop();
        }
    });

    QObject::connect(&session.batch(), &velto::BatchModel::batchFinished, &app,
                     [&session, &app] { app.exit(session.Succeeded() ? 0 : 1); });
    session.Run(jobs);
    int status = 1;
    try {
        status = app.exec();
    } catch (const std::exception& e) {
        // Whatever went wrong, the record ends as the batch did: no file left "Running".
        Complain({QString::fromLatin1(velto::FailureText(e)).trimmed()});
        session.Abandon();
        status = 1;
    }
    session.EndOnDisk();
    return status | skipped;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // A solver that goes away while we write its answer must not take us with it.
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return Run(app, argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velto-batch: %s", velto::FailureText(e).constData());
        return 1;
    }
}
