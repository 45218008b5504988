// Batches on a real Slurm cluster: the one-node cluster of scripts/slurm-local.sh, started for
// these tests by a CTest fixture. Skipped, with the reason, only when Slurm cannot be started on
// this machine at all.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sys/wait.h>

#include <QProcess>
#include <filesystem>
#include <regex>

#include "shell/cluster/slurmbackend.h"
#include "shell/cluster/slurmjob.h"
#include "shell/model/batchmodel.h"
#include "tests/harness/harness.h"

namespace velto {
namespace {

class Cluster : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string unavailable = test::ReadBytes(VELTO_SLURM_UNAVAILABLE);
        if (!unavailable.empty()) {
            GTEST_SKIP() << "Slurm cannot be started on this machine: " << unavailable;
        }
        const std::string conf = std::string(VELTO_SLURM_DIR) + "/slurm.conf";
        ASSERT_TRUE(std::filesystem::exists(conf))
            << "the cluster fixture did not run (ctest runs it before these tests)";
        ::setenv("SLURM_CONF", conf.c_str(), 1);
    }

    std::string Input(const std::string& name, const std::vector<std::string>& directives) {
        return test::StandInInput(dir, name, directives);
    }
    // velto-batch with these arguments, or these and the files given to the cluster with the
    // stand-in solver.
    test::BatchCommand Run(std::vector<std::string> args, test::BatchCall call = {}) {
        call.args = std::move(args);
        return test::RunVeltoBatch(dir, call);
    }
    test::BatchCommand OnCluster(std::vector<std::string> args, test::BatchCall call = {}) {
        args.insert(args.begin(), {"--slurm", "--solver-folder", VELTO_STANDIN_DIR});
        return Run(std::move(args), std::move(call));
    }
    static std::string JobIdIn(const std::string& out) {
        std::smatch m;
        return std::regex_search(out, m, std::regex("Submitted batch job ([0-9]+)")) ? m[1].str()
                                                                                     : "";
    }
    // The states squeue gives the job's tasks, or "gone".
    static std::string QueueStates(const std::string& id) {
        QProcess squeue;
        squeue.start("squeue", {"--array", "--states=all", "--noheader",
                                "--jobs=" + QString::fromStdString(id), "--format=%T"});
        squeue.waitForFinished(60000);
        return squeue.exitCode() == 0 ? squeue.readAllStandardOutput().toStdString() : "gone";
    }

    test::ScratchDir dir;
};

// The job folder lies under a path with a backslash, which Slurm reads in an output path as "no
// patterns, and drop the backslash unless doubled": the tasks' logs and Slurm's own output still
// arrive.
TEST_F(Cluster, ThreeFilesTheSecondFailing) {
    const std::string config = dir.File("con\\fig");
    test::BatchCommand run = OnCluster(
        {"--verbose", "--export", "--all", Input("beam1", {"STEPS 4", "PACE 0.2", "RECORD"}),
         Input("beam2", {"STEPS 2", "PACE 0", "EXIT 3"}), Input("beam3", {"STEPS 4", "PACE 0.2"})},
        {.env = {"XDG_CONFIG_HOME=" + config}});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(JobIdIn(run.out), "") << run.out;
    // --verbose shows the console text, read from the logs, without the prompt; each completed
    // task's listing is exported as the task completes.
    EXPECT_TRUE(
        test::Says(run.out, {"beam1.in: Completed (", "beam2.in: Failed (", "beam3.in: Completed (",
                             "Batch finished: 2 Completed, 1 Failed, 0 Aborted in ",
                             "time = 100.00 s (4 of 4)", "Exported: " + dir.File("beam3.xlsx")}));
    EXPECT_TRUE(test::SaysNone(run.out, {"FILENAME"}));
    for (const char* name : {"beam1", "beam2", "beam3"}) {
        EXPECT_TRUE(test::Says(test::ReadBytes(dir.File(std::string(name) + ".log")),
                               {"Analysis completed."}));
    }
    // The failed file's log does not end as if it had succeeded.
    EXPECT_TRUE(test::ReadBytes(dir.File("beam2.log"))
                    .ends_with("Analysis completed.\nVelto ended with exit code 3\n"));
    EXPECT_TRUE(std::filesystem::exists(dir.File("beam3.out")));
    // The task hands the solver its name as a local run does.
    EXPECT_EQ(test::ReadBytes(dir.File("beam1.received")),
              "argc=1\nstdin=beam1\\r\\n             \n");
    EXPECT_TRUE(std::filesystem::exists(dir.File("beam1.xlsx")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("beam2.xlsx")));
    const std::filesystem::path jobs = config + "/Velto Shell/slurm";
    ASSERT_TRUE(std::filesystem::is_directory(jobs));
    const std::filesystem::path job = std::filesystem::directory_iterator(jobs)->path();
    EXPECT_TRUE(std::filesystem::exists(job / "slurm.out")) << job;
}

TEST_F(Cluster, CtrlCAsksAndCancelsTheJob) {
    test::BatchCommand run = OnCluster(
        {"--max-running", "1", Input("beam1", {"STEPS 100", "PACE 0.2"}),
         Input("beam2", {"STEPS 100", "PACE 0.2"}), Input("beam3", {"STEPS 100", "PACE 0.2"})},
        {.terminalInput = true,
         .interruptAfter = "beam1.in: Running",
         .answerAfter = "Cancel job",
         .answer = "c\n"});
    EXPECT_TRUE(test::Ended(run, 1,
                            {"beam1.in: Aborted", "beam2.in: Aborted", "beam3.in: Aborted",
                             "Batch finished: 0 Completed, 0 Failed, 3 Aborted"}));
    // The cluster cancelled it too: no task ran to its end.
    const std::string id = JobIdIn(run.out);
    ASSERT_NE(id, "");
    const std::string states = QueueStates(id);
    EXPECT_TRUE(states == "gone" || states.find("CANCELLED") != std::string::npos) << states;
    EXPECT_EQ(states.find("COMPLETED"), std::string::npos) << states;
    EXPECT_TRUE(
        test::WaitUntil([&] { return QueueStates(id).find("RUNNING") == std::string::npos; }, 60));
    EXPECT_FALSE(std::filesystem::exists(dir.File("beam2.out")));
}

TEST_F(Cluster, CtrlCWithoutATerminalStopsFollowingAndFollowPicksUp) {
    test::BatchCommand run = OnCluster({Input("beam1", {"STEPS 30", "PACE 0.2"})},
                                       {.interruptAfter = "beam1.in: Running"});
    EXPECT_EQ(run.status, 1) << run.out;
    const std::string id = JobIdIn(run.out);
    ASSERT_NE(id, "") << run.out;
    EXPECT_TRUE(test::Says(run.out, {"Stopped following job " + id + "; it runs on."}));
    EXPECT_TRUE(test::SaysNone(run.out, {"Aborted"}));

    run = Run({"--follow", id});
    EXPECT_TRUE(test::Ended(run, 0, {"beam1.in: Completed"}));
}

TEST_F(Cluster, DetachThenFollowGivesTheSameResult) {
    test::BatchCommand run = OnCluster({"--detach", Input("beam1", {"STEPS 4", "PACE 0.2"}),
                                        Input("beam2", {"STEPS 2", "PACE 0", "EXIT 3"}),
                                        Input("beam3", {"STEPS 4", "PACE 0.2"})});
    EXPECT_EQ(run.status, 0) << run.out;
    const std::string id = JobIdIn(run.out);
    ASSERT_NE(id, "") << run.out;
    EXPECT_TRUE(test::Says(run.out, {"Follow it with: velto-batch --follow " + id}));
    EXPECT_TRUE(test::SaysNone(run.out, {"Completed"}));

    run = Run({"--follow", id});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(
        test::Says(run.out, {"beam1.in: Completed (", "beam2.in: Failed (", "beam3.in: Completed (",
                             "Batch finished: 2 Completed, 1 Failed, 0 Aborted"}));
    // Once more, after the end: the same.
    run = Run({"--follow", id});
    EXPECT_TRUE(test::Ended(run, 1, {"Batch finished: 2 Completed, 1 Failed, 0 Aborted"}));
}

TEST_F(Cluster, AJobTheClusterRefusesLeavesNothingBehind) {
    const std::string input = Input("beam1", {"STEPS 1", "PACE 0"});
    const std::string refused = "velto-batch: the cluster refused the job: ";
    struct Case {
        const char* option;
        const char* value;
        std::vector<std::string> said;
    };
    // The test partition allows a day.
    for (const Case& c : {Case{"--partition", "bogus", {refused + "invalid partition"}},
                          Case{"--time", "2-00:00:00", {refused, "time limit"}}}) {
        const test::BatchCommand run = OnCluster({c.option, c.value, input});
        EXPECT_TRUE(test::Ended(run, 2, c.said));
        const std::string jobs = dir.File("config/Velto Shell/slurm");  // none left behind
        EXPECT_TRUE(!std::filesystem::exists(jobs) || std::filesystem::is_empty(jobs));
    }
    const test::BatchCommand run = Run({"--follow", "999999"});
    EXPECT_TRUE(test::Ended(run, 2, {"job 999999 was not submitted by velto-batch"}));
}

// Each task that does not complete says why, in the words a local run of the same file uses, also
// without --verbose: an exit code, a signal, and a task that someone cancels with scancel from
// outside. Each log ends with its reason, and so does the job's record.
TEST_F(Cluster, EachTaskThatDoesNotCompleteSaysWhy) {
    const std::vector<std::string> files = {Input("beam1", {"STEPS 2", "PACE 0", "EXIT 3"}),
                                            Input("beam2", {"STEPS 3", "PACE 0", "CRASH"}),
                                            Input("beam3", {"STEPS 300", "PACE 0.2"}),
                                            Input("beam4", {"STEPS 2", "PACE 0"})};
    std::vector<std::string> args = {"--slurm", "--solver-folder", VELTO_STANDIN_DIR};
    args.insert(args.end(), files.begin(), files.end());
    const std::string out = dir.File("out.txt");
    const pid_t batch = test::StartVeltoBatch(dir, {.args = args}, out);
    std::string id;
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            const std::string said = test::ReadBytes(out);
            id = JobIdIn(said);
            return said.find("beam3.in: Running") != std::string::npos;
        },
        120))
        << test::ReadBytes(out);
    QProcess scancel;
    scancel.start("scancel", {QString::fromStdString(id + "_2")});
    ASSERT_TRUE(scancel.waitForFinished(60000));
    int status = 0;
    bool ended = false;  // reaped once: asked again, waitpid would find no such child
    ASSERT_TRUE(test::WaitUntil(
        [&] { return ended = ended || ::waitpid(batch, &status, WNOHANG) == batch; }, 120))
        << test::ReadBytes(out);
    EXPECT_EQ(WEXITSTATUS(status), 1);

    // The same files run here give the reasons the cluster must give.
    BatchModel local;
    local.AddFiles({files[0], files[1]});
    test::RunToEnd(local, test::StandIn(VELTO_STANDIN_DIR));
    const std::string exit3 = local.rows()[0].reason.toStdString();
    const std::string crashed = local.rows()[1].reason.toStdString();
    EXPECT_EQ(crashed, "Velto was ended by signal 11 (Segmentation fault)");
    const std::string cancelled = "Velto was ended by the cluster: the job was cancelled";
    const std::string said = test::ReadBytes(out);
    EXPECT_TRUE(test::Says(
        said, {"beam1.in: " + exit3 + "\nbeam1.in: Failed (",
               "beam2.in: " + crashed + "\nbeam2.in: Failed (",
               "beam3.in: " + cancelled + "\nbeam3.in: Aborted (", "beam4.in: Completed ("}));
    // The cluster's own logs (run on the node) end as the local console texts end.
    EXPECT_TRUE(test::Says(local.KeptConsole(0), {"Analysis completed.\n" + exit3 + "\n"}));
    EXPECT_TRUE(test::ReadBytes(dir.File("beam1.log")).ends_with("completed.\n" + exit3 + "\n"));
    EXPECT_TRUE(test::ReadBytes(dir.File("beam2.log")).ends_with("(1 of 3)\n" + crashed + "\n"));
    EXPECT_TRUE(test::ReadBytes(dir.File("beam3.log")).ends_with("\n" + cancelled + "\n"));
    EXPECT_TRUE(test::ReadBytes(dir.File("beam4.log")).ends_with("Analysis completed.\n"));
    const std::filesystem::path jobs = dir.File("config/Velto Shell/slurm");
    const std::optional<SlurmRecord> record = SlurmRecord::Load(QString::fromStdString(
        (std::filesystem::directory_iterator(jobs)->path() / "job.json").string()));
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->ended.at(1).reason.toStdString(), crashed);
    EXPECT_EQ(record->ended.at(2).status, "Aborted");
}

// A task beyond its memory limit says so, on a cluster that enforces one: the one-node cluster of
// scripts/slurm-local.sh looks at each task's memory every second.
TEST_F(Cluster, ATaskBeyondItsMemoryLimitSaysSo) {
    QProcess scontrol;
    scontrol.start("scontrol", {"show", "config"});
    ASSERT_TRUE(scontrol.waitForFinished(60000));
    if (!scontrol.readAllStandardOutput().contains("OverMemoryKill")) {
        GTEST_SKIP() << "the running cluster does not enforce memory limits: it was started "
                        "before scripts/slurm-local.sh set JobAcctGatherParams=OverMemoryKill "
                        "(stop it, and the tests start it again)";
    }
    const test::BatchCommand run =
        OnCluster({Input("beam1", {"STEPS 50", "PACE 0.2", "MEMORY 400"}),
                   Input("beam2", {"STEPS 2", "PACE 0"})},
                  {.env = {"SBATCH_MEM_PER_NODE=100M"}});
    const std::string memory =
        "Velto was ended by the cluster: it ran out of memory (the memory limit was exceeded)";
    EXPECT_TRUE(
        test::Ended(run, 1,
                    {"beam1.in: " + memory + "\nbeam1.in: Failed (", "beam2.in: Completed (",
                     "Batch finished: 1 Completed, 1 Failed, 0 Aborted"}));
    EXPECT_TRUE(test::ReadBytes(dir.File("beam1.log")).ends_with("\n" + memory + "\n"));
}

}  // namespace
}  // namespace velto
