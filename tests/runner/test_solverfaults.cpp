#include <gtest/gtest.h>

#include <chrono>

#include "tests/harness/harness.h"

namespace velto {
namespace {

// Solvers that misbehave: each must come out with the right status, the batch must go on to the
// next file once the solver itself has ended, and no solver is ever killed by us.
TEST(SolverFaults, CrashClosedOutputAndGrandchild) {
    test::ScratchDir dir;
    BatchModel batch;
    for (const auto& [name, directive] : std::vector<std::pair<std::string, std::string>>{
             {"crash", "CRASH"},
             // Closes its console and computes on for a second before ending well.
             {"quiet", "CLOSE-OUTPUT 1"},
             // Leaves a grandchild holding the console for 20 s after the solver has ended.
             {"parent", "GRANDCHILD 20"},
             {"last", "PACE 0"},
             // The exit code that a shell would report for a signal 11 is still an exit code.
             {"code", "EXIT 139"}}) {
        batch.RestoreRow(
            QString::fromStdString(test::StandInInput(dir, name, {"PACE 0", directive})), {});
    }
    const auto start = std::chrono::steady_clock::now();
    test::RunToEnd(batch, test::StandIn(VELTO_STANDIN_DIR));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(test::Statuses(batch),
              (std::vector<QString>{"Failed", "Completed", "Completed", "Completed", "Failed"}));
    EXPECT_TRUE(batch.log(0).endsWith("\nVelto was ended by signal 11 (Segmentation fault)\n"))
        << batch.log(0).toStdString();
    EXPECT_TRUE(batch.log(4).endsWith("\nVelto ended with exit code 139\n"))
        << batch.log(4).toStdString();
    // The closed console did not end the run early (it waited for the solver's own end), and
    // the grandchild did not hold the batch: far less than its 20 s.
    EXPECT_GE(seconds, 1.0);
    EXPECT_LT(seconds, 15.0);
    // The faults were played: the quiet solver's console ended after its first step, and the
    // grandchild outlives the batch.
    EXPECT_TRUE(test::Says(batch.log(1), {"time = "}));
    EXPECT_FALSE(batch.log(1).contains("Analysis completed.")) << batch.log(1).toStdString();
    EXPECT_EQ(test::ProcessesIn(dir.path()).size(), 1u);
}

// A solver that floods its console: the command line shows it and keeps no more than it must.
TEST(SolverFaults, FloodKeepsTheCommandLinesMemoryBounded) {
    test::ScratchDir dir;
    const test::BatchCommand run = test::RunVeltoBatch(
        dir, {.args = {"--verbose", "--solver-folder", VELTO_STANDIN_DIR,
                       test::StandInInput(dir, "flood", {"PACE 0", "FLOOD 200"})},
              .keepOutput = false});
    EXPECT_EQ(run.status, 0);
    // 200 MB passed through; the program itself stayed small.
    EXPECT_GT(run.outBytes, 200LL * 1000 * 1000);
    EXPECT_GT(run.peakKiB, 0);
    EXPECT_LT(run.peakKiB, 100 * 1024) << "peak " << run.peakKiB << " KiB";
}

}  // namespace
}  // namespace velto
