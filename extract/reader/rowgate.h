#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <limits>
#include <mutex>
#include <vector>

#include "common/types.h"

namespace velto {

// Hands the rows of a value table (one per chosen time) from the threads that read them to the
// thread that writes them out in order, while the reading goes on: a large export then costs
// little more than its reading. Either side may give up (a failed or stopped reading, a writer
// that cannot write): the gate closes, and neither waits on the other any longer.
class RowGate {
  public:
    // Time t's row (t from 1) holds its values.
    void Open(Integer t) {
        {
            const std::lock_guard lock(mutex_);
            if (t >= 1) {
                const auto row = static_cast<std::size_t>(t);
                if (row >= read_.size()) {
                    read_.resize(row + 1);
                }
                read_[row] = true;
            }
        }
        changed_.notify_all();
    }

    // No more rows are coming, or they are no longer wanted.
    void Close() {
        {
            const std::lock_guard lock(mutex_);
            closed_ = true;
        }
        changed_.notify_all();
        finishedChanged_.notify_all();
    }
    bool Closed() const {
        const std::lock_guard lock(mutex_);
        return closed_;
    }

    // Waits until time t's row is read; false when the gate closed first.
    bool WaitFor(Integer t) {
        std::unique_lock lock(mutex_);
        const auto row = static_cast<std::size_t>(t);
        changed_.wait(lock, [&] { return closed_ || (row < read_.size() && read_[row]); });
        return row < read_.size() && read_[row];
    }

    // Set by a writer that writes the rows out in time order and needs none of them again: the
    // readers may then hold a window of times only (StreamWindow), reading time t into the room
    // of a time the writer is done with.
    void WriteInTimeOrder() { inTimeOrder_ = true; }
    bool InTimeOrder() const { return inTimeOrder_; }
    // The writer is done with the rows of times 1..t.
    void TimeWritten(Integer t) {
        {
            const std::lock_guard lock(mutex_);
            timesWritten_ = t;
        }
        changed_.notify_all();
    }
    // Waits until the writer is done with time t's row, before time `reading` is read into it;
    // false when the gate closed first, or a time no later than `reading` failed.
    bool WaitWritten(Integer t, Integer reading) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return closed_ || timesWritten_ >= t || reading >= failedAt_; });
        return timesWritten_ >= t && reading < failedAt_;
    }
    // Time t could not be read: no later time need be, and the writer never gets past it.
    void Failed(Integer t) {
        {
            const std::lock_guard lock(mutex_);
            failedAt_ = std::min(failedAt_, t);
        }
        changed_.notify_all();
    }

    // The writer's side: how many rows it has written, and that it is done.
    void Written(long rows) { written_.store(rows, std::memory_order_relaxed); }
    long WrittenRows() const { return written_.load(std::memory_order_relaxed); }
    void Finish() {
        {
            const std::lock_guard lock(mutex_);
            finished_ = true;
        }
        finishedChanged_.notify_all();
    }
    // Waits at most `patience` for the writer to finish; true once it has.
    bool WaitFinished(std::chrono::milliseconds patience) {
        std::unique_lock lock(mutex_);
        return finishedChanged_.wait_for(lock, patience, [&] { return finished_; });
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // Apart: the one waiting for the writer to finish is not woken by every row it writes.
    std::condition_variable finishedChanged_;
    std::vector<bool> read_;
    bool closed_ = false;
    bool finished_ = false;
    bool inTimeOrder_ = false;  // set before the reading starts
    Integer timesWritten_ = 0;
    Integer failedAt_ = std::numeric_limits<Integer>::max();
    std::atomic<long> written_{0};
};

}  // namespace velto
