// The batch model on a cluster, against stand-ins for sbatch, squeue and scancel: small scripts of
// ours that answer what the test writes for them, so every Slurm state and failure can be played
// without a cluster.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <sstream>

#include "common/window/messagebox.h"
#include "shell/cluster/slurmbackend.h"
#include "shell/model/batchjournal.h"
#include "shell/model/batchmodel.h"
#include "shell/runner/settings.h"
#include "shell/runner/solveroutput.h"
#include "shell/session/batchsession.h"
#include "shell/window/frmmain.h"
#include "tests/harness/harness.h"

namespace velto {
namespace {

class FakeSlurm : public ::testing::Test {
  protected:
    void SetUp() override {
        savedPath = qgetenv("PATH");
        bin = fake.File("bin");
        std::filesystem::create_directories(bin);
        // Each command notes its arguments and answers from the files the test writes, named
        // after it: .first is run first, .hold waits for .go, .err refuses, .out is the answer.
        for (const char* name : {"sbatch", "squeue", "scancel", "sacct"}) {
            const std::string path = bin + "/" + name;
            test::WriteBytes(
                path, "#!/bin/sh\nF=" + fake.path().string() + "/" + name + "\n" +
                          "printf '%s\\n' \"$@\" > \"$F.args\"\n"
                          "if [ -e \"$F.first\" ]; then . \"$F.first\"; fi\n"
                          "while [ -e \"$F.hold\" ] && [ ! -e \"$F.go\" ]; do sleep 0.05; done\n"
                          "if [ -e \"$F.err\" ]; then cat \"$F.err\" >&2; exit 1; fi\n"
                          "cat \"$F.out\"\n");
            std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        }
        Answer("sbatch.out", "42\n");
        Answer("scancel.out", "");
        Answer("sacct.err", "Slurm accounting storage is disabled\n");
        qputenv("PATH", QByteArray::fromStdString(bin) + ":/usr/bin:/bin");
        // The window starts with the batch it left; each test with none.
        QFile::remove(BatchJournal::DefaultPath(QStringLiteral("shell-batch.json")));
        // What the batch tells, recorded in `events`.
        QObject::connect(&batch, &BatchModel::fileQueued,
                         [&](int row) { events.seen.push_back("queued " + std::to_string(row)); });
        QObject::connect(&batch, &BatchModel::fileStarted,
                         [&](int row) { events.seen.push_back("started " + std::to_string(row)); });
        QObject::connect(&batch, &BatchModel::fileFinished, [&](int row, const QString& status) {
            events.seen.push_back(std::to_string(row) + " " + status.toStdString());
        });
        QObject::connect(&batch, &BatchModel::progress,
                         [&](int row, float fraction, const QString&) {
                             events.progress.emplace_back(row, fraction);
                         });
        QObject::connect(&batch, &BatchModel::clusterMessage,
                         [&](const QString& text) { events.messages.push_back(text); });
        QObject::connect(&batch, &BatchModel::batchFinished, [&] { events.finished = true; });
    }
    void TearDown() override { qputenv("PATH", savedPath); }

    void Answer(const std::string& file, const std::string& text) {
        test::WriteBytes(fake.File(file), text);
    }
    // What squeue lists: "TASK STATE USED" lines, given the job's name here.
    void Queue(const SlurmBackend& job, const std::vector<std::string>& lines) {
        std::string text;
        const std::string name = QFileInfo(job.jobFolder()).fileName().toStdString();
        for (const std::string& line : lines) {
            text += line + " " + name + "\n";
        }
        Answer("squeue.out", text);
    }
    std::vector<std::string> Args(const std::string& command) {
        std::vector<std::string> args;
        std::istringstream text(test::ReadBytes(fake.File(command + ".args")));
        for (std::string arg; std::getline(text, arg);) {
            args.push_back(arg);
        }
        return args;
    }
    std::vector<std::string> Inputs(int n) {
        std::vector<std::string> files;
        for (int i = 1; i <= n; ++i) {
            files.push_back(test::StandInInput(dir, "beam" + std::to_string(i), {"STEPS 2"}));
        }
        return files;
    }
    void ExitCode(const SlurmBackend& job, int task, const std::string& code) {
        test::WriteBytes(job.jobFolder().toStdString() + "/" + std::to_string(task) + ".exit",
                         code + "\n");
    }
    static QStringList JobFolders() {
        return QDir(SlurmBackend::JobsFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    }
    // Runs the batch on `backend` until the cluster's first answer: empty when it was accepted,
    // else why not. Polls fast so a test need not wait two seconds a step.
    static QString Start(BatchModel& batch, std::unique_ptr<SlurmBackend> backend) {
        backend->setPollIntervalMs(50);
        QString refusal;
        bool answered = false;
        QObject listening;
        QObject::connect(&batch, &BatchModel::batchAccepted, &listening, [&] { answered = true; });
        QObject::connect(&batch, &BatchModel::batchRefused, &listening, [&](const QString& reason) {
            refusal = reason;
            answered = true;
        });
        EXPECT_TRUE(batch.Run(std::move(backend), test::StandIn(VELTO_STANDIN_DIR)));
        EXPECT_FALSE(answered);  // never from within Run
        EXPECT_TRUE(test::WaitUntil([&] { return answered; }, 30));
        return refusal;
    }
    // Lists the files and submits them as a new job.
    SlurmBackend* Submit(BatchModel& batch, const std::vector<std::string>& files,
                         SlurmOptions options = {}) {
        batch.AddFiles(files);
        auto backend = std::make_unique<SlurmBackend>(options);
        SlurmBackend* job = backend.get();
        const QString refusal = Start(batch, std::move(backend));
        EXPECT_EQ(refusal.toStdString(), "");
        return job;
    }
    // Picks up a job submitted earlier, as velto-batch --follow does.
    static QString Follow(BatchModel& batch, const QString& id) {
        QString error;
        const std::optional<SlurmRecord> record = SlurmBackend::FindJob(id, error);
        if (!record) {
            return error;
        }
        batch.ClearRows();
        for (qsizetype i = 0; i < record->files.size(); ++i) {
            batch.RestoreRow(record->files[i], record->nativeFiles[static_cast<std::size_t>(i)]);
        }
        return Start(batch, std::make_unique<SlurmBackend>(*record));
    }

    struct Events {
        std::vector<std::string> seen;
        std::vector<std::pair<int, float>> progress;
        std::vector<QString> messages;
        bool finished = false;
    };

    QByteArray savedPath;
    std::string bin;
    test::ScratchDir fake;
    test::ScratchDir dir;
    Events events;
    BatchModel batch;
};

TEST_F(FakeSlurm, SubmitsOneArrayAndFollowsEachFileToItsEnd) {
    // A log of an earlier run must not pass for this one's.
    test::WriteBytes(dir.File("beam1.log"), "  Step: time = 100.00 s (old run)\n");
    const SlurmOptions options{.partition = "long", .maxRunning = 2, .timeLimit = "1:00:00"};
    const SlurmBackend& job = *Submit(batch, Inputs(3), options);
    EXPECT_FALSE(std::filesystem::exists(dir.File("beam1.log")));
    // The user's limits reach sbatch (how they are spelled is tested with SbatchArguments).
    EXPECT_EQ(QString::fromStdString(test::Lines(Args("sbatch"), " ")),
              SbatchArguments(options, 3, QFileInfo(job.jobFolder()).fileName(), job.jobFolder(),
                              job.jobFolder() + "/job.sh")
                      .join(' ') +
                  " ");
    const std::string manifest = test::ReadBytes(job.jobFolder().toStdString() + "/manifest");
    EXPECT_EQ(manifest.find("stdin dir=" + PrintfEscape(dir.path().string()) + " base=beam1 "), 0u)
        << manifest;
    EXPECT_EQ(std::count(manifest.begin(), manifest.end(), '\n'), 3);
    ASSERT_TRUE(SlurmRecord::Load(job.jobFolder() + "/job.json").has_value());
    EXPECT_EQ(SlurmRecord::Load(job.jobFolder() + "/job.json")->jobId, "42");
    // The same record grown beyond what a record can be is refused unread.
    std::string grown = test::ReadBytes(job.jobFolder().toStdString() + "/job.json");
    grown.resize(static_cast<std::size_t>(BatchJournal::kMaxJournalBytes) + 1, ' ');
    test::WriteBytes(job.jobFolder().toStdString() + "/grown.json", grown);
    EXPECT_FALSE(SlurmRecord::Load(job.jobFolder() + "/grown.json").has_value());

    Queue(job, {"0 PENDING 0:00", "1 PENDING 0:00", "2 PENDING 0:00"});
    ASSERT_TRUE(test::WaitUntil([&] { return events.seen.size() == 3; }, 30));
    EXPECT_EQ(events.seen, (std::vector<std::string>{"queued 0", "queued 1", "queued 2"}));
    EXPECT_EQ(Args("squeue"), (std::vector<std::string>{"--array", "--states=all", "--noheader",
                                                        "--jobs=42", "--format=%K %T %M %j"}));

    // Running: the log's finished lines count, the unfinished one waits for its end.
    test::WriteBytes(
        dir.File("beam1.log"),
        std::string(kSolverPrompt) + "  \n  Step: time = 50.00 s (1 of 2)\n" + "  Step: time = 7");
    Queue(job, {"0 RUNNING 0:05", "1 PENDING 0:00", "2 PENDING 0:00"});
    ASSERT_TRUE(test::WaitUntil([&] { return !events.progress.empty(); }, 30));
    EXPECT_EQ(events.seen.back(), "started 0");
    EXPECT_EQ(events.progress, (std::vector<std::pair<int, float>>{{0, 0.5f}}));
    EXPECT_GE(batch.ElapsedSeconds(0), 5.0);

    // Ended: COMPLETED with exit code 0, COMPLETED with exit code 3 (by a script that did not
    // end its log with the reason), and a time-out that cut a line short.
    std::FILE* log = std::fopen(dir.File("beam1.log").c_str(), "ab");
    std::fputs("5.00 s (2 of 2)\n  Analysis completed.\n", log);
    std::fclose(log);
    test::WriteBytes(dir.File("beam2.log"), "  Analysis completed.\n");
    test::WriteBytes(dir.File("beam3.log"), "  Step: time = 50.00 s (1 of 2)\n  Step: ti");
    ExitCode(job, 0, "0");
    ExitCode(job, 1, "3");
    Queue(job, {"0 COMPLETED 0:09", "1 COMPLETED 0:01", "2 TIMEOUT 1:00:00"});
    ASSERT_TRUE(test::WaitUntil([&] { return events.finished; }, 30));
    EXPECT_EQ(events.seen,
              (std::vector<std::string>{"queued 0", "queued 1", "queued 2", "started 0",
                                        "0 Completed", "1 Failed", "2 Failed"}));
    EXPECT_EQ(events.progress,
              (std::vector<std::pair<int, float>>{{0, 0.5f}, {0, 0.75f}, {2, 0.5f}}));
    EXPECT_EQ(batch.StatusesOfThisBatch(), (std::vector<QString>{"Completed", "Failed", "Failed"}));
    EXPECT_FALSE(batch.running());
    // The console text as a local run shows it: the prompt taken out, every line there.
    EXPECT_FALSE(batch.log(0).contains("FILENAME")) << batch.log(0).toStdString();
    EXPECT_TRUE(test::Says(batch.log(0), {"time = 75.00 s (2 of 2)\n  Analysis completed.\n"}));
    EXPECT_EQ(batch.ElapsedSeconds(2), 3600.0);
    // Each file that did not complete says why, as the last line of its console text and of
    // its log; the one that completed says nothing more.
    const std::string exit3 = "Velto ended with exit code 3";
    const std::string timeLimit = "Velto was ended by the cluster: the time limit was reached";
    EXPECT_EQ(batch.rows()[0].reason, "");
    EXPECT_EQ(batch.rows()[1].reason.toStdString(), exit3);
    EXPECT_EQ(batch.rows()[2].reason.toStdString(), timeLimit);
    EXPECT_EQ(batch.log(1).toStdString(), "  Analysis completed.\n" + exit3 + "\n");
    EXPECT_EQ(test::ReadBytes(dir.File("beam2.log")), "  Analysis completed.\n" + exit3 + "\n");
    EXPECT_EQ(test::ReadBytes(dir.File("beam3.log")),
              "  Step: time = 50.00 s (1 of 2)\n  Step: ti\n" + timeLimit + "\n");
    EXPECT_TRUE(
        batch.log(2).endsWith("  Step: ti\n" + QByteArray::fromStdString(timeLimit) + "\n"));
    EXPECT_TRUE(test::ReadBytes(dir.File("beam1.log")).ends_with("Analysis completed.\n"));
    // The job's record holds each end, for whoever follows it later.
    const SlurmRecord record = *SlurmRecord::Load(job.jobFolder() + "/job.json");
    EXPECT_EQ(record.ended.size(), 3u);
    EXPECT_EQ(record.ended.at(2).reason.toStdString(), timeLimit);
}

// A job followed once the controller has forgotten it: the accounting says how each task ended,
// where the cluster keeps one, and once seen, the job's record says it to every later follower,
// accounting or not. A log that a task left in mid-line ends with the reason on a line of its own.
TEST_F(FakeSlurm, AJobFollowedLongAfterTellsWhyFromTheAccountingThenItsRecord) {
    std::string folder;
    {
        BatchModel submitted;
        folder = Submit(submitted, Inputs(5))->jobFolder().toStdString();
        submitted.Detach();
    }
    test::WriteBytes(dir.File("beam1.log"), "  Step: time = 50.00 s (1 of 2)\n  Step: ti");
    Answer("squeue.err", "slurm_load_jobs error: Invalid job id specified\n");
    std::filesystem::remove(fake.File("sacct.err"));
    // The accounting's job of that id is someone else's: not taken up.
    Answer("sacct.out", "42_0|COMPLETED|0:0|someone-elses\n");
    BatchModel elses;
    EXPECT_TRUE(test::Says(Follow(elses, "42").toStdString(), {"not the batch velto-batch"}));
    const std::string name = std::filesystem::path(folder).filename().string();
    Answer("sacct.out", "42_0|TIMEOUT|0:15|" + name + "\n42_1|OUT_OF_MEMORY|0:9|" + name +
                            "\n42_2|NODE_FAIL|0:0|" + name + "\n42_3|PREEMPTED|0:15|" + name +
                            "\n42_4|CANCELLED by 1000|0:15|" + name + "\n");
    const std::string byCluster = "Velto was ended by the cluster: ";
    const std::vector<std::string> reasons = {
        byCluster + "the time limit was reached",
        byCluster + "it ran out of memory (the memory limit was exceeded)",
        "Velto did not start: its node failed", byCluster + "it was preempted by another job",
        "Velto did not start: the job was cancelled"};
    for (const bool accounting : {true, false}) {
        if (!accounting) {
            Answer("sacct.err", "Slurm accounting storage is disabled\n");
        }
        BatchModel later;
        ASSERT_EQ(Follow(later, "42").toStdString(), "");
        ASSERT_TRUE(test::WaitUntil([&] { return !later.running(); }, 30));
        EXPECT_EQ(later.StatusesOfThisBatch(),
                  (std::vector<QString>{"Failed", "Failed", "Failed", "Failed", "Aborted"}));
        for (int row = 0; row < 5; ++row) {
            EXPECT_EQ(later.rows()[static_cast<std::size_t>(row)].reason.toStdString(),
                      reasons[static_cast<std::size_t>(row)])
                << row << (accounting ? " from the accounting" : " from the record");
        }
        EXPECT_EQ(Args("sacct"), (std::vector<std::string>{
                                     "--jobs=42", "--allocations", "--noheader", "--parsable2",
                                     "--format=JobID,State,ExitCode,JobName"}));
        // Said once in the log, however often the job is followed.
        EXPECT_EQ(test::ReadBytes(dir.File("beam1.log")),
                  "  Step: time = 50.00 s (1 of 2)\n  Step: ti\n" + reasons[0] + "\n");
        EXPECT_FALSE(std::filesystem::exists(dir.File("beam2.log")));
    }
}

// A cancel aborts the files queued and running; one whose solver ended with exit code 0 since
// the last look at the queue completed, as a local file stopped after its solver ended well.
TEST_F(FakeSlurm, CancelAbortsTheQueuedAndRunningFiles) {
    const SlurmBackend& job = *Submit(batch, Inputs(4));
    ExitCode(job, 0, "0");
    Queue(job, {"0 COMPLETED 0:01", "1 RUNNING 0:01", "2 RUNNING 0:01", "3 PENDING 0:00"});
    ASSERT_TRUE(test::WaitUntil([&] { return events.seen.size() == 4; }, 30));
    ExitCode(job, 2, "0");
    batch.Stop();
    ASSERT_TRUE(test::WaitUntil([&] { return events.finished; }, 30));
    EXPECT_EQ(Args("scancel"), std::vector<std::string>{"42"});
    EXPECT_EQ(batch.StatusesOfThisBatch(),
              (std::vector<QString>{"Completed", "Aborted", "Completed", "Aborted"}));
    EXPECT_TRUE(SlurmRecord::Load(job.jobFolder() + "/job.json")->cancelled);
}

// A file that ended Failed or Aborted keeps that status, whatever the queue says of its task
// later (a task requeued, a late answer), and the others still end as their tasks do.
TEST_F(FakeSlurm, AnEndedFileKeepsItsStatus) {
    const SlurmBackend& job = *Submit(batch, Inputs(3));
    Queue(job, {"0 NODE_FAIL 0:01", "1 CANCELLED 0:01", "2 RUNNING 0:01"});
    ASSERT_TRUE(test::WaitUntil([&] { return events.seen.size() == 3; }, 30));
    ExitCode(job, 0, "0");
    ExitCode(job, 1, "0");
    Queue(job, {"0 RUNNING 0:02", "1 COMPLETED 0:02", "2 RUNNING 0:02"});
    test::WaitUntil([] { return false; }, 1);  // many polls
    Queue(job, {"0 COMPLETED 0:03", "1 PENDING 0:00", "2 COMPLETED 0:03"});
    ExitCode(job, 2, "0");
    ASSERT_TRUE(test::WaitUntil([&] { return events.finished; }, 30));
    EXPECT_EQ(events.seen,
              (std::vector<std::string>{"0 Failed", "1 Aborted", "started 2", "2 Completed"}));
    EXPECT_EQ(batch.StatusesOfThisBatch(),
              (std::vector<QString>{"Failed", "Aborted", "Completed"}));
}

TEST_F(FakeSlurm, ARefusedCancelKeepsFollowing) {
    const SlurmBackend& job = *Submit(batch, Inputs(1));
    Queue(job, {"0 RUNNING 0:01"});
    Answer("scancel.err",
           "scancel: error: Kill job error on job id 42: Access/permission denied\n");
    ASSERT_TRUE(test::WaitUntil([&] { return !events.seen.empty(); }, 30));
    batch.Stop();
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            return !events.messages.empty() &&
                   events.messages.back().contains("could not be cancelled");
        },
        30));
    EXPECT_EQ(events.messages.back().toStdString(),
              "job 42 could not be cancelled: Kill job error on job id 42: Access/permission "
              "denied");
    EXPECT_TRUE(batch.running());
    EXPECT_EQ(batch.rows()[0].status, "Running");
    batch.Detach();
    EXPECT_FALSE(batch.running());
}

TEST_F(FakeSlurm, AClusterThatDoesNotAnswerIsToldOnceAndFollowedOn) {
    Answer("squeue.err", "slurm_load_jobs error: Unable to contact slurm controller\n");
    const SlurmBackend& job = *Submit(batch, Inputs(1));
    ASSERT_TRUE(test::WaitUntil([&] { return !events.messages.empty(); }, 30));
    // Several polls fail; the user hears of it once.
    test::WaitUntil([] { return false; }, 1);
    EXPECT_EQ(events.messages.size(), 1u);
    EXPECT_EQ(events.messages[0].toStdString(),
              "cannot ask the cluster about job 42: slurm_load_jobs error: Unable to contact "
              "slurm controller");
    EXPECT_TRUE(events.seen.empty());
    std::filesystem::remove(fake.File("squeue.err"));
    Queue(job, {"0 COMPLETED 0:01"});
    ExitCode(job, 0, "0");
    ASSERT_TRUE(test::WaitUntil([&] { return events.finished; }, 30));
    EXPECT_EQ(batch.rows()[0].status, "Completed");
}

// Earlier logs beside the input files go only once the cluster has taken the job: a refused job
// leaves them as they were, as does velto-batch ended by a signal while sbatch answers (sbatch
// ends with it), and a task that starts at once keeps the log it has begun.
TEST_F(FakeSlurm, ARefusedJobLeavesNothingBehind) {
    const QStringList before = JobFolders();
    const std::vector<std::string> files = Inputs(2);
    test::WriteBytes(dir.File("beam1.log"), "the log of an earlier run\n");
    Answer("sbatch.err",
           "sbatch: error: invalid partition specified: bogus\n"
           "sbatch: error: Batch job submission failed: Invalid partition name specified\n");
    batch.AddFiles(files);
    batch.RestoreRow("/w/beam9.in", {}, "Completed");  // from an earlier batch
    const SlurmOptions bogus{.partition = "bogus", .timeLimit = {}};
    EXPECT_EQ(Start(batch, std::make_unique<SlurmBackend>(bogus)).toStdString(),
              "the cluster refused the job: invalid partition specified: bogus; Batch job "
              "submission failed: Invalid partition name specified");
    EXPECT_EQ(JobFolders(), before);
    // The rows as they were before the run.
    EXPECT_FALSE(batch.running());
    EXPECT_EQ(batch.rows()[0].status, "");
    EXPECT_EQ(batch.rows()[2].status, "Completed");
    EXPECT_EQ(test::ReadBytes(dir.File("beam1.log")), "the log of an earlier run\n");

    std::filesystem::remove(fake.File("sbatch.err"));
    auto Listing = [this] { return test::Entries(dir.path()); };
    const std::vector<std::string> earlier = {"beam1.in", "beam1.log", "beam2.in", "config"};
    for (const char* signal : {"TERM", "HUP", "QUIT", "INT"}) {
        Answer("sbatch.first", std::string("echo $$ > \"$F.pid\"; sleep 0.5; kill -") + signal +
                                   " $PPID; exec sleep 30\n");
        const test::BatchCommand run = test::RunVeltoBatch(
            dir, {.args = {"--slurm", "--solver-folder", VELTO_STANDIN_DIR, files[0], files[1]},
                  .path = bin + ":/usr/bin:/bin"});
        EXPECT_EQ(run.status, -1) << signal << "\n" << run.out;
        EXPECT_EQ(test::ReadBytes(dir.File("beam1.log")), "the log of an earlier run\n") << signal;
        EXPECT_EQ(Listing(), earlier) << signal;  // nothing hidden beside them
        const int sbatch = std::stoi(test::ReadBytes(fake.File("sbatch.pid")));
        EXPECT_TRUE(test::WaitUntil([sbatch] { return test::StateOf(sbatch) != 'S'; }, 5))
            << signal;
    }

    Answer("sbatch.first", "printf 'Please type\\n' > " + dir.File("beam1.log") + "\n");
    BatchModel accepted;
    Submit(accepted, files);
    EXPECT_EQ(test::ReadBytes(dir.File("beam1.log")), "Please type\n");
    EXPECT_EQ(Listing(), earlier);  // the new log, nothing set aside
}

TEST_F(FakeSlurm, NoSbatchOnThePath) {
    qputenv("PATH", QByteArray::fromStdString(dir.path().string()));
    EXPECT_FALSE(SlurmBackend::Available());
    const QStringList before = JobFolders();
    batch.RestoreRow("/x/beam1.in", {});
    const QString error = Start(batch, std::make_unique<SlurmBackend>(SlurmOptions()));
    EXPECT_NE(error.indexOf("sbatch"), -1) << error.toStdString();
    EXPECT_EQ(JobFolders(), before);
}

TEST_F(FakeSlurm, FollowPicksUpOnlyOurOwnJobs) {
    std::string folder;
    {
        BatchModel submitted;
        const SlurmBackend& job = *Submit(submitted, Inputs(2));
        folder = job.jobFolder().toStdString();
        Queue(job, {"0 RUNNING 0:01", "1 PENDING 0:00"});
        submitted.Detach();
    }
    ASSERT_EQ(Follow(batch, "42").toStdString(), "");
    ASSERT_EQ(batch.rowCount(), 2);
    EXPECT_EQ(batch.rows()[1].path.toStdString(), dir.File("beam2.in"));
    batch.Detach();

    // Not ours, or not to be followed: (squeue's answer, the id asked for, why not).
    const std::string unreachable = "slurm_load_jobs error: Unable to contact slurm controller\n";
    const std::string unknown = "slurm_load_jobs error: Invalid job id specified\n";
    const std::string elses = "0 RUNNING 0:01 someone-elses\n";
    struct Case {
        std::string out, err;
        QString id;
        std::string why;
    };
    for (const Case& c : std::vector<Case>{
             {elses, "", "42", "not the batch velto-batch submitted"},
             {elses, "", "999", "was not submitted by velto-batch"},
             {elses, "", "4x2", "'4x2' is not a job id"},
             {"", unreachable, "42", "Unable to contact"},
             // Gone from the cluster: only worth following when a task left its exit code.
             {"", unknown, "42", "no longer known to the cluster"}}) {
        Answer("squeue.out", c.out);
        std::filesystem::remove(fake.File("squeue.err"));
        if (!c.err.empty()) {
            Answer("squeue.err", c.err);
        }
        BatchModel other;
        const QString error = Follow(other, c.id);
        EXPECT_NE(error.indexOf(QString::fromStdString(c.why)), -1) << error.toStdString();
        EXPECT_FALSE(other.running());
    }
    // Its end is then read from the exit codes the tasks left: a task without one was killed
    // before its solver ended. That the cluster forgot the job is no news for the user.
    test::WriteBytes(folder + "/1.exit", "0\n");
    BatchModel gone;
    QStringList told;
    QObject::connect(&gone, &BatchModel::clusterMessage, [&](const QString& m) { told << m; });
    ASSERT_EQ(Follow(gone, "42").toStdString(), "");
    ASSERT_TRUE(test::WaitUntil([&] { return !gone.running(); }, 30));
    EXPECT_EQ(gone.StatusesOfThisBatch(), (std::vector<QString>{"Failed", "Completed"}));
    EXPECT_TRUE(told.isEmpty()) << told.join('|').toStdString();
}

// The window on the stand-in cluster: its questions before it submits recorded in `submits` and
// answered with `submit`, every other question recorded in `asked` and answered with `answer`.
class ClusterWindow : public FakeSlurm {
  protected:
    void SetUp() override {
        FakeSlurm::SetUp();
        SaveSolverFolder(QStringLiteral(VELTO_STANDIN_DIR));
        SetMessageBoxSeam([this](QWidget*, const QString& prompt, int style, const QString&) {
            const bool submitting = prompt.startsWith("Submit ");
            (submitting ? submits : asked).append(prompt);
            submitStyle = submitting ? style : submitStyle;
            return submitting ? submit : answer;
        });
    }
    void TearDown() override {
        SetMessageBoxSeam({});
        FakeSlurm::TearDown();
    }
    // A window with `n` files listed.
    std::unique_ptr<FrmMain> Make(int n) {
        ShellDialogs dialogs;
        QStringList files;
        for (const std::string& file : Inputs(n)) {
            files.append(QString::fromStdString(file));
        }
        dialogs.addFiles = [files](QWidget*, const QString&) { return files; };
        auto window = std::make_unique<FrmMain>(dialogs);
        window->onAddClicked();
        return window;
    }
    // Submits the window's files and waits for the cluster's answer; null when none was sent.
    SlurmBackend* Submitted(FrmMain& window) {
        window.onRunOnClusterTriggered();
        SlurmBackend* job = window.clusterJob();
        if (job != nullptr) {
            job->setPollIntervalMs(50);
            EXPECT_TRUE(test::WaitUntil([job] { return !job->starting(); }, 30));
        }
        return job;
    }
    int answer = kAnswerOk;
    int submit = kAnswerYes;
    int submitStyle = 0;
    QStringList asked;
    QStringList submits;
};

// Run on cluster is off, saying why, where sbatch cannot be found; where it can, it is on while
// the list has files, asks before submitting, and No submits nothing.
TEST_F(ClusterWindow, RunOnClusterSaysWhyItIsOffAndAsksFirst) {
    qputenv("PATH", QByteArray::fromStdString(dir.path().string()));
    std::unique_ptr<FrmMain> window = Make(2);
    auto* cluster = window->findChild<QAction*>("mnuAnalysisCluster");
    EXPECT_EQ(cluster->toolTip(), "sbatch was not found on the PATH");
    EXPECT_FALSE(cluster->isEnabled());

    qputenv("PATH", QByteArray::fromStdString(bin) + ":/usr/bin:/bin");
    qputenv("SBATCH_PARTITION", "debug");
    window = Make(2);
    cluster = window->findChild<QAction*>("mnuAnalysisCluster");
    submit = kAnswerNo;
    cluster->trigger();
    qunsetenv("SBATCH_PARTITION");
    EXPECT_EQ(submits, QStringList{"Submit 2 files to the cluster, partition debug?"});
    EXPECT_EQ(submitStyle, kStyleYesNo | kStyleQuestion);
    EXPECT_FALSE(window->batch().running());
    EXPECT_EQ(window->batch().rows()[0].status, "");
    EXPECT_FALSE(std::filesystem::exists(fake.File("sbatch.args")));
    window->findChild<QPushButton*>("cmdClear")->click();
    EXPECT_FALSE(cluster->isEnabled());  // sbatch, but no file to submit
}

// Stop in the window asks: Yes cancels the job, No only stops following it.
TEST_F(ClusterWindow, StopCancelsOrStopsFollowing) {
    answer = kAnswerYes;
    const std::unique_ptr<FrmMain> shown = Make(2);
    FrmMain& window = *shown;
    auto* list = window.findChild<QTreeWidget*>("lvwFiles");
    auto submit = [&](const std::vector<std::string>& queue) {
        SlurmBackend* job = Submitted(window);
        ASSERT_NE(job, nullptr) << asked.join('\n').toStdString();
        Queue(*job, queue);
        ASSERT_TRUE(
            test::WaitUntil([&] { return list->topLevelItem(0)->text(1) == "Running"; }, 30));
    };
    submit({"0 RUNNING 0:01", "1 PENDING 0:00"});
    EXPECT_EQ(list->topLevelItem(1)->text(1), "Queued");
    window.onStopClicked();
    ASSERT_TRUE(test::WaitUntil([&] { return !window.batch().running(); }, 30));
    EXPECT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked[0].startsWith("Cancel job 42 on the cluster?"));
    EXPECT_EQ(Args("scancel"), std::vector<std::string>{"42"});
    EXPECT_EQ(list->topLevelItem(0)->text(1), "Aborted");
    EXPECT_EQ(list->topLevelItem(1)->text(1), "Aborted");
    EXPECT_EQ(list->topLevelItem(0)->toolTip(1),
              "Velto was ended by the cluster: the job was cancelled");
    EXPECT_EQ(list->topLevelItem(1)->toolTip(0), "Velto did not start: the job was cancelled");

    // No: the job runs on, the window lets go of it.
    std::filesystem::remove(fake.File("scancel.args"));
    answer = kAnswerNo;
    submit({"0 RUNNING 0:01", "1 RUNNING 0:00"});
    window.onStopClicked();
    EXPECT_FALSE(window.batch().running());
    EXPECT_EQ(window.findChild<QLabel*>("sbTime")->text(), "Stopped following job 42");
    EXPECT_FALSE(std::filesystem::exists(fake.File("scancel.args")));
    EXPECT_TRUE(window.findChild<QAction*>("mnuAnalysisCluster")->isEnabled());
}

// A window that ends while its cluster job runs (killed, or the desktop gone) leaves the job in
// its record: a window started afterwards follows that job again instead of losing it.
TEST_F(ClusterWindow, AWindowStartedAfterOneThatDiedFollowsItsJobAgain) {
    std::unique_ptr<FrmMain> window = Make(2);
    SlurmBackend* job = Submitted(*window);
    ASSERT_NE(job, nullptr);
    Queue(*job, {"0 RUNNING 0:01", "1 PENDING 0:00"});
    // What a killed window leaves: its record, held by no one, naming the job.
    const QString record = window->session().recordPath();
    const std::string left =
        QFileInfo(record).absolutePath().toStdString() + "/29991231-235959-999-1.json";
    std::filesystem::copy_file(record.toStdString(), left);
    EXPECT_NE(test::ReadBytes(left).find("\"job\": \"42\""), std::string::npos);

    auto again = std::make_unique<FrmMain>(ShellDialogs{});
    again->show();
    ASSERT_NE(again->clusterJob(), nullptr);
    EXPECT_EQ(again->clusterJob()->jobId(), "42");
    EXPECT_TRUE(asked.contains("The cluster job 42 of the last batch is followed again."))
        << asked.join('|').toStdString();
    again->clusterJob()->setPollIntervalMs(50);
    ExitCode(*again->clusterJob(), 0, "0");
    ExitCode(*again->clusterJob(), 1, "0");
    Queue(*again->clusterJob(), {"0 COMPLETED 0:01", "1 COMPLETED 0:01"});
    ASSERT_TRUE(test::WaitUntil([&] { return !again->batch().running(); }, 30));
    auto* list = again->findChild<QTreeWidget*>("lvwFiles");
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(1)->text(1), "Completed");
    // Ended, the job is no longer in the record: a third window follows nothing.
    EXPECT_EQ(test::ReadBytes(again->session().recordPath().toStdString()).find("\"job\""),
              std::string::npos);
    ASSERT_TRUE(test::WaitUntil([&] { return !window->batch().running(); }, 30));
}

// While sbatch takes its time the window goes on answering: the submission returns at once, the
// event loop runs (a timer fires) before the cluster has answered, a Stop would ask nothing yet
// (there is no job to cancel), and a refusal then comes as the window's message with the rows as
// they were.
TEST_F(ClusterWindow, AnswersWhileSbatchDoes) {
    const std::unique_ptr<FrmMain> shown = Make(1);
    FrmMain& window = *shown;
    Answer("sbatch.hold", "");
    Answer("sbatch.err", "sbatch: error: Batch job submission failed: Socket timed out\n");
    window.findChild<QAction*>("mnuAnalysisCluster")->trigger();
    ASSERT_NE(window.clusterJob(), nullptr);
    EXPECT_TRUE(window.clusterJob()->starting());
    EXPECT_FALSE(window.session().StopQuestion());
    EXPECT_TRUE(window.findChild<QPushButton*>("cmdStop")->isEnabled());
    EXPECT_FALSE(window.findChild<QPushButton*>("cmdRun")->isEnabled());
    bool ticked = false;
    QTimer::singleShot(0, &window, [&] {
        ticked = window.clusterJob() && window.clusterJob()->starting();
        Answer("sbatch.go", "");  // only now may sbatch answer
    });
    ASSERT_TRUE(test::WaitUntil([&] { return !window.batch().running(); }, 30));
    EXPECT_TRUE(ticked);
    EXPECT_EQ(asked, QStringList{"The batch was not submitted: the cluster refused the job: "
                                 "Batch job submission failed: Socket timed out"});
    EXPECT_EQ(window.findChild<QTreeWidget*>("lvwFiles")->topLevelItem(0)->text(1), "");
    EXPECT_TRUE(window.findChild<QPushButton*>("cmdRun")->isEnabled());
}

}  // namespace
}  // namespace velto
