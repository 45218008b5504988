#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/testsupport.h"

extern char** environ;

namespace velto {
namespace {

// velto-batch as a user runs it: its output read as it comes, an optional action when a text
// appears (a Ctrl+C), its exit status at the end.
struct BatchCommand {
    std::string out;
    int status = -1;
};

BatchCommand RunBatch(const test::ScratchDir& dir, std::vector<std::string> args,
                      const std::string& interruptAfter = "") {
    int pipeFds[2];
    EXPECT_EQ(::pipe(pipeFds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    args.insert(args.begin(), VELTO_BATCH_BIN);
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    // Settings go to the scratch folder, never to the user's own.
    std::vector<std::string> env = {"XDG_CONFIG_HOME=" + dir.File("config"), "PATH=/usr/bin:/bin",
                                    "QT_QPA_PLATFORM=offscreen"};
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);

    BatchCommand run;
    bool interrupted = interruptAfter.empty();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, 1000) > 0) {
            char buffer[4096];
            ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            run.out.append(buffer, static_cast<std::size_t>(got));
        }
        if (!interrupted && run.out.find(interruptAfter) != std::string::npos) {
            ::kill(pid, SIGINT);
            interrupted = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ADD_FAILURE() << "velto-batch did not end within a minute";
            break;
        }
    }
    ::close(pipeFds[0]);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

class VeltoBatch : public ::testing::Test {
  protected:
    std::string Input(const std::string& name, const std::string& directives) {
        std::string path = dir.File(name + ".in");
        test::WriteBytes(path, "TIME\n 1 100\nEND_TIME\n" + directives);
        return path;
    }
    test::ScratchDir dir;
};

TEST_F(VeltoBatch, StatusOfEachFileAndTheExitStatus) {
    BatchCommand run =
        RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, Input("beam1", "STANDIN PACE 0\n"),
                       Input("beam2", "STANDIN PACE 0\nSTANDIN EXIT 3\n"),
                       Input("beam3", "STANDIN PACE 0\n")});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("Velto Ver. 2026"), std::string::npos) << run.out;
    std::size_t first = run.out.find("beam1.in: Completed (");
    std::size_t second = run.out.find("beam2.in: Failed (");
    std::size_t third = run.out.find("beam3.in: Completed (");
    EXPECT_TRUE(first < second && second < third && third != std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("time ="), std::string::npos);  // no console text unless asked
    EXPECT_NE(run.out.find("Batch finished: 2 Completed, 1 Failed, 0 Aborted in 0:0"),
              std::string::npos)
        << run.out;

    // --resume runs again what did not complete: the failed file, now mended.
    test::WriteBytes(dir.File("beam2.in"), "TIME\n 1 100\nEND_TIME\nSTANDIN PACE 0\n");
    run = RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, "--resume"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("beam2.in: Completed"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("beam1.in"), std::string::npos) << run.out;
    run = RunBatch(dir, {"--solver-folder", VELTO_STANDIN_DIR, "--resume"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("nothing to resume"), std::string::npos) << run.out;

    run = RunBatch(dir, {"--verbose", "--jobs", "2", "--solver-folder", VELTO_STANDIN_2004_DIR,
                         Input("beam1", "STANDIN PACE 0\n"), Input("beam4", "STANDIN PACE 0\n")});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("time = 100.00"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("beam4.in: Completed"), std::string::npos);
}

// The solver starts in its input file's folder: a solver folder given relative to ours must
// still find it there.
TEST_F(VeltoBatch, RelativeSolverFolder) {
    std::filesystem::path standin = VELTO_STANDIN_DIR;
    std::filesystem::path relative = std::filesystem::relative(standin);
    ASSERT_TRUE(relative.is_relative());
    BatchCommand run =
        RunBatch(dir, {"--solver-folder", relative.string(), Input("beam1", "STANDIN PACE 0\n")});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("beam1.in: Completed"), std::string::npos) << run.out;
}

TEST_F(VeltoBatch, CtrlCAbortsTheRunningFileAndStartsNoOther) {
    BatchCommand run =
        RunBatch(dir,
                 {"--solver-folder", VELTO_STANDIN_DIR, Input("beam1", "STANDIN PACE 0\n"),
                  Input("beam2", "STANDIN STEPS 100\nSTANDIN PACE 0.1\n"),
                  Input("beam3", "STANDIN PACE 0\n")},
                 "beam2.in: Running");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("beam1.in: Completed"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("beam2.in: Aborted"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("beam3.in"), std::string::npos) << run.out;
}

TEST_F(VeltoBatch, SolverFolderComesFromTheWindowsSetting) {
    std::filesystem::create_directories(dir.File("config/Velto Shell"));
    test::WriteBytes(dir.File("config/Velto Shell/Velto Shell.ini"),
                     std::string("[Settings]\nVeltoPath=") + VELTO_STANDIN_2004_DIR + "\n");
    BatchCommand run = RunBatch(dir, {Input("beam1", "STANDIN PACE 0\n")});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Velto Ver. 2004"), std::string::npos) << run.out;
}

TEST_F(VeltoBatch, NoSolverAndUsageErrorsExitWithTwo) {
    BatchCommand run = RunBatch(dir, {"--solver-folder", dir.File("empty"), Input("beam1", "")});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find("Velto executable not found in the current path.\nPlease click the "
                           "elipsis button ... to select the velto executable path."),
              std::string::npos)
        << run.out;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--jobs", "0", "x.in"}, {"--bogus"}, {dir.File("missing.in")}}) {
        run = RunBatch(dir, args);
        EXPECT_EQ(run.status, 2) << run.out;
        EXPECT_NE(run.out.find("Usage: velto-batch"), std::string::npos) << run.out;
    }
}

}  // namespace
}  // namespace velto
