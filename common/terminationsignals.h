#pragma once

#include <pthread.h>
#include <signal.h>

namespace velto {

// The signals that end a program (a kill, a closed terminal, Ctrl+C, Ctrl+\) and that our
// handlers tidy up after: a save in progress, logs set aside for a cluster job.
inline constexpr int kTerminationSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

inline sigset_t TerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kTerminationSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

// Holds the termination signals back for steps a handler must find done or not begun, never
// half-done; one that came meanwhile is delivered when they are let go.
class TerminationSignalsHeld {
  public:
    TerminationSignalsHeld() {
        const sigset_t set = TerminationSignals();
        ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
    }
    ~TerminationSignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    TerminationSignalsHeld(const TerminationSignalsHeld&) = delete;
    TerminationSignalsHeld& operator=(const TerminationSignalsHeld&) = delete;

  private:
    sigset_t previous_;
};

}  // namespace velto
