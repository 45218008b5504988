#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <filesystem>

#include "shell/model/batchmodel.h"
#include "shell/runner/localbackend.h"
#include "shell/runner/solverfinder.h"
#include "tests/support/testsupport.h"

extern char** environ;

namespace velto {
namespace {

// Solvers that misbehave: each must come out with the right status, the batch must go on to the
// next file once the solver itself has ended, and no solver is ever killed by us.
class SolverFaults : public ::testing::Test {
  protected:
    QString Input(const std::string& name, const std::string& directives) {
        std::string path = dir.File(name + ".in");
        test::WriteBytes(path, "TIME\n 1 100\nEND_TIME\nSTANDIN PACE 0\n" + directives);
        return QString::fromStdString(path);
    }
    std::vector<QString> Run(BatchModel& batch, double* seconds = nullptr) {
        SolverInfo solver;
        solver.SolverFolder = VELTO_STANDIN_DIR;
        EXPECT_TRUE(FindSolver(solver, solver.SolverFolder));
        GetSolverVersion(solver, solver.Command());
        QEventLoop loop;
        QObject::connect(&batch, &BatchModel::batchFinished, &loop, &QEventLoop::quit);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        auto start = std::chrono::steady_clock::now();
        batch.Run(std::make_unique<LocalBackend>(), solver);
        loop.exec();
        if (seconds) {
            *seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        std::vector<QString> statuses;
        for (const auto& row : batch.rows()) {
            statuses.push_back(row.status);
        }
        return statuses;
    }
    test::ScratchDir dir;
};

TEST_F(SolverFaults, CrashClosedOutputAndGrandchild) {
    BatchModel batch;
    batch.RestoreRow(Input("crash", "STANDIN CRASH\n"), {});
    // Closes its console and computes on for a second before ending well.
    batch.RestoreRow(Input("quiet", "STANDIN CLOSE-OUTPUT 1\n"), {});
    // Leaves a grandchild holding the console for 20 s after the solver itself has ended.
    batch.RestoreRow(Input("parent", "STANDIN GRANDCHILD 20\n"), {});
    batch.RestoreRow(Input("last", ""), {});
    // The exit code that a shell would report for a signal 11 is still an exit code.
    batch.RestoreRow(Input("code", "STANDIN EXIT 139\n"), {});
    double seconds = 0;
    EXPECT_EQ(Run(batch, &seconds),
              (std::vector<QString>{"Failed", "Completed", "Completed", "Completed", "Failed"}));
    EXPECT_TRUE(batch.log(0).endsWith("\nVelto was ended by signal 11 (Segmentation fault)\n"))
        << batch.log(0).toStdString();
    EXPECT_TRUE(batch.log(4).endsWith("\nVelto ended with exit code 139\n"))
        << batch.log(4).toStdString();
    // The closed console did not end the run early (it waited for the solver's own end), and
    // the grandchild did not hold the batch: far less than its 20 s.
    EXPECT_GE(seconds, 1.0);
    EXPECT_LT(seconds, 15.0);
    EXPECT_TRUE(batch.log(1).contains("time = "));
}

// A solver that floods its console: the command line shows it and keeps no more than it must.
TEST_F(SolverFaults, FloodKeepsTheCommandLinesMemoryBounded) {
    Input("flood", "STANDIN FLOOD 200\n");
    std::string out = dir.File("out.txt");
    std::vector<std::string> args = {VELTO_BATCH_BIN, "--verbose", "--solver-folder",
                                     VELTO_STANDIN_DIR, dir.File("flood.in")};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string env = "XDG_CONFIG_HOME=" + dir.File("config");
    std::vector<char*> envp = {env.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    struct rusage usage {};
    ASSERT_EQ(::wait4(pid, &status, 0, &usage), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // 200 MB passed through; the program itself stayed small.
    EXPECT_LT(usage.ru_maxrss, 100 * 1024) << "peak " << usage.ru_maxrss << " KiB";
}

}  // namespace
}  // namespace velto
