#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <thread>

#include "shell/model/batchjournal.h"
#include "shell/runner/localbackend.h"
#include "shell/runner/settings.h"
#include "tests/harness/harness.h"

namespace velto {
namespace {

using test::RunToEnd;
using test::StandIn;
using test::Statuses;

class BatchRun : public ::testing::Test {
  protected:
    // An input file with an end time of 100 and the stand-in's directives.
    std::string Input(const std::string& name, const std::vector<std::string>& directives) {
        return test::StandInInput(dir, name, directives);
    }

    // A row for a file as it stands, unchecked (as a journal brings it back).
    static void Add(BatchModel& batch, const std::string& path, const QString& status = {}) {
        batch.RestoreRow(QString::fromStdString(path), {}, status);
    }

    test::ScratchDir dir;
};

// Two files at once, the second failing: the others complete, each with its own console text.
TEST_F(BatchRun, FailingFileLeavesTheOthersCompletedTwoAtATime) {
    BatchModel batch;
    for (int i = 1; i <= 4; ++i) {
        Add(batch,
            Input("beam" + std::to_string(i), {"STEPS 4", "PACE 0.05", i == 2 ? "EXIT 3" : ""}));
    }
    std::vector<std::pair<int, float>> progress;
    QObject::connect(&batch, &BatchModel::progress,
                     [&](int row, float fraction, const QString& name) {
                         progress.emplace_back(row, fraction);
                         EXPECT_EQ(name.toStdString(), "beam" + std::to_string(row + 1));
                     });
    // Every row waits "Queued" from the start of the run until its turn.
    std::vector<QStringList> seen(4);
    QObject::connect(&batch, &BatchModel::statusChanged, [&](int row) {
        seen[static_cast<std::size_t>(row)].append(
            batch.rows()[static_cast<std::size_t>(row)].status);
    });
    int mostAtOnce = 0;
    int running = 0;
    QObject::connect(&batch, &BatchModel::fileStarted,
                     [&](int) { mostAtOnce = std::max(mostAtOnce, ++running); });
    QObject::connect(&batch, &BatchModel::fileFinished, [&](int, const QString&) { --running; });
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR), 2);
    EXPECT_EQ(Statuses(batch),
              (std::vector<QString>{"Completed", "Failed", "Completed", "Completed"}));
    EXPECT_EQ(mostAtOnce, 2);
    // The failed row says why, at the end of its console text (and velto-batch says it aloud).
    EXPECT_TRUE(batch.log(1).endsWith("Analysis completed.\nVelto ended with exit code 3\n"))
        << batch.log(1).toStdString();
    EXPECT_EQ(seen, (std::vector<QStringList>{{"Queued", "Running", "Completed"},
                                              {"Queued", "Running", "Failed"},
                                              {"Queued", "Running", "Completed"},
                                              {"Queued", "Running", "Completed"}}));
    for (int row = 0; row < 4; ++row) {
        const QByteArray& log = batch.log(row);
        EXPECT_TRUE(test::Says(log, {"time = 100.00"}));
        EXPECT_EQ(log.count("(1 of 4)"), 1) << log.toStdString();  // logs are not mixed
        // The prompt and its two blanks never reach the console text.
        EXPECT_FALSE(log.contains("FILENAME")) << log.toStdString();
    }
    // Progress runs against the input's end time. Each paced step arrives in a read of its own
    // (the first may share one with the banner, whose second word is no number).
    for (int row : {0, 2, 3}) {
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
    EXPECT_TRUE(std::filesystem::exists(dir.File("beam4.out")));
}

// Qt's warnings about descriptors it watches, recorded while a test runs.
std::vector<std::string> notifierWarnings;
void RecordNotifierWarnings(QtMsgType, const QMessageLogContext&, const QString& text) {
    if (text.contains("QSocketNotifier")) {
        notifierWarnings.push_back(text.toStdString());
    }
}

// A stop aborts the running file, starts no other and leaves the solver to end on its own. The
// journal holds, the moment before (once the record written behind the runs is on the disk),
// what a crash would leave (a program that goes away, a restart of the machine): the running
// file "Interrupted", the row waiting its turn with the status it had, the finished file with
// its console text.
TEST_F(BatchRun, StopAbortsTheRunningFileAndLeavesTheSolverAlone) {
    notifierWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(RecordNotifierWarnings);
    BatchModel batch;
    Add(batch, Input("beam1", {"STEPS 2", "PACE 0"}));
    Add(batch, Input("beam2", {"STEPS 200", "PACE 0.2"}));
    Add(batch, Input("beam3", {"STEPS 2", "PACE 0"}), "Completed");  // from an earlier batch
    const QString path = QString::fromStdString(dir.File("journal.json"));
    BatchJournal journal(batch, path);
    BatchModel crashed;
    std::vector<int> solvers;
    QObject::connect(&batch, &BatchModel::progress, [&](int row, float, const QString&) {
        if (row == 1 && !batch.stopRequested()) {
            // The writer's own thread catches up while this one waits outside the event loop.
            for (int i = 0; i < 500; ++i) {
                crashed.ClearRows();
                if (BatchJournal::Load(path, crashed) == BatchJournal::Loaded::kYes &&
                    Statuses(crashed) ==
                        std::vector<QString>{"Completed", "Interrupted", "Completed"}) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
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
    // The summary counts what this batch ran, not the row a stop kept from starting.
    EXPECT_EQ(batch.StatusesOfThisBatch(), (std::vector<QString>{"Completed", "Aborted"}));
    EXPECT_EQ(Statuses(crashed), (std::vector<QString>{"Completed", "Interrupted", "Completed"}));
    EXPECT_TRUE(test::Says(crashed.log(0), {"Analysis completed."}));
    ASSERT_EQ(solvers.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir.File("beam3.received")));
    // The stopped solver meets the closed pipe at its next line and ends; it is then reaped.
    EXPECT_TRUE(test::WaitUntil([&] { return test::StateOf(solvers[0]) == '\0'; }, 5))
        << "the stopped solver was left as a zombie or runs on";
    // Its reaping stopped watching the descriptor before closing it.
    qInstallMessageHandler(previous);
    EXPECT_EQ(notifierWarnings, std::vector<std::string>());
}

// Each test has a home and a configuration folder of its own, where the settings and the batch
// records go: whichever of these two runs second finds nothing the first left.
void ExpectAConfigurationOfItsOwn() {
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    EXPECT_TRUE(config.startsWith(qEnvironmentVariable("HOME") + '/')) << config.toStdString();
    EXPECT_TRUE(BatchJournal::DefaultPath(QStringLiteral("velto-batch")).startsWith(config + '/'));
    EXPECT_EQ(LoadSolverFolder(), QString());
    SaveSolverFolder(QStringLiteral("/left/by/a/test"));
    EXPECT_EQ(LoadSolverFolder(), QStringLiteral("/left/by/a/test"));
}
TEST(OwnHome, First) {
    ExpectAConfigurationOfItsOwn();
}
TEST(OwnHome, Second) {
    ExpectAConfigurationOfItsOwn();
}

// A stop that comes after the solver has ended with exit code 0, before the batch heard of it:
// the analysis completed, its listing whole, so the file is Completed, not Aborted.
TEST_F(BatchRun, AStopAfterTheSolverEndedWellIsCompleted) {
    BatchModel batch;
    Add(batch, Input("beam1", {"SILENT 0.5", "STEPS 1", "PACE 0"}));
    bool stoppedFirst = false;
    QObject::connect(&batch, &BatchModel::fileFinished,
                     [&](int, const QString&) { stoppedFirst = batch.stopRequested(); });
    ASSERT_TRUE(batch.Run(std::make_unique<LocalBackend>(), StandIn(VELTO_STANDIN_DIR)));
    std::vector<int> solvers;
    ASSERT_TRUE(
        test::WaitUntil([&] { return !(solvers = test::ProcessesIn(dir.path())).empty(); }, 10));
    // The event loop does not run meanwhile: the solver's end is not heard before the stop.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (test::StateOf(solvers[0]) != 'Z' && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(test::StateOf(solvers[0]), 'Z');
    batch.Stop();
    ASSERT_TRUE(test::WaitUntil([&] { return !batch.running(); }, 10));
    EXPECT_TRUE(stoppedFirst);
    EXPECT_EQ(Statuses(batch), std::vector<QString>{"Completed"});
}

// A stop also ends an export under way after a run: nothing waits for it to finish on its own,
// and it is said stopped and counted, not taken for written.
TEST_F(BatchRun, StopEndsTheExportUnderWay) {
    const std::string exporter = dir.File("slow-export");
    test::WriteBytes(exporter, "#!/bin/sh\nexec sleep 300\n");
    ::chmod(exporter.c_str(), 0755);
    BatchModel batch;
    batch.setExportAfterRun(QString::fromStdString(exporter), {QStringLiteral("--all")});
    Add(batch, Input("beam1", {"STEPS 2", "PACE 0"}));
    QObject::connect(&batch, &BatchModel::fileFinished,
                     [&](int, const QString&) { QTimer::singleShot(200, [&] { batch.Stop(); }); });
    QByteArray said;
    QObject::connect(&batch, &BatchModel::exportEnded,
                     [&](int, const QByteArray& text, bool) { said = text; });
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR));
    EXPECT_TRUE(said.startsWith("Export stopped: ")) << said.constData();
    EXPECT_EQ(batch.exportFailures(), 1);
    EXPECT_TRUE(batch.Summary().endsWith("; 1 export failed")) << batch.Summary().toStdString();
}

// An export killed outright (the out-of-memory killer, a crash) failed, and says how it ended
// after whatever it printed: never the target's name alone, as a written export says it.
TEST_F(BatchRun, AnExportKilledSaysHowItEnded) {
    const std::string exporter = dir.File("killed-export");
    test::WriteBytes(exporter, "#!/bin/sh\necho 'Reading times...'\nkill -KILL $$\n");
    ::chmod(exporter.c_str(), 0755);
    BatchModel batch;
    batch.setExportAfterRun(QString::fromStdString(exporter), {QStringLiteral("--all")});
    Add(batch, Input("beam1", {"STEPS 2", "PACE 0"}));
    QByteArray said;
    QObject::connect(&batch, &BatchModel::exportEnded,
                     [&](int, const QByteArray& text, bool) { said = text; });
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR));
    EXPECT_EQ(said,
              "Export failed: Reading times...\nvelto-extract was ended by signal 9 (Killed)\n");
    EXPECT_EQ(batch.exportFailures(), 1);
    EXPECT_EQ(Statuses(batch), std::vector<QString>{"Completed"});
}

// An input that cannot be read is never handed to a solver: a pipe (which would hold the reader
// until someone writes to it) and a file with a line beyond a megabyte fail with the reason in
// their console text, the batch goes on, and its journal ends as the batch did.
TEST_F(BatchRun, InputsThatCannotBeReadFailWithTheReason) {
    ASSERT_EQ(::mkfifo(dir.File("pipe.in").c_str(), 0600), 0);
    test::WriteBytes(dir.File("long.in"), "STANDIN PACE 0\n" + std::string(2 << 20, 'x'));
    BatchModel batch;
    Add(batch, dir.File("pipe.in"));
    Add(batch, dir.File("long.in"));
    Add(batch, Input("beam3", {"STEPS 2", "PACE 0"}));
    const QString journalPath = QString::fromStdString(dir.File("journal.json"));
    BatchJournal journal(batch, journalPath);
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR));
    EXPECT_EQ(Statuses(batch), (std::vector<QString>{"Failed", "Failed", "Completed"}));
    EXPECT_TRUE(test::Says(batch.log(0), {"pipe.in is not a regular file"}));
    EXPECT_TRUE(test::Says(batch.log(1), {"Read File Error 59: Bad record length"}));
    EXPECT_FALSE(std::filesystem::exists(dir.File("pipe.out")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("long.out")));
    BatchModel saved;
    ASSERT_EQ(BatchJournal::Load(journalPath, saved), BatchJournal::Loaded::kYes);
    EXPECT_EQ(Statuses(saved), (std::vector<QString>{"Failed", "Failed", "Completed"}));
}

// A journal is never larger than what is read back: many rows of console text (control
// characters, six bytes each as JSON) share a budget, each keeping its last part, and a short
// text is kept whole. A file larger than any journal of ours is refused without being read, even
// one that would read as a journal.
TEST(BatchJournalSize, WrittenWithinTheLimitAndLargerRefusedUnread) {
    test::ScratchDir dir;
    BatchModel batch;
    batch.RestoreRow(QString::fromStdString(dir.File("short.in")), {}, {}, "short text\n");
    const int flooded = 12;
    for (int i = 0; i < flooded; ++i) {
        batch.RestoreRow(
            QString::fromStdString(dir.File("flood" + std::to_string(i) + ".in")), {}, {},
            QByteArray(BatchJournal::kMaxLogBytes, '\x01') + QByteArray::number(i) + " ended\n");
    }
    const QString path = QString::fromStdString(dir.File("journal.json"));
    {
        BatchJournal journal(batch, path);
        ASSERT_TRUE(journal.Save());
    }
    EXPECT_LE(std::filesystem::file_size(path.toStdString()),
              static_cast<std::uintmax_t>(BatchJournal::kMaxJournalBytes));
    BatchModel saved;
    ASSERT_EQ(BatchJournal::Load(path, saved), BatchJournal::Loaded::kYes);
    ASSERT_EQ(saved.rowCount(), flooded + 1);
    EXPECT_EQ(saved.log(0), "short text\n");
    qsizetype kept = 0;
    for (int i = 0; i < flooded; ++i) {
        const QByteArray& log = saved.log(i + 1);
        EXPECT_TRUE(log.endsWith(QByteArray::number(i) + " ended\n")) << i;
        EXPECT_GT(log.size(), BatchJournal::kLogBudget / (flooded + 1)) << i;
        kept += log.size();
    }
    EXPECT_LE(kept, BatchJournal::kLogBudget);

    std::string padded = "{\"rows\": [{\"path\": \"/w/beam1.in\", \"status\": \"Failed\"}]}";
    padded.resize(static_cast<std::size_t>(BatchJournal::kMaxJournalBytes) + 1, ' ');
    test::WriteBytes(path.toStdString(), padded);
    BatchModel large;
    EXPECT_EQ(BatchJournal::Load(path, large), BatchJournal::Loaded::kUnreadable);
    EXPECT_EQ(large.rowCount(), 0);
}

// A batch whose console text is not kept (velto-batch without --verbose) keeps each row's
// reason and last lines all the same, bounded in lines and in bytes, and its record brings them
// back; a record of an earlier version, with no reason in it, still reads.
TEST_F(BatchRun, TheReasonAndLastLinesAreKeptWithoutTheConsoleText) {
    BatchModel batch;
    batch.setKeepLogs(false);
    const std::string wide = std::string(3000, '9');
    Add(batch, Input("beam1", {"STEPS 40", "PACE 0", "EXIT 3"}));
    Add(batch, Input("beam2", {"STEPS 3", "PACE 0", "CRASH"}));
    Add(batch, Input("beam3", {"STEPS 2", "PACE 0", "STEPS " + wide, "STEPS " + wide,
                               "STEPS " + wide, "EXIT 4"}));
    Add(batch, Input("beam4", {"STEPS 2", "PACE 0"}));
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR));
    EXPECT_EQ(Statuses(batch), (std::vector<QString>{"Failed", "Failed", "Failed", "Completed"}));
    const std::vector<QByteArray> reasons = {"Velto ended with exit code 3",
                                             "Velto was ended by signal 11 (Segmentation fault)",
                                             "Velto ended with exit code 4", ""};
    for (int row = 0; row < 4; ++row) {
        EXPECT_TRUE(batch.log(row).isEmpty());
        EXPECT_EQ(batch.rows()[static_cast<std::size_t>(row)].reason, reasons[row]);
    }
    const QByteArray last = batch.KeptConsole(0);
    EXPECT_EQ(last.count('\n'), BatchModel::kLastLines);
    EXPECT_TRUE(last.startsWith("  Step: time = 57.50 s (23 of 40)\n")) << last.toStdString();
    EXPECT_TRUE(last.endsWith("Analysis completed.\nVelto ended with exit code 3\n"));
    EXPECT_LE(batch.KeptConsole(2).size(), BatchModel::kLastLinesBytes);
    EXPECT_TRUE(batch.KeptConsole(2).endsWith("\nVelto ended with exit code 4\n"));

    const QString path = QString::fromStdString(dir.File("journal.json"));
    ASSERT_TRUE(BatchJournal(batch, path).Save());
    BatchModel restored;
    ASSERT_EQ(BatchJournal::Load(path, restored), BatchJournal::Loaded::kYes);
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(restored.rows()[static_cast<std::size_t>(row)].reason, reasons[row]);
        EXPECT_EQ(restored.KeptConsole(row), batch.KeptConsole(row)) << row;
    }

    test::WriteBytes(path.toStdString(),
                     "{\"rows\": [{\"path\": \"/w/beam1.in\", \"status\": \"Failed\", \"log\": "
                     "\"Analysis completed.\\n\"}]}");
    BatchModel earlier;
    ASSERT_EQ(BatchJournal::Load(path, earlier), BatchJournal::Loaded::kYes);
    EXPECT_EQ(earlier.rows()[0].status, "Failed");
    EXPECT_EQ(earlier.rows()[0].reason, "");
    EXPECT_EQ(earlier.KeptConsole(0), "Analysis completed.\n");
}

TEST_F(BatchRun, MissingSolverFailsEveryFile) {
    SolverInfo solver;
    solver.SolverFolder = dir.File("no solver here");
    solver.SolverExe = "velto";
    BatchModel batch;
    Add(batch, Input("beam1", {}));
    Add(batch, Input("beam2", {}));
    RunToEnd(batch, solver);
    EXPECT_EQ(Statuses(batch), (std::vector<QString>{"Failed", "Failed"}));
    for (int row = 0; row < 2; ++row) {
        EXPECT_EQ(batch.log(row), "Velto could not be started: No such file or directory\n");
    }
}

// A stop with several files running ends each of them, and the batch once: its summary is told
// a single time.
TEST_F(BatchRun, StopWithSeveralJobsFinishesTheBatchOnce) {
    BatchModel batch;
    for (int i = 1; i <= 3; ++i) {
        Add(batch, Input("beam" + std::to_string(i), {"STEPS 100", "PACE 0.1"}));
    }
    int finished = 0;
    QObject::connect(&batch, &BatchModel::batchFinished, [&] { ++finished; });
    QObject::connect(&batch, &BatchModel::progress, [&](int, float, const QString&) {
        if (!batch.stopRequested()) {
            batch.Stop();
        }
    });
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR), 2);
    QCoreApplication::processEvents();  // whatever the stop left queued
    EXPECT_EQ(Statuses(batch), (std::vector<QString>{"Aborted", "Aborted", ""}));
    EXPECT_EQ(finished, 1);
}

// One rule for what may be listed, the window's and velto-batch's: a file that cannot be run is
// refused with its name escaped (a line end would answer the solver's next prompts; a pipe would
// hold the reader; the solver handed "beam1" for beam1.txt reads beam1.in, and reads "trail " as
// trail); the same file under another name, or a hard link to it, is listed once.
TEST_F(BatchRun, AddFilesListsEachRunnableFileOnce) {
    const std::string beam = Input("beam1", {});
    const std::string backup = dir.File("beam1.in.in");
    test::WriteBytes(backup, "NODES 1\n");
    std::filesystem::create_symlink(beam, dir.File("link.in"));
    std::filesystem::create_hard_link(beam, dir.File("hard.in"));
    ASSERT_EQ(::mkfifo(dir.File("pipe.in").c_str(), 0600), 0);
    for (const char* name : {"beam1.txt", "e.IN", "d"}) {
        test::WriteBytes(dir.File(name), "NODES 1\n");
    }
    for (const char* name : {"new\nline", "cr\rname", "trail ", " lead", "tab\t"}) {
        Input(name, {});
    }
    BatchModel batch;
    int changes = 0;
    QObject::connect(&batch, &BatchModel::rowsChanged, [&] { ++changes; });
    const std::string t = dir.File("");
    CheckedInputs checked =
        batch.AddFiles({backup, beam, t + "new\nline.in", t + "cr\rname.in", t + "pipe.in",
                        t + "beam1.txt", t + "e.IN", t + "d", t + "trail .in", t + " lead.in",
                        t + "tab\t.in", dir.path().string()});
    EXPECT_EQ(checked.accepted, (std::vector<std::string>{backup, beam}));
    EXPECT_EQ(changes, 1);
    const std::string refused = checked.refused.join('\n').toStdString();
    EXPECT_TRUE(test::Says(
        refused,
        {t + "new\\nline.in: the name holds a line end",
         t + "cr\\rname.in: the name holds a line end", t + "pipe.in is not a regular file",
         t + "beam1.txt: the solver is given \"beam1\" and reads beam1.in, not this file",
         t + "e.IN: the solver is given \"e\" and reads e.in, not this file",
         t + "d: the solver is given \"d\" and reads d.in, not this file",
         t + "trail .in: the solver drops the blanks around the name \"trail \" and reads "
             "trail.in, not this file",
         t + " lead.in: the solver drops the blanks around the name \" lead\" and reads "
             "lead.in, not this file",
         t + "tab\\t.in: the solver drops the blanks around the name \"tab\\t\" and reads tab.in",
         dir.path().string() + " is not a regular file"}));
    // Against the rows already listed, as the window adds.
    checked = batch.AddFiles({beam, t + "./beam1.in", t + "link.in", t + "hard.in"});
    EXPECT_TRUE(checked.accepted.empty());
    EXPECT_EQ(checked.duplicates.size(), 4);
    EXPECT_EQ(checked.duplicates[0].toStdString(), beam + " is listed already");
    EXPECT_EQ(checked.duplicates[1].toStdString(),
              t + "./beam1.in is the same input file as " + beam);
    EXPECT_EQ(batch.rowCount(), 2);
    EXPECT_EQ(changes, 1);
}

// While a batch runs its rows stay as they are: every edit is refused.
TEST_F(BatchRun, RowsCannotBeEditedWhileABatchRuns) {
    BatchModel batch;
    Add(batch, Input("beam1", {"STEPS 2", "PACE 0"}));
    Add(batch, Input("beam2", {"STEPS 2", "PACE 0"}));
    const std::string later = Input("beam3", {});
    QObject::connect(&batch, &BatchModel::fileStarted, [&](int row) {
        if (row == 0) {
            EXPECT_TRUE(batch.AddFiles({later}).accepted.empty());
            EXPECT_FALSE(batch.RemoveRow(1));
            EXPECT_FALSE(batch.ClearRows());
            EXPECT_FALSE(batch.RestoreRow("/w/beam4.in", {}));
            EXPECT_FALSE(batch.Run(std::make_unique<LocalBackend>(), SolverInfo()));
        }
    });
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR));
    EXPECT_EQ(Statuses(batch), (std::vector<QString>{"Completed", "Completed"}));
    EXPECT_TRUE(batch.RemoveRow(1));
    EXPECT_EQ(batch.rowCount(), 1);
}

// A quit asked with no batch running is ready at once; asked during a batch it stops the batch
// and is ready only once the batch has ended. The next batch starts without it.
TEST_F(BatchRun, AQuitWaitsForTheBatchToEnd) {
    BatchModel batch;
    Add(batch, Input("beam1", {"STEPS 100", "PACE 0.1"}));
    Add(batch, Input("beam2", {"STEPS 2", "PACE 0"}), "Failed");
    std::vector<std::string> events;
    QObject::connect(&batch, &BatchModel::quitReady, [&] { events.push_back("quit"); });
    QObject::connect(&batch, &BatchModel::batchFinished, [&] { events.push_back("finished"); });
    batch.RequestQuit();
    EXPECT_EQ(events, std::vector<std::string>{"quit"});

    events.clear();
    bool asked = false;
    QObject::connect(&batch, &BatchModel::progress, [&](int, float, const QString&) {
        if (!asked) {
            asked = true;
            batch.RequestQuit();
            EXPECT_TRUE(events.empty());
        }
    });
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR));
    EXPECT_EQ(events, (std::vector<std::string>{"finished", "quit"}));
    EXPECT_EQ(Statuses(batch), (std::vector<QString>{"Aborted", "Failed"}));

    batch.RemoveRow(0);
    events.clear();
    RunToEnd(batch, StandIn(VELTO_STANDIN_DIR));
    EXPECT_FALSE(batch.quitRequested() || batch.stopRequested());
    EXPECT_EQ(events, std::vector<std::string>{"finished"});
    EXPECT_EQ(Statuses(batch), std::vector<QString>{"Completed"});
}

}  // namespace
}  // namespace velto
