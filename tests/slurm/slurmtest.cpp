#include "tests/slurm/slurmtest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace velto::test {

BatchCommand RunVeltoBatch(const ScratchDir& dir, const BatchCall& call) {
    int pipeFds[2];
    // Close-on-exec: only velto-batch holds the output open, not what it starts.
    EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    int master = -1;
    std::string slaveName = "/dev/null";
    if (call.terminalInput) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(::grantpt(master), 0);
        EXPECT_EQ(::unlockpt(master), 0);
        slaveName = ::ptsname(master);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, slaveName.c_str(), O_RDWR | O_NOCTTY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<std::string> args = call.args;
    args.insert(args.begin(), VELTO_BATCH_BIN);
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
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
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
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
    EXPECT_EQ(::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipeFds[1]);

    BatchCommand run;
    bool interrupted = call.interruptAfter.empty();
    bool answered = call.answerAfter.empty();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(call.seconds);
    for (;;) {
        pollfd p[2] = {{pipeFds[0], POLLIN, 0}, {master, POLLIN, 0}};
        if (::poll(p, master >= 0 ? 2 : 1, 500) > 0) {
            char buffer[4096];
            if (p[0].revents != 0) {
                ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
                if (got <= 0) {
                    break;
                }
                run.out.append(buffer, static_cast<std::size_t>(got));
            }
            if (master >= 0 && (p[1].revents & POLLIN) != 0) {
                [[maybe_unused]] ssize_t echo = ::read(master, buffer, sizeof buffer);
            }
        }
        if (!interrupted && run.out.find(call.interruptAfter) != std::string::npos) {
            ::kill(pid, SIGINT);
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

}  // namespace velto::test
