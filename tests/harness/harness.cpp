#include "tests/harness/harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <fstream>

#include "shell/runner/localbackend.h"

namespace velto::test {

SolverInfo StandIn(const char* folder) {
    SolverInfo solver;
    solver.SolverFolder = folder;
    EXPECT_TRUE(FindSolver(solver, folder)) << folder;
    GetSolverVersion(solver, solver.Command());
    return solver;
}

std::string StandInInput(const ScratchDir& dir, const std::string& name,
                         const std::vector<std::string>& directives) {
    std::string text = "TIME\n 1 100\nEND_TIME\n";
    for (const std::string& d : directives) {
        text += "STANDIN " + d + "\n";
    }
    const std::string path = dir.File(name + ".in");
    WriteBytes(path, text);
    return path;
}

bool WaitUntil(const std::function<bool()>& done, int seconds) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < seconds * 1000LL) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

void RunToEnd(BatchModel& batch, const SolverInfo& solver, int jobs) {
    ASSERT_TRUE(batch.Run(std::make_unique<LocalBackend>(jobs), solver));
    ASSERT_TRUE(WaitUntil([&] { return !batch.running(); }, 60))
        << "the batch did not finish within a minute";
}

std::vector<QString> Statuses(const BatchModel& batch) {
    std::vector<QString> statuses;
    for (const auto& row : batch.rows()) {
        statuses.push_back(row.status);
    }
    return statuses;
}

namespace {

// Starts velto-batch with standard input from `input` and its output on `outFd`.
pid_t Spawn(const ScratchDir& dir, const BatchCall& call, const std::string& input, int outFd,
            int closeFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDWR | O_NOCTTY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outFd, 2);
    if (closeFd >= 0) {
        posix_spawn_file_actions_addclose(&actions, closeFd);
    }
    // The arguments and environment as exec takes them: pointers into the strings, ended by null.
    auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> all;
        for (std::string& s : strings) {
            all.push_back(s.data());
        }
        all.push_back(nullptr);
        return all;
    };
    std::vector<std::string> args = call.args;
    args.insert(args.begin(), call.program.empty() ? std::string(VELTO_BATCH_BIN) : call.program);
    // Settings and job records go to the scratch folder, never to the user's own.
    std::vector<std::string> env = {"XDG_CONFIG_HOME=" + dir.File("config"), "PATH=" + call.path,
                                    "QT_QPA_PLATFORM=offscreen"};
    if (const char* conf = ::getenv("SLURM_CONF")) {
        env.push_back(std::string("SLURM_CONF=") + conf);
    }
    for (const std::string& entry : call.env) {
        // One of the three above given again replaces it.
        const std::string key = entry.substr(0, entry.find('=') + 1);
        std::erase_if(env, [&key](const std::string& e) { return e.rfind(key, 0) == 0; });
        env.push_back(entry);
    }
    // The signals that end a program as they are at a terminal, whatever ran the tests.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t ending;
    sigemptyset(&ending);
    for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        sigaddset(&ending, signal);
    }
    posix_spawnattr_setsigdefault(&attributes, &ending);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, args[0].c_str(), &actions, &attributes, pointers(args).data(),
                            pointers(env).data()),
              0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

}  // namespace

pid_t StartVeltoBatch(const ScratchDir& dir, const BatchCall& call, const std::string& log) {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(out, 0) << log;
    const pid_t pid = Spawn(dir, call, "/dev/null", out, -1);
    ::close(out);
    return pid;
}

namespace {

// The peak resident memory of a running process so far (VmHWM), in KiB; 0 once it is gone. The
// child's rusage would not do: a child spawned from the test program takes that program's own
// peak along through its exec, and a test program that ran other tests first is large.
long PeakKiBOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

}  // namespace

BatchCommand RunVeltoBatch(const ScratchDir& dir, const BatchCall& call) {
    int pipeFds[2];
    // Close-on-exec: only velto-batch holds the output open, not what it starts.
    EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    int master = -1;
    std::string input = "/dev/null";
    if (call.terminalInput) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(::grantpt(master), 0);
        EXPECT_EQ(::unlockpt(master), 0);
        input = ::ptsname(master);
    }
    const pid_t pid = Spawn(dir, call, input, pipeFds[1], pipeFds[0]);
    ::close(pipeFds[1]);

    BatchCommand run;
    bool interrupted = call.interruptAfter.empty();
    bool answered = call.answerAfter.empty();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(call.seconds);
    for (;;) {
        run.peakKiB = std::max(run.peakKiB, PeakKiBOf(pid));
        pollfd p[2] = {{pipeFds[0], POLLIN, 0}, {master, POLLIN, 0}};
        if (::poll(p, master >= 0 ? 2 : 1, 500) > 0) {
            char buffer[65536];
            if (p[0].revents != 0) {
                ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
                if (got <= 0) {
                    break;
                }
                run.outBytes += got;
                if (call.keepOutput) {
                    run.out.append(buffer, static_cast<std::size_t>(got));
                }
            }
            if (master >= 0 && (p[1].revents & POLLIN) != 0) {
                [[maybe_unused]] ssize_t echo = ::read(master, buffer, sizeof buffer);
            }
        }
        if (!interrupted && run.out.find(call.interruptAfter) != std::string::npos) {
            ::kill(pid, call.interrupt);
            interrupted = true;
        }
        if (interrupted && !answered && run.out.find(call.answerAfter) != std::string::npos) {
            EXPECT_EQ(::write(master, call.answer.data(), call.answer.size()),
                      static_cast<ssize_t>(call.answer.size()));
            answered = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ADD_FAILURE() << "velto-batch did not end in time:\n" << run.out;
            break;
        }
    }
    ::close(pipeFds[0]);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    if (master >= 0) {
        ::close(master);
    }
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

::testing::AssertionResult Says(std::string_view out, const std::vector<std::string>& texts,
                                bool inOrder) {
    std::size_t from = 0;
    for (const std::string& text : texts) {
        const std::size_t at = out.find(text, from);
        if (at == std::string_view::npos) {
            return ::testing::AssertionFailure()
                   << "no \"" << text << "\"" << (inOrder && from ? " after the last" : "")
                   << " in:\n"
                   << out;
        }
        from = inOrder ? at + text.size() : 0;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Says(const QByteArray& out, const std::vector<std::string>& texts) {
    return Says(std::string_view(out.constData(), static_cast<std::size_t>(out.size())), texts);
}

::testing::AssertionResult Ended(const BatchCommand& run, int status,
                                 const std::vector<std::string>& texts) {
    if (run.status != status) {
        return ::testing::AssertionFailure()
               << "ended with " << run.status << ", not " << status << ":\n"
               << run.out;
    }
    return Says(run.out, texts);
}

::testing::AssertionResult SaysNone(std::string_view out, const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
        if (out.find(text) != std::string_view::npos) {
            return ::testing::AssertionFailure() << "\"" << text << "\" in:\n" << out;
        }
    }
    return ::testing::AssertionSuccess();
}

CommandRun Extract(const ScratchDir& dir, const std::string& args, const std::string& environment) {
    const std::string out = dir.File("stdout.txt");
    const std::string err = dir.File("stderr.txt");
    const std::string command = environment + " '" + VELTO_EXTRACT_BIN + "' " + args + " > '" +
                                out + "' 2> '" + err + "' < /dev/null";
    const int raw = std::system(command.c_str());
    CommandRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = ReadBytes(out);
    run.err = ReadBytes(err);
    return run;
}

}  // namespace velto::test
