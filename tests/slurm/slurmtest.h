#pragma once

// Helpers of the Slurm tests: the stand-in solvers, input files, waiting in the event loop, and
// velto-batch run as a user runs it.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "shell/runner/solverfinder.h"
#include "tests/support/testsupport.h"

namespace velto::test {

inline SolverInfo StandIn(const char* folder) {
    SolverInfo solver;
    solver.SolverFolder = folder;
    FindSolver(solver, folder);
    GetSolverVersion(solver, solver.Command());
    return solver;
}

// An input file with an end time of 100 and the stand-in's directives, one per line.
inline std::string StandInInput(const ScratchDir& dir, const std::string& name,
                                const std::vector<std::string>& directives) {
    std::string text = "TIME\n 1 100\nEND_TIME\n";
    for (const std::string& d : directives) {
        text += "STANDIN " + d + "\n";
    }
    const std::string path = dir.File(name + ".in");
    WriteBytes(path, text);
    return path;
}

// Runs the event loop until `done` holds or `seconds` have passed; returns `done()`.
inline bool WaitUntil(const std::function<bool()>& done, int seconds) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < seconds * 1000LL) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

// velto-batch as a user runs it, with its output read as it comes.
struct BatchCommand {
    std::string out;
    int status = -1;
};

struct BatchCall {
    std::vector<std::string> args;
    std::vector<std::string> env;  // besides (or instead of) XDG_CONFIG_HOME, PATH, SLURM_CONF
    std::string path = "/usr/bin:/bin";
    bool terminalInput = false;  // standard input a terminal (a pseudo-terminal of ours)
    std::string interruptAfter;  // send SIGINT once the output holds this
    std::string answerAfter;     // then type `answer` on the terminal once the output holds this
    std::string answer;
    int seconds = 180;
};

BatchCommand RunVeltoBatch(const ScratchDir& dir, const BatchCall& call);

}  // namespace velto::test
