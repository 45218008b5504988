// The parts of a cluster batch that need no cluster: the escaping, the manifest, the job script
// (run here by /bin/sh as a task would be), sbatch's arguments, squeue's answers and the states.

#include <gtest/gtest.h>

#include <QProcess>
#include <filesystem>

#include "shell/cluster/slurmjob.h"
#include "shell/model/batchmodel.h"
#include "shell/runner/solveroutput.h"
#include "tests/harness/harness.h"

namespace velto {
namespace {

TEST(PrintfEscape, EveryByteComesBackThroughTheShellsPrintf) {
    std::string all;
    for (int byte = 1; byte < 256; ++byte) {
        all += static_cast<char>(byte);
    }
    const std::string escaped = PrintfEscape(all);
    // Nothing the shell splits on or printf reads as a conversion is left as itself.
    for (char c : std::string(" \t\n'\"%$`*?[;&|<>()-")) {
        EXPECT_EQ(escaped.find(c), std::string::npos) << "'" << c << "' left unescaped";
    }
    for (const QString shell : {"/bin/sh", "/bin/bash", "/bin/dash"}) {
        if (!std::filesystem::exists(shell.toStdString())) {
            continue;
        }
        // What `printf FORMAT` prints in this shell.
        QProcess sh;
        sh.start(shell, {"-c", "printf \"$1\"", "sh", QString::fromLatin1(escaped)});
        EXPECT_TRUE(sh.waitForFinished(30000));
        EXPECT_EQ(sh.exitCode(), 0) << sh.readAllStandardError().toStdString();
        EXPECT_EQ(sh.readAllStandardOutput().toStdString(), all) << shell.toStdString();
    }
    // Digits after an escape are not taken into it: every escape has three.
    EXPECT_EQ(PrintfEscape(" 7"), "\\0407");
    EXPECT_EQ(PrintfEscape("-x"), "\\055x");
    EXPECT_EQ(PrintfEscape("beam_1.in"), "beam_1.in");
}

TEST(SbatchArguments, OneArrayWithTheUsersLimits) {
    SlurmOptions options;
    EXPECT_EQ(SbatchArguments(options, 3, "velto-1", "/jobs/velto-1", "/jobs/velto-1/job.sh"),
              (QStringList{"--parsable", "--job-name=velto-1", "--array=0-2",
                           "--output=/jobs/velto-1/slurm-%a.out", "--chdir=/jobs/velto-1",
                           "/jobs/velto-1/job.sh"}));
    options = {.partition = "long", .maxRunning = 4, .timeLimit = "2:00:00"};
    const QStringList args = SbatchArguments(options, 12, "v", "/j/100%", "/j/100%/job.sh");
    for (const char* arg : {"--array=0-11%4", "--partition=long", "--time=2:00:00",
                            "--output=/j/100%%/slurm-%a.out"}) {
        EXPECT_TRUE(args.contains(arg)) << arg << " in " << args.join(' ').toStdString();
    }
    EXPECT_EQ(args.back(), "/j/100%/job.sh");
    // A backslash turns the patterns off: the name as it is, each backslash doubled.
    const QStringList literal = SbatchArguments(options, 2, "v", "/j/a\\b%", "/j/a\\b%/job.sh");
    EXPECT_TRUE(literal.contains("--output=/j/a\\\\b%/slurm.out"))
        << literal.join(' ').toStdString();
    EXPECT_TRUE(literal.contains("--chdir=/j/a\\b%"));
}

// What sbatch and squeue answer, read: the job id, each task's state and time used, and the
// row status each state gives.
TEST(SlurmAnswers, IdTasksTimesAndStatuses) {
    EXPECT_EQ(ParseJobId("123\n"), "123");
    EXPECT_EQ(ParseJobId("77;velto-test\n"), "77");
    EXPECT_EQ(ParseJobId("Submitted batch job 5"), "");
    // A line without a task id, or with a negative one, is no task of the array.
    const auto tasks = ParseSqueue(
        "2 PENDING 0:00 velto-a\n0 RUNNING 1:02:03 velto-a\n1 COMPLETED 0:07 velto-a\n"
        "N/A COMPLETED 0:00 other\n-1 FAILED 0:01 velto-a\n-4 RUNNING 0:01 velto-a\n\n");
    ASSERT_EQ(tasks.size(), 3u);
    EXPECT_EQ(tasks.at(0).state, "RUNNING");
    EXPECT_EQ(tasks.at(0).usedSeconds, 3723);
    EXPECT_EQ(tasks.at(2).jobName, "velto-a");
    EXPECT_EQ(ParseUsedTime("2-01:02:03"), 2 * 86400 + 3723);
    EXPECT_EQ(ParseUsedTime("INVALID"), 0);

    struct Case {
        const char* state;
        std::optional<int> exitCode;
        QString status;
    };
    for (const Case& c :
         {Case{"PENDING", std::nullopt, kStatusQueued},
          Case{"REQUEUED", std::nullopt, kStatusQueued},
          Case{"COMPLETING", std::nullopt, kStatusRunning}, Case{"COMPLETING", 0, kStatusCompleted},
          Case{"COMPLETED", std::nullopt, kStatusCompleted}, Case{"COMPLETED", 3, kStatusFailed},
          Case{"TIMEOUT", std::nullopt, kStatusFailed},
          Case{"OUT_OF_MEMORY", std::nullopt, kStatusFailed},
          Case{"CANCELLED", std::nullopt, kStatusAborted}, Case{"CANCELLED", 143, kStatusAborted},
          Case{"CANCELLED", 0, kStatusCompleted}}) {
        EXPECT_EQ(StatusOfTask(c.state, c.exitCode), c.status) << c.state;
    }
    EXPECT_EQ(StatusOfLeftTask(0, false), kStatusCompleted);
    EXPECT_EQ(StatusOfLeftTask(1, true), kStatusFailed);
    EXPECT_EQ(StatusOfLeftTask(std::nullopt, false), kStatusFailed);
    EXPECT_EQ(StatusOfLeftTask(std::nullopt, true), kStatusAborted);
}

// What sacct and Slurm's own output say of tasks that ended, read; and the end each gives a row:
// the cluster's cause before the signal that the cause left as the solver's status, a plain exit
// code before a cause read from Slurm's output, and a task that never ran said to have not started.
TEST(SlurmAnswers, CausesAndTheEndsTheyGive) {
    const auto accounted = ParseSacct(
        "42_0|COMPLETED|0:0\n42_1|TIMEOUT|0:15\n42_2|CANCELLED by 1000|0:0\n42_3|FAILED|3:0\n"
        "42_[4-9]|PENDING|0:0\n421_5|FAILED|1:0\n42_0.batch|COMPLETED|0:0\n",
        "42");
    ASSERT_EQ(accounted.size(), 4u);
    EXPECT_EQ(accounted.at(1).state, "TIMEOUT");
    EXPECT_FALSE(accounted.at(1).exitCode.has_value());  // the script was ended by a signal
    EXPECT_EQ(accounted.at(2).state, "CANCELLED");
    EXPECT_EQ(accounted.at(3).exitCode, 3);

    EXPECT_EQ(CauseOfState("OUT_OF_MEMORY"), ClusterCause::kOutOfMemory);
    EXPECT_EQ(CauseOfState("CANCELLED by 0"), ClusterCause::kCancelled);
    EXPECT_EQ(CauseOfState("FAILED"), ClusterCause::kNone);
    // slurmstepd's own words, as a one-node cluster wrote them.
    EXPECT_EQ(CauseInSlurmOutput("slurmstepd-vm: error: *** JOB 239 ON vm CANCELLED AT "
                                 "2026-12-08T08:01:02 DUE TO TIME LIMIT ***\n"),
              ClusterCause::kTimeLimit);
    EXPECT_EQ(CauseInSlurmOutput("slurmstepd-vm: error: StepId=244.batch exceeded memory limit "
                                 "(200695808 > 104857600), being killed\nslurmstepd-vm: error: "
                                 "Exceeded job memory limit\nslurmstepd-vm: error: *** JOB 244 ON "
                                 "vm CANCELLED AT 2026-12-08T08:03:01 ***\n"),
              ClusterCause::kOutOfMemory);
    EXPECT_EQ(CauseInSlurmOutput("*** JOB 7 ON n1 CANCELLED AT 2026-12-08T08:00:00 ***"),
              ClusterCause::kCancelled);
    EXPECT_EQ(CauseInSlurmOutput("*** JOB 7 ON n1 CANCELLED AT 2026-12-08T08:00:00 DUE TO "
                                 "PREEMPTION ***"),
              ClusterCause::kPreempted);
    EXPECT_EQ(CauseInSlurmOutput(""), ClusterCause::kNone);
    EXPECT_EQ(ParseExitFile("137\n")->status, 137);
    EXPECT_EQ(ParseExitFile("2 folder\n")->notStarted, "folder");
    EXPECT_FALSE(ParseExitFile("").has_value());

    struct Case {
        TaskFacts facts;
        TaskEnd end;
    };
    const TaskExit killed{.status = 137};
    const TaskExit three{.status = 3};
    const std::string byCluster = "Velto was ended by the cluster: ";
    auto End = [](const QString& status, const std::string& reason) {
        return TaskEnd{status, QByteArray::fromStdString(reason)};
    };
    for (const Case& c : std::vector<Case>{
             {{.state = "RUNNING"}, End(kStatusRunning, "")},
             {{.state = "COMPLETED", .exit = TaskExit{}}, End(kStatusCompleted, "")},
             {{.state = "COMPLETED", .exit = three},
              End(kStatusFailed, "Velto ended with exit code 3")},
             {{.state = "FAILED", .exit = TaskExit{.status = 139}},
              End(kStatusFailed, "Velto was ended by signal 11 (Segmentation fault)")},
             // The memory limit ended the solver with SIGKILL: the limit is the reason.
             {{.state = "OUT_OF_MEMORY", .exit = killed},
              End(kStatusFailed,
                  byCluster + "it ran out of memory (the memory limit was exceeded)")},
             {{.state = "FAILED", .exit = killed, .outputCause = ClusterCause::kOutOfMemory},
              End(kStatusFailed,
                  byCluster + "it ran out of memory (the memory limit was exceeded)")},
             {{.state = "FAILED", .exit = three, .outputCause = ClusterCause::kOutOfMemory},
              End(kStatusFailed, "Velto ended with exit code 3")},
             {{.state = "TIMEOUT", .started = true},
              End(kStatusFailed, byCluster + "the time limit was reached")},
             {{.state = "CANCELLED", .started = true},
              End(kStatusAborted, byCluster + "the job was cancelled")},
             {{.state = "CANCELLED"},
              End(kStatusAborted, "Velto did not start: the job was cancelled")},
             {{.state = "NODE_FAIL", .started = true},
              End(kStatusFailed, byCluster + "its node failed")},
             {{.state = "PREEMPTED", .started = true},
              End(kStatusFailed, byCluster + "it was preempted by another job")},
             // Gone from the queue: the script's record, Slurm's output, or nothing at all.
             {{.exit = three}, End(kStatusFailed, "Velto ended with exit code 3")},
             {{.outputCause = ClusterCause::kTimeLimit, .started = true},
              End(kStatusFailed, byCluster + "the time limit was reached")},
             {{.outputCause = ClusterCause::kCancelled, .started = true},
              End(kStatusAborted, byCluster + "the job was cancelled")},
             {{.cancelledByUs = true},
              End(kStatusAborted, "Velto did not start: the job was cancelled")},
             {{.exit = TaskExit{.status = 2, .notStarted = "folder"}},
              End(kStatusFailed,
                  "Velto could not be started: the input file's folder cannot be "
                  "entered on the node")},
             // A missing solver, in the words of a local run's.
             {{.exit = TaskExit{.status = 127, .notStarted = "solver"}},
              End(kStatusFailed, "Velto could not be started: No such file or directory")},
             {{}, End(kStatusFailed, UnknownEndReason())}}) {
        EXPECT_EQ(EndOfTask(c.facts).status, c.end.status) << c.end.reason.toStdString();
        EXPECT_EQ(EndOfTask(c.facts).reason.toStdString(), c.end.reason.toStdString())
            << c.facts.state.toStdString();
    }
}

TEST(SplitLogChunks, OneLineEachAtMost256Bytes) {
    std::string pending;
    EXPECT_EQ(SplitLogChunks(pending, "a\nb\nunfinished", false),
              (std::vector<std::string>{"a\n", "b\n"}));
    EXPECT_EQ(pending, "unfinished");
    EXPECT_EQ(SplitLogChunks(pending, " line\r\n", false),
              std::vector<std::string>{"unfinished line\r\n"});
    const std::string longLine = std::string(600, 'x') + "\n";
    const auto pieces = SplitLogChunks(pending, longLine, false);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].size(), 256u);
    EXPECT_EQ(pieces[2], std::string(600 - 512, 'x') + "\n");
    EXPECT_TRUE(SplitLogChunks(pending, "end", false).empty());
    EXPECT_EQ(SplitLogChunks(pending, "", true), std::vector<std::string>{"end"});
    EXPECT_TRUE(pending.empty());
}

// The job script, run by /bin/sh as Slurm would run a task, against a local run of the same
// files: the solver must receive the very same bytes.
class JobScriptRun : public ::testing::Test {
  protected:
    // Runs task `task` of a script for these inputs; returns its exit status.
    int RunTask(const SolverInfo& solver, const std::vector<std::string>& inputs, int task) {
        std::string manifest;
        for (const std::string& input : inputs) {
            manifest += ManifestLine(HandOverFor(solver, input));
        }
        // A quote and a blank in the job folder, as "Velto Shell" has one.
        const std::string jobs = jobDir.File("job's folder");
        std::filesystem::create_directories(jobs);
        test::WriteBytes(jobs + "/manifest", manifest);
        test::WriteBytes(jobs + "/job.sh", JobScript(solver.Command(), jobs + "/manifest", jobs));
        test::WriteBytes(jobs + "/reasons", ReasonsFile());
        QProcess sh;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SLURM_ARRAY_TASK_ID", QString::number(task));
        sh.setProcessEnvironment(env);
        sh.setWorkingDirectory(QString::fromStdString(jobDir.path().string()));
        sh.start("/bin/sh", {QString::fromStdString(jobs + "/job.sh")});
        EXPECT_TRUE(sh.waitForFinished(60000));
        return sh.exitCode();
    }
    std::string ExitFile(int task) {
        return test::ReadBytes(jobDir.File("job's folder/" + std::to_string(task) + ".exit"));
    }

    test::ScratchDir dir;
    test::ScratchDir jobDir;
};

// Version 2004 takes the name on its command line; the others read it as an answer of exactly
// twenty bytes. A task hands over what a local run hands over, long names included.
TEST_F(JobScriptRun, HandsOverTheSameBytesAsALocalRun) {
    // Awkward folders and names: blanks, quotes, a percent sign, a backslash, a leading dash.
    const std::string folder = "it's a 100% \\study/";
    std::filesystem::create_directories(dir.File(folder));
    std::vector<std::string> inputs, bases;
    for (const std::string name : {"beam1", "fire-compartment-beam-25", "-dash d"}) {
        inputs.push_back(test::StandInInput(dir, folder + name, {"STEPS 2", "PACE 0", "RECORD"}));
        bases.push_back(dir.File(folder + name));
    }
    for (const auto& [standin, received] :
         {std::pair{VELTO_STANDIN_DIR, "argc=1\nstdin=beam1\\r\\n             \n"},
          std::pair{VELTO_STANDIN_2004_DIR, "argc=2\narg1=beam1\nstdin=\n"}}) {
        const SolverInfo solver = test::StandIn(standin);
        // The same files run by the local batch; their records are moved aside as NAME.local.
        BatchModel batch;
        for (const std::string& input : inputs) {
            batch.RestoreRow(QString::fromStdString(input), {});
        }
        test::RunToEnd(batch, solver);
        for (const std::string& base : bases) {
            std::filesystem::rename(base + ".received", base + ".local");
        }
        EXPECT_EQ(test::ReadBytes(bases[0] + ".local"), received) << standin;
        for (int task = 0; task < static_cast<int>(inputs.size()); ++task) {
            const std::string& base = bases[static_cast<std::size_t>(task)];
            EXPECT_EQ(RunTask(solver, inputs, task), 0) << standin << " task " << task;
            EXPECT_EQ(ExitFile(task), "0\n");
            EXPECT_EQ(test::ReadBytes(base + ".received"), test::ReadBytes(base + ".local"))
                << standin << " " << base;
            EXPECT_TRUE(test::Says(test::ReadBytes(base + ".log"), {"Analysis completed."}));
        }
    }
}

// A run that did not complete ends its log with the reason a local run of the same file gives,
// word for word, on a line of its own: never with the solver's "Analysis completed.".
TEST_F(JobScriptRun, TheTaskEndsWithTheSolversExitCodeAndItsLogSaysWhy) {
    const std::string input = test::StandInInput(dir, "beam2", {"STEPS 1", "PACE 0", "EXIT 3"});
    const std::string crash = test::StandInInput(dir, "beam5", {"STEPS 3", "PACE 0", "CRASH"});
    BatchModel local;
    local.RestoreRow(QString::fromStdString(input), {});
    local.RestoreRow(QString::fromStdString(crash), {});
    test::RunToEnd(local, test::StandIn(VELTO_STANDIN_DIR));
    EXPECT_EQ(RunTask(test::StandIn(VELTO_STANDIN_DIR), {input, crash}, 0), 3);
    EXPECT_EQ(ExitFile(0), "3\n");
    EXPECT_EQ(RunTask(test::StandIn(VELTO_STANDIN_DIR), {input, crash}, 1), 139);
    for (int row = 0; row < 2; ++row) {
        const std::string reason = local.rows()[static_cast<std::size_t>(row)].reason.toStdString();
        const std::string log = test::ReadBytes(dir.File(row == 0 ? "beam2.log" : "beam5.log"));
        EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1), reason + "\n") << log;
    }
    EXPECT_EQ(local.rows()[1].reason, "Velto was ended by signal 11 (Segmentation fault)");
    // A folder that is gone: the task fails and says so in its exit code.
    const std::string gone = dir.File("gone/beam3.in");
    EXPECT_NE(RunTask(test::StandIn(VELTO_STANDIN_DIR), {input, gone}, 1), 0);
    EXPECT_EQ(ExitFile(1), "2 folder\n");
    // A solver that is not there fails the task as a local run that cannot start fails.
    SolverInfo missing;
    missing.SolverFolder = dir.File("no solver");
    missing.SolverExe = "velto";
    EXPECT_EQ(RunTask(missing, {input}, 0), 127);
    EXPECT_EQ(ExitFile(0), "127 solver\n");
    // A log that cannot be written (a folder in its place): the solver is not run blind.
    std::filesystem::remove(dir.File("beam2.log"));
    std::filesystem::remove(dir.File("beam2.out"));
    std::filesystem::create_directory(dir.File("beam2.log"));
    EXPECT_EQ(RunTask(test::StandIn(VELTO_STANDIN_DIR), {input}, 0), 2);
    EXPECT_EQ(ExitFile(0), "2 log\n");
    EXPECT_FALSE(std::filesystem::exists(dir.File("beam2.out")));
}

}  // namespace
}  // namespace velto
