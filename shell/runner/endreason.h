#pragma once

#include <string>
#include <string_view>

namespace velto {

// How a solver ended: its exit code, or the signal that ended it.
struct SolverEnd {
    int exitCode = 0;
    int signal = 0;  // 0: it exited with exitCode

    // From a wait status as waitpid gives it.
    static SolverEnd FromWaitStatus(int raw);
    // From a shell's status ($?), as a cluster task's script records it: above 128, the signal
    // 128 below it, by the rule every POSIX shell follows (a shell cannot tell a solver that
    // exits with 139 from one that signal 11 ended).
    static SolverEnd FromShellStatus(int status);
};

// Why a solver run did not complete, in the words every view shows (the console text, the
// command line, the window's row, the batch record), local runs and cluster tasks alike:
// "Velto ended with exit code 3", "Velto was ended by signal 11 (Segmentation fault)". Empty for
// exit code 0. Another program than the solver (the export after a run) is named as `program`.
std::string EndReason(const SolverEnd& end, std::string_view program = "Velto");

// "Velto could not be started: Permission denied".
std::string StartFailureReason(const std::string& why);

// What a cluster ended a task for, besides the solver's own end.
enum class ClusterCause {
    kNone,
    kTimeLimit,
    kOutOfMemory,
    kNodeFailure,
    kPreempted,
    kCancelled,
    kBootFailure,
    kDeadline,
};

// "Velto was ended by the cluster: the time limit was reached"; for a task whose solver had not
// started, "Velto did not start: the job was cancelled" (a time limit, the memory and preemption
// meet only a solver that runs, a boot failure only one that does not). Empty for kNone.
std::string ClusterReason(ClusterCause cause, bool started);

// A cluster task that left neither an exit code nor a cause of the cluster's.
std::string UnknownEndReason();

}  // namespace velto
