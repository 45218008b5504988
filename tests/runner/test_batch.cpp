#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "shell/runner/batch.h"
#include "shell/runner/batchjournal.h"
#include "shell/runner/solverfinder.h"
#include "shell/runner/solverrun.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

SolverInfo StandIn(const char* folder) {
    SolverInfo solver;
    solver.SolverFolder = folder;
    EXPECT_TRUE(FindSolver(solver, folder));
    GetSolverVersion(solver, solver.Command());
    return solver;
}

class BatchRun : public ::testing::Test {
  protected:
    // Writes an input file with an end time and the stand-in's directives.
    std::string Input(const std::string& name, const std::vector<std::string>& directives,
                      bool timeBlock = true) {
        std::vector<std::string> lines = {"NODES 12"};
        if (timeBlock) {
            lines.insert(lines.end(), {"TIME", "  5 1800", "  10 3600", "END_TIME"});
        }
        for (const std::string& d : directives) {
            lines.push_back("STANDIN " + d);
        }
        std::string path = dir.File(name + ".in");
        test::WriteBytes(path, test::Lines(lines, "\r\n"));
        return path;
    }

    // Runs the batch to its end (or for at most a minute).
    void RunToEnd(Batch& batch, const SolverInfo& solver, int jobs = 1) {
        QEventLoop loop;
        QObject::connect(&batch, &Batch::batchFinished, &loop, &QEventLoop::quit);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        batch.Run(solver, jobs);
        loop.exec();
        ASSERT_FALSE(batch.IsRunning) << "the batch did not finish within a minute";
    }

    std::vector<QString> Statuses(const Batch& batch) {
        std::vector<QString> statuses;
        for (const auto& row : batch.rows) {
            statuses.push_back(row.status);
        }
        return statuses;
    }

    std::string Received(const std::string& name) {
        return test::ReadBytes(dir.File(name + ".received"));
    }

    test::ScratchDir dir;
};

TEST_F(BatchRun, FailingFileInTheMiddleLeavesTheOthersCompleted) {
    Batch batch;
    batch.AddRow(QString::fromStdString(Input("beam1", {"STEPS 4", "PACE 0.05"})));
    batch.AddRow(QString::fromStdString(Input("beam2", {"STEPS 2", "PACE 0", "EXIT 3"})));
    batch.AddRow(QString::fromStdString(Input("beam3", {"STEPS 4", "PACE 0.05"})));
    std::vector<std::pair<int, float>> progress;
    QObject::connect(&batch, &Batch::progress, [&](int row, float fraction, const QString& name) {
        progress.emplace_back(row, fraction);
        EXPECT_EQ(name.toStdString(), "beam" + std::to_string(row + 1));
    });
    std::vector<std::pair<int, QByteArray>> reasons;
    QObject::connect(&batch, &Batch::fileFailedBecause,
                     [&](int row, const QByteArray& reason) { reasons.emplace_back(row, reason); });
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR));
    EXPECT_EQ(Statuses(batch), (std::vector<QString>{"Completed", "Failed", "Completed"}));
    // The failed row says why, at the end of its console text.
    EXPECT_TRUE(batch.RunLogs[1].endsWith("Analysis completed.\nVelto ended with exit code 3\n"))
        << batch.RunLogs[1].toStdString();
    EXPECT_EQ(reasons,
              (std::vector<std::pair<int, QByteArray>>{{1, "Velto ended with exit code 3\n"}}));
    ASSERT_EQ(batch.RunLogs.size(), 3);
    for (const QByteArray& log : batch.RunLogs) {
        EXPECT_TRUE(log.contains("time = ")) << log.toStdString();
        // The prompt and its two blanks never reach the console text.
        EXPECT_FALSE(log.contains("FILENAME")) << log.toStdString();
    }
    EXPECT_TRUE(batch.RunLogs[0].contains("time = 3600.00"));
    // Progress runs against the input's end time. Each paced step arrives in a read of its own
    // (the first may share one with the banner, whose second word is no number).
    for (int row : {0, 2}) {
        std::vector<float> fractions;
        for (const auto& [r, fraction] : progress) {
            if (r == row) {
                fractions.push_back(fraction);
            }
        }
        ASSERT_GE(fractions.size(), 3u) << "row " << row;
        EXPECT_EQ(std::vector<float>(fractions.end() - 3, fractions.end()),
                  (std::vector<float>{0.5f, 0.75f, 1.0f}));
    }
    EXPECT_TRUE(std::filesystem::exists(dir.File("beam3.out")));
}

// Qt's warnings about descriptors it watches, recorded while a test runs.
std::vector<std::string> notifierWarnings;
void RecordNotifierWarnings(QtMsgType, const QMessageLogContext&, const QString& text) {
    if (text.contains("QSocketNotifier")) {
        notifierWarnings.push_back(text.toStdString());
    }
}

TEST_F(BatchRun, StopAbortsTheRunningFileAndLeavesTheSolverAlone) {
    notifierWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(RecordNotifierWarnings);
    Batch batch;
    batch.AddRow(QString::fromStdString(Input("beam1", {"STEPS 2", "PACE 0"})));
    batch.AddRow(QString::fromStdString(Input("beam2", {"STEPS 200", "PACE 0.2"})));
    batch.AddRow(QString::fromStdString(Input("beam3", {"STEPS 2", "PACE 0"})));
    batch.rows[2].status = "Completed";  // from an earlier batch
    std::vector<int> solvers;
    QObject::connect(&batch, &Batch::progress, [&](int row, float, const QString&) {
        if (row == 1 && !batch.StopRequested) {
            solvers = test::ProcessesIn(dir.path());
            batch.Stop();
            // Right after the stop the solver is still there, untouched.
            for (int pid : solvers) {
                EXPECT_NE(test::StateOf(pid), 'Z');
                EXPECT_EQ(::kill(pid, 0), 0);
            }
        }
    });
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR));
    EXPECT_EQ(Statuses(batch), (std::vector<QString>{"Completed", "Aborted", "Completed"}));
    ASSERT_EQ(solvers.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir.File("beam3.received")));
    // The stopped solver meets the closed pipe at its next line and ends; it is then reaped.
    QEventLoop loop;
    for (int i = 0; i < 100 && test::StateOf(solvers[0]) != '\0'; ++i) {
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    EXPECT_EQ(test::StateOf(solvers[0]), '\0')
        << "the stopped solver was left as a zombie or runs on";
    // Its reaping stopped watching the descriptor before closing it.
    qInstallMessageHandler(previous);
    EXPECT_EQ(notifierWarnings, std::vector<std::string>());
}

// An input that cannot be read is never handed to a solver: a pipe (which would hold the reader
// until someone writes to it) and a file with a line beyond a megabyte fail with the reason in
// their console text, the batch goes on, and its journal ends as the batch did.
TEST_F(BatchRun, InputsThatCannotBeReadFailWithTheReason) {
    ASSERT_EQ(::mkfifo(dir.File("pipe.in").c_str(), 0600), 0);
    test::WriteBytes(dir.File("long.in"), "STANDIN PACE 0\n" + std::string(2 << 20, 'x'));
    Batch batch;
    batch.AddRow(QString::fromStdString(dir.File("pipe.in")));
    batch.AddRow(QString::fromStdString(dir.File("long.in")));
    batch.AddRow(QString::fromStdString(Input("beam3", {"STEPS 2", "PACE 0"})));
    const QString journalPath = QString::fromStdString(dir.File("journal.json"));
    BatchJournal journal(batch, journalPath);
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR));
    EXPECT_EQ(Statuses(batch), (std::vector<QString>{"Failed", "Failed", "Completed"}));
    EXPECT_TRUE(batch.RunLogs[0].contains("pipe.in is not a regular file"))
        << batch.RunLogs[0].toStdString();
    EXPECT_TRUE(batch.RunLogs[1].contains("Read File Error 59: Bad record length"))
        << batch.RunLogs[1].toStdString();
    EXPECT_FALSE(std::filesystem::exists(dir.File("pipe.out")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("long.out")));
    Batch saved;
    ASSERT_EQ(BatchJournal::Load(journalPath, saved), BatchJournal::Loaded::kYes);
    EXPECT_EQ(Statuses(saved), (std::vector<QString>{"Failed", "Failed", "Completed"}));
}

// A journal is never larger than what is read back: many rows of console text (control
// characters, six bytes each as JSON) share a budget, each keeping its last part, and a short
// text is kept whole. A file larger than any journal of ours is refused without being read, even
// one that would read as a journal.
TEST(BatchJournalSize, WrittenWithinTheLimitAndLargerRefusedUnread) {
    test::ScratchDir dir;
    Batch batch;
    batch.AddRow(QString::fromStdString(dir.File("short.in")));
    batch.RunLogs.back() = "short text\n";
    const int flooded = 12;
    for (int i = 0; i < flooded; ++i) {
        batch.AddRow(QString::fromStdString(dir.File("flood" + std::to_string(i) + ".in")));
        batch.RunLogs.back() =
            QByteArray(BatchJournal::kMaxLogBytes, '\x01') + QByteArray::number(i) + " ended\n";
    }
    const QString path = QString::fromStdString(dir.File("journal.json"));
    {
        BatchJournal journal(batch, path);
        ASSERT_TRUE(journal.Save());
    }
    EXPECT_LE(std::filesystem::file_size(path.toStdString()),
              static_cast<std::uintmax_t>(BatchJournal::kMaxJournalBytes));
    Batch saved;
    ASSERT_EQ(BatchJournal::Load(path, saved), BatchJournal::Loaded::kYes);
    ASSERT_EQ(saved.RunLogs.size(), flooded + 1);
    EXPECT_EQ(saved.RunLogs[0], "short text\n");
    qsizetype kept = 0;
    for (int i = 0; i < flooded; ++i) {
        const QByteArray& log = saved.RunLogs[i + 1];
        EXPECT_TRUE(log.endsWith(QByteArray::number(i) + " ended\n")) << i;
        EXPECT_GT(log.size(), BatchJournal::kLogBudget / (flooded + 1)) << i;
        kept += log.size();
    }
    EXPECT_LE(kept, BatchJournal::kLogBudget);

    std::string padded = "{\"rows\": [{\"path\": \"/w/beam1.in\", \"status\": \"Failed\"}]}";
    padded.resize(static_cast<std::size_t>(BatchJournal::kMaxJournalBytes) + 1, ' ');
    test::WriteBytes(path.toStdString(), padded);
    Batch large;
    EXPECT_EQ(BatchJournal::Load(path, large), BatchJournal::Loaded::kUnreadable);
    EXPECT_TRUE(large.rows.empty());
}

TEST_F(BatchRun, Version2004TakesTheNameOnItsCommandLineOnly) {
    Batch batch;
    batch.AddRow(QString::fromStdString(Input("beam1", {"STEPS 1", "PACE 0", "RECORD"})));
    RunToEnd(batch, StandIn(VELTO_STANDIN_2004_DIR));
    EXPECT_EQ(Statuses(batch), std::vector<QString>{"Completed"});
    EXPECT_EQ(Received("beam1"), "argc=2\narg1=beam1\nstdin=\n");
}

TEST_F(BatchRun, OtherVersionsReadExactlyTwentyBytes) {
    Batch batch;
    batch.AddRow(QString::fromStdString(Input("beam1", {"STEPS 1", "PACE 0", "RECORD"})));
    // A long name is sent whole with its line end, not cut to 20 bytes.
    const std::string longName = "fire-compartment-beam-25";
    batch.AddRow(QString::fromStdString(Input(longName, {"STEPS 1", "PACE 0", "RECORD"})));
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR));
    EXPECT_EQ(Statuses(batch), (std::vector<QString>{"Completed", "Completed"}));
    EXPECT_EQ(Received("beam1"), "argc=1\nstdin=beam1\\r\\n             \n");
    EXPECT_EQ(Received(longName), "argc=1\nstdin=" + longName + "\\r\\n\n");
}

TEST_F(BatchRun, NoTimeBlockGivesNoProgressButAllText) {
    Batch batch;
    batch.AddRow(QString::fromStdString(Input("beam1", {"STEPS 3", "PACE 0"}, false)));
    int reports = 0;
    QObject::connect(&batch, &Batch::progress, [&](int, float, const QString&) { ++reports; });
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR));
    EXPECT_EQ(reports, 0);
    EXPECT_TRUE(batch.RunLogs[0].contains("Analysis completed."));
}

TEST_F(BatchRun, MissingSolverFailsEveryFile) {
    SolverInfo solver;
    solver.SolverFolder = dir.File("no solver here");
    solver.SolverExe = "velto";
    Batch batch;
    batch.AddRow(QString::fromStdString(Input("beam1", {})));
    batch.AddRow(QString::fromStdString(Input("beam2", {})));
    RunToEnd(batch, solver);
    EXPECT_EQ(Statuses(batch), (std::vector<QString>{"Failed", "Failed"}));
    for (const QByteArray& log : batch.RunLogs) {
        EXPECT_EQ(log, "Velto could not be started: No such file or directory\n");
    }
}

// A stop with several files running ends each of them, and the batch once: its summary is told
// a single time.
TEST_F(BatchRun, StopWithSeveralJobsFinishesTheBatchOnce) {
    Batch batch;
    for (int i = 1; i <= 3; ++i) {
        batch.AddRow(
            QString::fromStdString(Input("beam" + std::to_string(i), {"STEPS 100", "PACE 0.1"})));
    }
    int finished = 0;
    QObject::connect(&batch, &Batch::batchFinished, [&] { ++finished; });
    QObject::connect(&batch, &Batch::progress, [&](int, float, const QString&) {
        if (!batch.StopRequested) {
            batch.Stop();
        }
    });
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR), 2);
    QCoreApplication::processEvents();  // whatever the stop left queued
    EXPECT_EQ(Statuses(batch), (std::vector<QString>{"Aborted", "Aborted", ""}));
    EXPECT_EQ(finished, 1);
}

TEST_F(BatchRun, SeveralJobsAtOnce) {
    Batch batch;
    for (int i = 1; i <= 4; ++i) {
        batch.AddRow(QString::fromStdString(
            Input("beam" + std::to_string(i), {"STEPS 3", "PACE 0.05", i == 3 ? "EXIT 1" : ""})));
    }
    int mostAtOnce = 0;
    int running = 0;
    QObject::connect(&batch, &Batch::fileStarted,
                     [&](int) { mostAtOnce = std::max(mostAtOnce, ++running); });
    QObject::connect(&batch, &Batch::fileFinished, [&](int, const QString&) { --running; });
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR), 2);
    EXPECT_EQ(Statuses(batch),
              (std::vector<QString>{"Completed", "Completed", "Failed", "Completed"}));
    EXPECT_EQ(mostAtOnce, 2);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(batch.RunLogs[i].contains("time = 3600.00")) << i;  // logs are not mixed
        EXPECT_EQ(batch.RunLogs[i].count("(1 of 3)"), 1) << i;
    }
}

}  // namespace
}  // namespace velto
