#include "extract/reader/listingwatch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <filesystem>

#include "common/endtime.h"

namespace velto {

ListingWatch::ListingWatch(const std::string& listing)
    : name_(std::filesystem::path(listing).filename().string()) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        return;
    }
    const std::filesystem::path folder = std::filesystem::path(listing).parent_path();
    // The folder, not the file: a listing renamed over, or made anew, is the same name's.
    constexpr std::uint32_t kEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_CREATE |
                                      IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;
    if (::inotify_add_watch(fd_, folder.empty() ? "." : folder.c_str(), kEvents) < 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

ListingWatch::~ListingWatch() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void ListingWatch::Wait(std::chrono::milliseconds longest, const sigset_t* mask) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + longest;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::max(until - Clock::now(), Clock::duration::zero()));
        struct timespec timeout {
            static_cast<time_t>(left.count() / 1000000000),
                static_cast<long>(left.count() % 1000000000)
        };
        struct pollfd events {
            fd_, POLLIN, 0
        };
        const int ready = ::ppoll(fd_ >= 0 ? &events : nullptr, fd_ >= 0 ? 1 : 0, &timeout, mask);
        if (ready <= 0 || Concerned()) {
            return;
        }
    }
}

// Reads the events that came: whether one is of the listing (the folder's other files, a CSV
// the follow writes among them, do not wake the following).
bool ListingWatch::Concerned() {
    bool concerned = false;
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got <= 0) {
            return concerned;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            concerned = concerned || event->len == 0 || name_ == event->name ||
                        (event->mask & IN_Q_OVERFLOW) != 0;
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
}

std::optional<Single> EndTimeBeside(const std::string& listing) {
    std::filesystem::path input(listing);
    if (input.extension() != ".out") {
        return std::nullopt;
    }
    input.replace_extension(".in");
    try {
        const Single end = ReadEndTime(input.string());
        return end > 0 ? std::optional<Single>(end) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;  // no input file there: only the idle time or a stop ends it
    }
}

}  // namespace velto
