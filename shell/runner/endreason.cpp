#include "shell/runner/endreason.h"

#include <string.h>
#include <sys/wait.h>

namespace velto {

namespace {

// The highest signal number there is (real-time ones included).
constexpr int kLastSignal = 64;

}  // namespace

SolverEnd SolverEnd::FromWaitStatus(int raw) {
    if (WIFSIGNALED(raw)) {
        return {.exitCode = 128 + WTERMSIG(raw), .signal = WTERMSIG(raw)};
    }
    return {.exitCode = WIFEXITED(raw) ? WEXITSTATUS(raw) : raw, .signal = 0};
}

SolverEnd SolverEnd::FromShellStatus(int status) {
    if (status > 128 && status <= 128 + kLastSignal) {
        return {.exitCode = status, .signal = status - 128};
    }
    return {.exitCode = status, .signal = 0};
}

std::string EndReason(const SolverEnd& end, std::string_view program) {
    if (end.signal > 0) {
        const char* name = ::sigdescr_np(end.signal);  // untranslated: the console is single-byte
        return std::string(program) + " was ended by signal " + std::to_string(end.signal) +
               (name ? std::string(" (") + name + ")" : std::string());
    }
    if (end.exitCode == 0) {
        return {};
    }
    return std::string(program) + " ended with exit code " + std::to_string(end.exitCode);
}

std::string StartFailureReason(const std::string& why) {
    return "Velto could not be started: " + why;
}

std::string ClusterReason(ClusterCause cause, bool started) {
    const char* what = nullptr;
    switch (cause) {
        case ClusterCause::kNone:
            return {};
        case ClusterCause::kTimeLimit:
            what = "the time limit was reached";
            break;
        case ClusterCause::kOutOfMemory:
            what = "it ran out of memory (the memory limit was exceeded)";
            break;
        case ClusterCause::kNodeFailure:
            what = "its node failed";
            break;
        case ClusterCause::kPreempted:
            what = "it was preempted by another job";
            break;
        case ClusterCause::kCancelled:
            what = "the job was cancelled";
            break;
        case ClusterCause::kBootFailure:
            what = "its node could not be booted";
            break;
        case ClusterCause::kDeadline:
            what = "the job's deadline was reached";
            break;
    }
    // Some causes tell by themselves whether the solver ran: only a running task meets its
    // time or memory limit or is preempted, and a node that never booted ran nothing.
    if (cause == ClusterCause::kTimeLimit || cause == ClusterCause::kOutOfMemory ||
        cause == ClusterCause::kPreempted) {
        started = true;
    } else if (cause == ClusterCause::kBootFailure) {
        started = false;
    }
    return std::string(started ? "Velto was ended by the cluster: " : "Velto did not start: ") +
           what;
}

std::string UnknownEndReason() {
    return "Velto's task ended without an exit code, and the cluster gave no cause";
}

}  // namespace velto
