// Following a cluster batch against stand-ins for sbatch, squeue and scancel: small scripts of
// ours that answer what the test writes for them, so every Slurm state and failure can be played
// without a cluster.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTreeWidget>
#include <filesystem>
#include <set>

#include "common/window/messagebox.h"
#include "shell/runner/batchjournal.h"
#include "shell/runner/settings.h"
#include "shell/runner/slurmbatch.h"
#include "shell/runner/solveroutput.h"
#include "shell/window/frmmain.h"
#include "tests/slurm/slurmtest.h"

namespace velto {
namespace {

class FakeSlurm : public ::testing::Test {
  protected:
    void SetUp() override {
        savedPath = qgetenv("PATH");
        bin = fake.File("bin");
        std::filesystem::create_directories(bin);
        // Each command notes its arguments and answers from the files the test writes.
        Command("sbatch",
                "printf '%s\\n' \"$@\" > \"$F/sbatch.args\"\n"
                "if [ -e \"$F/sbatch.first\" ]; then . \"$F/sbatch.first\"; fi\n"
                "if [ -e \"$F/sbatch.refuse\" ]; then cat \"$F/sbatch.refuse\" >&2; exit 1; fi\n"
                "echo 42\n");
        Command("squeue",
                "printf '%s\\n' \"$@\" > \"$F/squeue.args\"\n"
                "if [ -e \"$F/squeue.err\" ]; then cat \"$F/squeue.err\" >&2; exit 1; fi\n"
                "cat \"$F/squeue.out\"\n");
        Command("scancel",
                "printf '%s\\n' \"$@\" > \"$F/scancel.args\"\n"
                "if [ -e \"$F/scancel.err\" ]; then cat \"$F/scancel.err\" >&2; exit 1; fi\n");
        qputenv("PATH", QByteArray::fromStdString(bin) + ":/usr/bin:/bin");
    }
    void TearDown() override { qputenv("PATH", savedPath); }

    void Command(const std::string& name, const std::string& body) {
        const std::string path = bin + "/" + name;
        test::WriteBytes(path, "#!/bin/sh\nF=" + fake.path().string() + "\n" + body);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }
    void Answer(const std::string& file, const std::string& text) {
        test::WriteBytes(fake.File(file), text);
    }
    // What squeue lists: "TASK STATE USED" lines, given the job's name here.
    void Queue(const SlurmBatch& batch, const std::vector<std::string>& lines) {
        std::string text;
        const std::string name = QFileInfo(batch.jobFolder()).fileName().toStdString();
        for (const std::string& line : lines) {
            text += line + " " + name + "\n";
        }
        Answer("squeue.out", text);
    }
    std::vector<std::string> Args(const std::string& command) {
        std::vector<std::string> args;
        std::string text = test::ReadBytes(fake.File(command + ".args"));
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            args.push_back(text.substr(start, end - start));
        }
        return args;
    }
    QStringList Inputs(int n) {
        QStringList files;
        for (int i = 1; i <= n; ++i) {
            files.append(QString::fromStdString(
                test::StandInInput(dir, "beam" + std::to_string(i), {"STEPS 2"})));
        }
        return files;
    }
    void ExitCode(const SlurmBatch& batch, int task, const std::string& code) {
        test::WriteBytes(batch.jobFolder().toStdString() + "/" + std::to_string(task) + ".exit",
                         code + "\n");
    }
    static QStringList JobFolders() {
        return QDir(SlurmBatch::JobsFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    }
    // Submits the files; polls fast so a test need not wait two seconds a step.
    void Submit(SlurmBatch& batch, const QStringList& files, SlurmOptions options = {}) {
        batch.setPollIntervalMs(50);
        QString error;
        ASSERT_TRUE(batch.Submit(test::StandIn(VELTO_STANDIN_DIR), files, options, error))
            << error.toStdString();
    }

    struct Events {
        std::vector<std::string> seen;
        std::vector<std::pair<int, float>> progress;
        std::vector<QString> messages;
        bool finished = false;
    };
    void Record(SlurmBatch& batch, Events& events) {
        QObject::connect(&batch, &SlurmBatch::fileQueued,
                         [&](int row) { events.seen.push_back("queued " + std::to_string(row)); });
        QObject::connect(&batch, &SlurmBatch::fileStarted,
                         [&](int row) { events.seen.push_back("started " + std::to_string(row)); });
        QObject::connect(&batch, &SlurmBatch::fileFinished, [&](int row, const QString& status) {
            events.seen.push_back(std::to_string(row) + " " + status.toStdString());
        });
        QObject::connect(&batch, &SlurmBatch::progress,
                         [&](int row, float fraction, const QString&) {
                             events.progress.emplace_back(row, fraction);
                         });
        QObject::connect(&batch, &SlurmBatch::clusterMessage,
                         [&](const QString& text) { events.messages.push_back(text); });
        QObject::connect(&batch, &SlurmBatch::batchFinished, [&] { events.finished = true; });
    }

    QByteArray savedPath;
    std::string bin;
    test::ScratchDir fake;
    test::ScratchDir dir;
};

TEST_F(FakeSlurm, SubmitsOneArrayAndFollowsEachFileToItsEnd) {
    // A log of an earlier run must not pass for this one's.
    test::WriteBytes(dir.File("beam1.log"), "  Step: time = 100.00 s (old run)\n");
    SlurmBatch batch;
    SlurmOptions options;
    options.partition = "long";
    options.maxRunning = 2;
    options.timeLimit = "1:00:00";
    Submit(batch, Inputs(3), options);
    EXPECT_EQ(batch.jobId(), "42");
    EXPECT_FALSE(std::filesystem::exists(dir.File("beam1.log")));
    const std::vector<std::string> args = Args("sbatch");
    const std::string name = QFileInfo(batch.jobFolder()).fileName().toStdString();
    EXPECT_EQ(args, (std::vector<std::string>{
                        "--parsable", "--job-name=" + name, "--array=0-2%2",
                        "--output=" + batch.jobFolder().toStdString() + "/slurm-%a.out",
                        "--chdir=" + batch.jobFolder().toStdString(), "--partition=long",
                        "--time=1:00:00", batch.jobFolder().toStdString() + "/job.sh"}));
    const std::string manifest = test::ReadBytes(batch.jobFolder().toStdString() + "/manifest");
    EXPECT_EQ(manifest.find("stdin dir=" + PrintfEscape(dir.path().string()) + " base=beam1 "), 0u)
        << manifest;
    EXPECT_EQ(std::count(manifest.begin(), manifest.end(), '\n'), 3);
    ASSERT_TRUE(SlurmRecord::Load(batch.jobFolder() + "/job.json").has_value());
    EXPECT_EQ(SlurmRecord::Load(batch.jobFolder() + "/job.json")->jobId, "42");
    // The same record grown beyond what a record can be is refused unread.
    std::string grown = test::ReadBytes(batch.jobFolder().toStdString() + "/job.json");
    grown.resize(static_cast<std::size_t>(BatchJournal::kMaxJournalBytes) + 1, ' ');
    test::WriteBytes(batch.jobFolder().toStdString() + "/grown.json", grown);
    EXPECT_FALSE(SlurmRecord::Load(batch.jobFolder() + "/grown.json").has_value());

    Events events;
    Record(batch, events);
    Queue(batch, {"0 PENDING 0:00", "1 PENDING 0:00", "2 PENDING 0:00"});
    batch.StartFollowing();
    ASSERT_TRUE(test::WaitUntil([&] { return events.seen.size() == 3; }, 30));
    EXPECT_EQ(events.seen, (std::vector<std::string>{"queued 0", "queued 1", "queued 2"}));
    EXPECT_EQ(Args("squeue"), (std::vector<std::string>{"--array", "--states=all", "--noheader",
                                                        "--jobs=42", "--format=%K %T %M %j"}));

    // Running: the log's finished lines count, the unfinished one waits for its end.
    test::WriteBytes(
        dir.File("beam1.log"),
        std::string(kSolverPrompt) + "  \n  Step: time = 50.00 s (1 of 2)\n" + "  Step: time = 7");
    Queue(batch, {"0 RUNNING 0:05", "1 PENDING 0:00", "2 PENDING 0:00"});
    ASSERT_TRUE(test::WaitUntil([&] { return !events.progress.empty(); }, 30));
    EXPECT_EQ(events.seen.back(), "started 0");
    EXPECT_EQ(events.progress, (std::vector<std::pair<int, float>>{{0, 0.5f}}));
    EXPECT_GE(batch.ElapsedSeconds(0), 5.0);

    // Ended: COMPLETED with exit code 0, COMPLETED with exit code 3, and a time-out.
    std::FILE* log = std::fopen(dir.File("beam1.log").c_str(), "ab");
    std::fputs("5.00 s (2 of 2)\n  Analysis completed.\n", log);
    std::fclose(log);
    ExitCode(batch, 0, "0");
    ExitCode(batch, 1, "3");
    Queue(batch, {"0 COMPLETED 0:09", "1 COMPLETED 0:01", "2 TIMEOUT 1:00:00"});
    ASSERT_TRUE(test::WaitUntil([&] { return events.finished; }, 30));
    EXPECT_EQ(events.seen,
              (std::vector<std::string>{"queued 0", "queued 1", "queued 2", "started 0",
                                        "0 Completed", "1 Failed", "2 Failed"}));
    EXPECT_EQ(events.progress, (std::vector<std::pair<int, float>>{{0, 0.5f}, {0, 0.75f}}));
    EXPECT_EQ(batch.StatusesOfThisBatch(), (std::vector<QString>{"Completed", "Failed", "Failed"}));
    EXPECT_FALSE(batch.IsFollowing);
    // The console text as a local run shows it: the prompt taken out, every line there.
    EXPECT_FALSE(batch.RunLogs[0].contains("FILENAME")) << batch.RunLogs[0].toStdString();
    EXPECT_TRUE(batch.RunLogs[0].contains("time = 75.00 s (2 of 2)\n  Analysis completed.\n"))
        << batch.RunLogs[0].toStdString();
    EXPECT_EQ(batch.ElapsedSeconds(2), 3600.0);
}

TEST_F(FakeSlurm, CancelAbortsTheQueuedAndRunningFiles) {
    SlurmBatch batch;
    Submit(batch, Inputs(3));
    EXPECT_EQ(Args("sbatch")[2], "--array=0-2");
    Events events;
    Record(batch, events);
    ExitCode(batch, 0, "0");
    Queue(batch, {"0 COMPLETED 0:01", "1 RUNNING 0:01", "2 PENDING 0:00"});
    batch.StartFollowing();
    ASSERT_TRUE(test::WaitUntil([&] { return events.seen.size() == 3; }, 30));
    batch.Cancel();
    ASSERT_TRUE(test::WaitUntil([&] { return events.finished; }, 30));
    EXPECT_EQ(Args("scancel"), std::vector<std::string>{"42"});
    EXPECT_EQ(batch.StatusesOfThisBatch(),
              (std::vector<QString>{"Completed", "Aborted", "Aborted"}));
    EXPECT_TRUE(SlurmRecord::Load(batch.jobFolder() + "/job.json")->cancelled);
}

TEST_F(FakeSlurm, ARefusedCancelKeepsFollowing) {
    SlurmBatch batch;
    Submit(batch, Inputs(1));
    Events events;
    Record(batch, events);
    Queue(batch, {"0 RUNNING 0:01"});
    Answer("scancel.err",
           "scancel: error: Kill job error on job id 42: Access/permission denied\n");
    batch.StartFollowing();
    ASSERT_TRUE(test::WaitUntil([&] { return !events.seen.empty(); }, 30));
    batch.Cancel();
    ASSERT_TRUE(test::WaitUntil([&] { return !events.messages.empty(); }, 30));
    EXPECT_EQ(events.messages[0].toStdString(),
              "job 42 could not be cancelled: Kill job error on job id 42: Access/permission "
              "denied");
    EXPECT_TRUE(batch.IsFollowing);
    EXPECT_EQ(batch.rows[0].status, "Running");
    batch.StopFollowing();
}

TEST_F(FakeSlurm, AJobGoneFromTheQueueEndsByTheRecordedExitCodes) {
    SlurmBatch batch;
    Submit(batch, Inputs(3));
    Events events;
    Record(batch, events);
    ExitCode(batch, 0, "0");
    ExitCode(batch, 2, "1");
    Answer("squeue.err", "slurm_load_jobs error: Invalid job id specified\n");
    batch.StartFollowing();
    ASSERT_TRUE(test::WaitUntil([&] { return events.finished; }, 30));
    // Task 1 left no exit code: it was killed before its solver ended.
    EXPECT_EQ(batch.StatusesOfThisBatch(), (std::vector<QString>{"Completed", "Failed", "Failed"}));
    EXPECT_TRUE(events.messages.empty());
}

TEST_F(FakeSlurm, AClusterThatDoesNotAnswerIsToldOnceAndFollowedOn) {
    SlurmBatch batch;
    Submit(batch, Inputs(1));
    Events events;
    Record(batch, events);
    Answer("squeue.err", "slurm_load_jobs error: Unable to contact slurm controller\n");
    batch.StartFollowing();
    ASSERT_TRUE(test::WaitUntil([&] { return !events.messages.empty(); }, 30));
    // Several polls fail; the user hears of it once.
    test::WaitUntil([] { return false; }, 1);
    EXPECT_EQ(events.messages.size(), 1u);
    EXPECT_EQ(events.messages[0].toStdString(),
              "cannot ask the cluster about job 42: slurm_load_jobs error: Unable to contact "
              "slurm controller");
    EXPECT_TRUE(events.seen.empty());
    std::filesystem::remove(fake.File("squeue.err"));
    Queue(batch, {"0 COMPLETED 0:01"});
    ExitCode(batch, 0, "0");
    ASSERT_TRUE(test::WaitUntil([&] { return events.finished; }, 30));
    EXPECT_EQ(batch.rows[0].status, "Completed");
}

// Earlier logs beside the input files go only once the cluster has taken the job: a refused job
// leaves them as they were, as does velto-batch ended by a signal while sbatch answers (sbatch
// ends with it), and a task that starts at once keeps the log it has begun.
TEST_F(FakeSlurm, ARefusedJobLeavesNothingBehind) {
    const QStringList before = JobFolders();
    const QStringList files = Inputs(2);
    test::WriteBytes(dir.File("beam1.log"), "the log of an earlier run\n");
    Answer("sbatch.refuse",
           "sbatch: error: invalid partition specified: bogus\n"
           "sbatch: error: Batch job submission failed: Invalid partition name specified\n");
    SlurmBatch batch;
    QString error;
    SlurmOptions options;
    options.partition = "bogus";
    EXPECT_FALSE(batch.Submit(test::StandIn(VELTO_STANDIN_DIR), files, options, error));
    EXPECT_EQ(error.toStdString(),
              "the cluster refused the job: invalid partition specified: bogus; Batch job "
              "submission failed: Invalid partition name specified");
    EXPECT_EQ(JobFolders(), before);
    EXPECT_TRUE(batch.rows.empty());
    EXPECT_EQ(test::ReadBytes(dir.File("beam1.log")), "the log of an earlier run\n");

    std::filesystem::remove(fake.File("sbatch.refuse"));
    auto Listing = [this] {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    };
    const std::set<std::string> earlier = {"beam1.in", "beam1.log", "beam2.in", "config"};
    for (const char* signal : {"TERM", "HUP", "QUIT", "INT"}) {
        Answer("sbatch.first", std::string("echo $$ > \"$F/sbatch.pid\"; sleep 0.5; kill -") +
                                   signal + " $PPID; exec sleep 30\n");
        test::BatchCall call;
        call.args = {"--slurm", "--solver-folder", VELTO_STANDIN_DIR, files[0].toStdString(),
                     files[1].toStdString()};
        call.path = bin + ":/usr/bin:/bin";
        const test::BatchCommand run = test::RunVeltoBatch(dir, call);
        EXPECT_EQ(run.status, -1) << signal << "\n" << run.out;
        EXPECT_EQ(test::ReadBytes(dir.File("beam1.log")), "the log of an earlier run\n") << signal;
        EXPECT_EQ(Listing(), earlier) << signal;  // nothing hidden beside them
        const int sbatch = std::stoi(test::ReadBytes(fake.File("sbatch.pid")));
        EXPECT_TRUE(test::WaitUntil([sbatch] { return test::StateOf(sbatch) != 'S'; }, 5))
            << signal;
    }

    Answer("sbatch.first", "printf 'Please type\\n' > " + dir.File("beam1.log") + "\n");
    SlurmBatch accepted;
    Submit(accepted, files);
    EXPECT_EQ(test::ReadBytes(dir.File("beam1.log")), "Please type\n");
    EXPECT_EQ(Listing(), earlier);  // the new log, nothing set aside
}

TEST_F(FakeSlurm, NoSbatchOnThePath) {
    qputenv("PATH", QByteArray::fromStdString(dir.path().string()));
    EXPECT_FALSE(SlurmBatch::Available());
    const QStringList before = JobFolders();
    SlurmBatch batch;
    QString error;
    EXPECT_FALSE(
        batch.Submit(test::StandIn(VELTO_STANDIN_DIR), QStringList{"/x/beam1.in"}, {}, error));
    EXPECT_NE(error.indexOf("sbatch"), -1) << error.toStdString();
    EXPECT_EQ(JobFolders(), before);
}

TEST_F(FakeSlurm, FollowPicksUpOnlyOurOwnJobs) {
    {
        SlurmBatch submitted;
        Submit(submitted, Inputs(2));
        Queue(submitted, {"0 RUNNING 0:01", "1 PENDING 0:00"});
    }
    SlurmBatch batch;
    QString error;
    ASSERT_TRUE(batch.Follow("42", error)) << error.toStdString();
    ASSERT_EQ(batch.rows.size(), 2u);
    EXPECT_EQ(batch.rows[1].path.toStdString(), dir.File("beam2.in"));

    // The same id, but another job: not ours.
    Answer("squeue.out", "0 RUNNING 0:01 someone-elses\n");
    SlurmBatch other;
    EXPECT_FALSE(other.Follow("42", error));
    EXPECT_NE(error.indexOf("not the batch velto-batch submitted"), -1) << error.toStdString();

    EXPECT_FALSE(other.Follow("999", error));
    EXPECT_NE(error.indexOf("was not submitted by velto-batch"), -1) << error.toStdString();
    EXPECT_FALSE(other.Follow("4x2", error));
    EXPECT_EQ(error.toStdString(), "'4x2' is not a job id");

    Answer("squeue.err", "slurm_load_jobs error: Unable to contact slurm controller\n");
    EXPECT_FALSE(other.Follow("42", error));
    EXPECT_NE(error.indexOf("Unable to contact"), -1) << error.toStdString();

    // Gone from the cluster: only worth following when a task left its exit code.
    Answer("squeue.err", "slurm_load_jobs error: Invalid job id specified\n");
    EXPECT_FALSE(other.Follow("42", error));
    EXPECT_NE(error.indexOf("no longer known to the cluster"), -1) << error.toStdString();
    ExitCode(batch, 1, "0");
    SlurmBatch gone;
    gone.setPollIntervalMs(50);
    ASSERT_TRUE(gone.Follow("42", error)) << error.toStdString();
    gone.StartFollowing();
    ASSERT_TRUE(test::WaitUntil([&] { return !gone.IsFollowing; }, 30));
    EXPECT_EQ(gone.StatusesOfThisBatch(), (std::vector<QString>{"Failed", "Completed"}));
}

// velto-batch's own checks before anything reaches a cluster.
TEST_F(FakeSlurm, CommandLineErrorsExitWithTwo) {
    const std::string input = Inputs(1)[0].toStdString();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--partition", "p", input},
             {"--detach", input},
             {"--slurm", "--jobs", "2", input},
             {"--slurm", "--max-running", "0", input},
             {"--follow", "42", input},
             {"--follow"},
             // The same file twice, a name with a line end, one the solver reads as "trail".
             {"--slurm", "--solver-folder", VELTO_STANDIN_DIR, input, dir.File("./beam1.in")},
             {"--slurm", "--solver-folder", VELTO_STANDIN_DIR, test::StandInInput(dir, "a\nb", {})},
             {"--slurm", "--solver-folder", VELTO_STANDIN_DIR,
              test::StandInInput(dir, "trail ", {})}}) {
        test::BatchCall call;
        call.args = args;
        test::BatchCommand run = test::RunVeltoBatch(dir, call);
        EXPECT_EQ(run.status, 2) << run.out;
        EXPECT_NE(run.out.find("Usage: velto-batch"), std::string::npos) << run.out;
    }
    EXPECT_FALSE(std::filesystem::exists(fake.File("sbatch.args")));
    // No sbatch: one line, no usage text.
    test::BatchCall call;
    call.args = {"--slurm", "--solver-folder", VELTO_STANDIN_DIR, input};
    call.path = dir.path().string();
    test::BatchCommand run = test::RunVeltoBatch(dir, call);
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(run.out,
              "velto-batch: sbatch was not found on the PATH: a batch goes to the cluster from a "
              "machine with the Slurm commands\n");
    // Refused by the (stand-in) cluster, and a job that is not ours.
    Answer("sbatch.refuse",
           "sbatch: error: Batch job submission failed: Requested time limit is invalid (missing "
           "or exceeds some limit)\n");
    call.args = {"--slurm", "--time", "9-00:00:00", "--solver-folder", VELTO_STANDIN_DIR, input};
    call.path = bin + ":/usr/bin:/bin";
    run = test::RunVeltoBatch(dir, call);
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_NE(run.out.find("velto-batch: the cluster refused the job: Batch job submission "
                           "failed: Requested time limit is invalid (missing or exceeds some "
                           "limit)\n"),
              std::string::npos)
        << run.out;
    EXPECT_FALSE(std::filesystem::exists(dir.File("config/Velto Shell/slurm")) &&
                 !std::filesystem::is_empty(dir.File("config/Velto Shell/slurm")));
    call.args = {"--follow", "42"};
    run = test::RunVeltoBatch(dir, call);
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_NE(run.out.find("velto-batch: job 42 was not submitted by velto-batch"),
              std::string::npos)
        << run.out;
}

// The window offers "Run on cluster" only where sbatch is, and only for a list with files.
TEST_F(FakeSlurm, TheWindowsClusterEntryNeedsSbatch) {
    SaveSolverFolder(QStringLiteral(VELTO_STANDIN_DIR));
    const QStringList files = Inputs(1);
    ShellDialogs dialogs;
    dialogs.addFiles = [&](QWidget*, const QString&) { return files; };
    {
        FrmMain window(dialogs);
        auto* entry = window.findChild<QAction*>("mnuAnalysisCluster");
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->text(), "Run on &cluster");
        EXPECT_FALSE(entry->isEnabled());
        window.cmdAdd_Click();
        EXPECT_TRUE(entry->isEnabled());
    }
    qputenv("PATH", QByteArray::fromStdString(dir.path().string()));
    FrmMain window(dialogs);
    window.cmdAdd_Click();
    EXPECT_FALSE(window.findChild<QAction*>("mnuAnalysisCluster")->isEnabled());
}

// Stop in the window asks: Yes cancels the job, No only stops following it.
TEST_F(FakeSlurm, TheWindowsStopCancelsOrStopsFollowing) {
    SaveSolverFolder(QStringLiteral(VELTO_STANDIN_DIR));
    const QStringList files = Inputs(2);
    ShellDialogs dialogs;
    dialogs.addFiles = [&](QWidget*, const QString&) { return files; };
    int answer = kAnswerYes;
    QStringList asked;
    SetMessageBoxSeam([&](QWidget*, const QString& prompt, int, const QString&) {
        asked.append(prompt);
        return answer;
    });
    FrmMain window(dialogs);
    window.cmdAdd_Click();
    window.cluster().setPollIntervalMs(50);
    window.mnuAnalysisCluster_Click();
    ASSERT_TRUE(window.cluster().IsFollowing) << asked.join('\n').toStdString();
    Queue(window.cluster(), {"0 RUNNING 0:01", "1 PENDING 0:00"});
    auto* list = window.findChild<QTreeWidget*>("lvwFiles");
    ASSERT_TRUE(test::WaitUntil([&] { return list->topLevelItem(1)->text(1) == "Queued"; }, 30));
    EXPECT_EQ(list->topLevelItem(0)->text(1), "Running");
    window.cmdStop_Click();
    ASSERT_TRUE(test::WaitUntil([&] { return !window.cluster().IsFollowing; }, 30));
    EXPECT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked[0].startsWith("Cancel job 42 on the cluster?"));
    EXPECT_EQ(Args("scancel"), std::vector<std::string>{"42"});
    EXPECT_EQ(list->topLevelItem(0)->text(1), "Aborted");
    EXPECT_EQ(list->topLevelItem(1)->text(1), "Aborted");

    // No: the job runs on, the window lets go of it.
    std::filesystem::remove(fake.File("scancel.args"));
    answer = kAnswerNo;
    window.mnuAnalysisCluster_Click();
    Queue(window.cluster(), {"0 RUNNING 0:01", "1 RUNNING 0:00"});
    ASSERT_TRUE(test::WaitUntil([&] { return list->topLevelItem(1)->text(1) == "Running"; }, 30));
    window.cmdStop_Click();
    EXPECT_FALSE(window.cluster().IsFollowing);
    EXPECT_FALSE(std::filesystem::exists(fake.File("scancel.args")));
    EXPECT_TRUE(window.findChild<QAction*>("mnuAnalysisCluster")->isEnabled());
    SetMessageBoxSeam({});
}

}  // namespace
}  // namespace velto
