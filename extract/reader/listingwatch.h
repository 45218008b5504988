#pragma once

// Waiting for a followed listing to change, without spinning: what the command line's follow and
// the Python module's follow wait on between two reads.

#include <signal.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>

#include "common/types.h"

namespace velto {

// Wakes a follower when the listing's folder tells of a change to the listing (inotify), or once
// the time given has passed whatever it tells: a listing on a network share gives no notice, so
// the caller looks now and then anyway. The folder's other files do not wake it. Without inotify
// (none left to this user) only the time given ends a wait.
class ListingWatch {
  public:
    explicit ListingWatch(const std::string& listing);
    ~ListingWatch();
    ListingWatch(const ListingWatch&) = delete;
    ListingWatch& operator=(const ListingWatch&) = delete;

    // Waits until the listing may have changed or `longest` has passed; a signal handled
    // meanwhile ends the wait too. `mask` is the signal mask while waiting (ppoll's: the
    // signals held elsewhere let in for the wait), none for the thread's own.
    void Wait(std::chrono::milliseconds longest, const sigset_t* mask = nullptr);

  private:
    bool Concerned();

    std::string name_;
    int fd_ = -1;
};

// The end time of the analysis that writes NAME.out, as its input file NAME.in beside it gives
// it (ReadEndTime); none when there is no such file or it names no end time above 0.
std::optional<Single> EndTimeBeside(const std::string& listing);

}  // namespace velto
