// velto-batch: runs the solver over a batch of input files from a terminal, the command-line
// twin of the VeltoShell window.

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <cstdio>

#include "shell/cli/batchterminal.h"
#include "shell/runner/batch.h"
#include "shell/runner/batchjournal.h"
#include "shell/runner/settings.h"
#include "shell/runner/solverfinder.h"

namespace {

constexpr const char* kUsage =
    "Usage: velto-batch [--solver-folder DIR] [--jobs N] [--verbose] FILE.in ...\n"
    "       velto-batch [--solver-folder DIR] [--jobs N] [--verbose] --resume\n"
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
    "Ctrl+C stops the batch: the running file ends Aborted and no further file starts;\n"
    "the solver itself is left to end on its own.\n"
    "Exit status: 0 when every file completed, 1 otherwise, 2 for a usage error or when\n"
    "no solver is found.\n";

int UsageError(const QString& why) {
    std::fprintf(stderr, "velto-batch: %s\n\n%s", why.toLocal8Bit().constData(), kUsage);
    return 2;
}

int interruptPipe[2] = {-1, -1};

void OnInterrupt(int) {
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(interruptPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // A solver that goes away while we write its answer must not take us with it.
    ::signal(SIGPIPE, SIG_IGN);

    QString folder;
    bool verbose = false;
    bool resume = false;
    int jobs = 1;
    QStringList files;
    const QStringList args = app.arguments().mid(1);
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
        } else if (arg == "--solver-folder" || arg == "--jobs") {
            if (i + 1 >= args.size()) {
                return UsageError("option '" + arg + "' needs a value");
            }
            const QString value = args[++i];
            if (arg == "--solver-folder") {
                folder = value;
            } else {
                bool ok = false;
                jobs = value.toInt(&ok);
                if (!ok || jobs < 1) {
                    return UsageError("--jobs takes a whole number of 1 or more");
                }
            }
        } else if (arg.startsWith('-') && arg != "-") {
            return UsageError("unknown option '" + arg + "'");
        } else {
            files.append(arg);
        }
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

    velto::Batch batch;
    batch.setKeepLogs(false);
    for (const QString& file : files) {
        batch.AddRow(QFileInfo(file).absoluteFilePath());
    }
    velto::BatchTerminal terminal(batch, verbose, stdout);
    velto::BatchJournal journal(batch, journalPath);
    journal.Save();

    // Ctrl+C is Stop, delivered through the event loop.
    if (::pipe(interruptPipe) == 0) {
        auto* notifier = new QSocketNotifier(interruptPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&batch, notifier] {
            char byte;
            [[maybe_unused]] ssize_t ignored = ::read(interruptPipe[0], &byte, 1);
            notifier->setEnabled(false);
            batch.Stop();
        });
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        ::sigaction(SIGINT, &action, nullptr);
    }

    QObject::connect(&batch, &velto::Batch::batchFinished, &app, [&batch, &app] {
        bool allCompleted = true;
        for (const auto& row : batch.rows) {
            allCompleted = allCompleted && row.status == velto::kStatusCompleted;
        }
        app.exit(allCompleted ? 0 : 1);
    });
    batch.Run(solver, jobs);
    return app.exec();
}
