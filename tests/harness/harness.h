#pragma once

// What the suites of the batch and extract programs share: the stand-in solvers and their input
// files, waiting in the event loop, a batch model run to its end, and velto-batch and
// velto-extract run as a user runs them.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "shell/model/batchmodel.h"
#include "shell/runner/solverfinder.h"
#include "tests/support/testsupport.h"

namespace velto::test {

// The stand-in solver in `folder` (VELTO_STANDIN_DIR or VELTO_STANDIN_2004_DIR), found and
// with its version read, as the programs find it.
SolverInfo StandIn(const char* folder);

// An input file with an end time of 100 and the stand-in's directives, one per line.
std::string StandInInput(const ScratchDir& dir, const std::string& name,
                         const std::vector<std::string>& directives);

// Runs the event loop until `done` holds or `seconds` have passed; returns `done()`.
bool WaitUntil(const std::function<bool()>& done, int seconds);

// Runs the batch with the local backend until it has finished (at most a minute).
void RunToEnd(BatchModel& batch, const SolverInfo& solver, int jobs = 1);
std::vector<QString> Statuses(const BatchModel& batch);

// velto-batch as a user runs it, with its output read as it comes.
struct BatchCommand {
    std::string out;
    long long outBytes = 0;  // all it wrote, kept or not
    int status = -1;         // -1: ended by a signal
    long peakKiB = 0;        // its peak memory
};

struct BatchCall {
    std::string program{};  // velto-batch as built, unless another copy is given
    std::vector<std::string> args{};
    std::vector<std::string> env{};  // besides (or instead of) XDG_CONFIG_HOME, PATH, SLURM_CONF
    std::string path = "/usr/bin:/bin";
    bool terminalInput = false;    // standard input a terminal (a pseudo-terminal of ours)
    bool keepOutput = true;        // false: read and dropped (a flood)
    std::string interruptAfter{};  // send `interrupt` once the output holds this
    int interrupt = 2;             // SIGINT
    std::string answerAfter{};     // then type `answer` on the terminal once the output holds this
    std::string answer{};
    int seconds = 180;
};

BatchCommand RunVeltoBatch(const ScratchDir& dir, const BatchCall& call);
// velto-batch started in the background, its output going to the file `log`.
pid_t StartVeltoBatch(const ScratchDir& dir, const BatchCall& call, const std::string& log);

// Whether a program's output (or a row's console text) holds each of `texts`, and with
// `inOrder` one after the other; a failure shows what is missing and the whole output.
::testing::AssertionResult Says(std::string_view out, const std::vector<std::string>& texts,
                                bool inOrder = false);
::testing::AssertionResult Says(const QByteArray& out, const std::vector<std::string>& texts);
// Whether velto-batch ended with `status` and said each of `texts`.
::testing::AssertionResult Ended(const BatchCommand& run, int status,
                                 const std::vector<std::string>& texts = {});
// Whether it holds none of `texts`.
::testing::AssertionResult SaysNone(std::string_view out, const std::vector<std::string>& texts);

// velto-extract run with the arguments (already quoted for the shell), standard input closed;
// `environment` is put before the program ("LD_DEBUG=libs").
struct CommandRun {
    int status = -1;
    std::string out;
    std::string err;
};
CommandRun Extract(const ScratchDir& dir, const std::string& args,
                   const std::string& environment = "");

}  // namespace velto::test
