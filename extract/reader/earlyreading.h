#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "common/linereader.h"
#include "common/types.h"
#include "extract/reader/catalogue.h"
#include "extract/reader/scanoptions.h"

namespace velto {

// The values of an export's request, read while the scan is still finding the times. A time's
// table is read as soon as the scan has found the time after it (the next time bounds the
// search for the table), on a thread of its own, from the very file the scan reads. The first
// time that cannot be read ends the early reading: the extraction reads that time again itself
// and reports it as it always does, so reading early never changes what an export writes or says.
class EarlyReading {
  public:
    // Starts reading `request` from a structural listing whose model and tables `c` holds (its
    // times not yet); `scanning` is the scan's reader. A streamed request holds no more than
    // `streamBytes` of its values (StreamWindow). Null when the request is none of the listing's
    // variables, or holds no item or more items than the listing has bytes, and when it cannot be
    // started (no descriptor or thread to spare): the extraction then reads it after the scan.
    static std::unique_ptr<EarlyReading> Start(const Catalogue& c, const EarlyRequest& request,
                                               const LineReader& scanning,
                                               std::size_t streamBytes = kStreamBytes);
    ~EarlyReading();
    EarlyReading(const EarlyReading&) = delete;
    EarlyReading& operator=(const EarlyReading&) = delete;

    // The scan found this time, the next in the listing; or it found every time there is.
    void Found(const TimeStep& time);
    void ScanEnded();
    // Waits until the reading has ended: every time read, or the first that could not be.
    void Finish();
    // The same, for at most `patience`; true once it has ended.
    bool WaitFinished(std::chrono::milliseconds patience);

    // Ends the reading and, when the extraction of `variable`, `component` and `held` (the items
    // its value table holds) is the request, hands over what it read: the rows of the listing's
    // first times, time by time, each the held items in order. Returns how many times the rows
    // are: 0 for another request, or when nothing was read.
    Integer Take(std::string_view variable, int component, const std::vector<Long>& held,
                 SingleValues& rows);

    struct Plan;  // where the values stand, and which are held

  private:
    EarlyReading(std::unique_ptr<Plan> plan, const LineReader& scanning);
    void Run();
    void Read();
    void Stop();

    std::unique_ptr<Plan> plan_;
    LineReader reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    static constexpr std::size_t kTimesPerWaking = 16;
    static constexpr std::size_t kTimesToMeasure = 17;
    static constexpr std::size_t kFollowingKept = 8;  // times after the one read, for its bound
    std::vector<TimeStep> times_;                     // found so far
    std::size_t wakeAt_ = 0;  // the count of times that wakes the reading, 0 when it reads
    bool ended_ = false;
    bool stop_ = false;
    bool done_ = false;
    SingleValues rows_;  // the reading thread's own until it has ended
    Integer read_ = 0;
    std::thread thread_;
};

}  // namespace velto
