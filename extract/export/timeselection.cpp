#include "extract/export/timeselection.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <utility>

#include "common/text.h"
#include "extract/export/singletext.h"

namespace velto {

std::string NoSuchTimeProblem(long long times, long long record) {
    return "the listing has " + std::to_string(times) + " times; there is no time " +
           std::to_string(record);
}

std::string TimeText(Single time) {
    char text[32];
    return std::string(text, ShortestSingleText(text, time));
}

int FindListString(const std::vector<std::string>& list, std::string_view text) {
    auto same = [&](const std::string& item) {
        return std::equal(item.begin(), item.end(), text.begin(), text.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
        });
    };
    auto it = std::find_if(list.begin(), list.end(), same);
    return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

namespace {

// A time's identity: its value, 0 and -0 alike.
std::uint32_t TimeKey(Single time) {
    return std::bit_cast<std::uint32_t>(time == 0 ? 0.0f : time);
}

// Where `value` goes among values in ascending order, by binary search; -1 when one of them is
// equal.
int SortedPlace(const std::vector<Single>& values, Single value) {
    int lo = 0;
    int hi = static_cast<int>(values.size()) - 1;
    while (lo <= hi) {
        // The middle is rounded half to even, as the list always did it.
        int mid = static_cast<int>(std::nearbyint((lo + hi) / 2.0));
        const Single here = values[static_cast<std::size_t>(mid)];
        if (here < value) {
            lo = mid + 1;
        } else if (here == value) {
            return -1;
        } else {
            hi = mid - 1;
        }
    }
    return lo;
}

}  // namespace

std::vector<ResultTime> ResultTimes(const std::vector<TimeStep>& records) {
    std::vector<ResultTime> times;
    std::unordered_map<std::uint32_t, std::size_t> place;  // a value's entry in `times`
    place.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        // The scan keeps the record numbers within an Integer.
        const ResultTime time{records[i].Time, static_cast<Integer>(i + 1)};
        const auto [at, fresh] = place.try_emplace(TimeKey(time.time), times.size());
        if (fresh) {
            times.push_back(time);
        } else {
            times[at->second] = time;
        }
    }
    // A listing gives its times in ascending order unless an analysis went back to an earlier
    // time it had not printed; no two are equal now.
    std::stable_sort(times.begin(), times.end(),
                     [](const ResultTime& a, const ResultTime& b) { return a.time < b.time; });
    return times;
}

std::vector<Single> RepeatedTimes(const std::vector<TimeStep>& records) {
    std::vector<Single> repeated;
    std::unordered_map<std::uint32_t, int> seen;
    seen.reserve(records.size());
    for (const TimeStep& record : records) {
        if (++seen[TimeKey(record.Time)] == 2) {
            repeated.push_back(record.Time);
        }
    }
    return repeated;
}

namespace {

// "60", "0.5, 1 and 1.5", "1, 2, 3, 4, 5": at most five times named.
std::string NamedTimes(const std::vector<Single>& times) {
    constexpr std::size_t kNamed = 5;
    std::string named;
    const std::size_t shown = std::min(times.size(), kNamed);
    for (std::size_t i = 0; i < shown; ++i) {
        const bool last = i + 1 == shown && times.size() <= kNamed;
        named += i == 0 ? "" : last ? " and " : ", ";
        named += TimeText(times[i]);
    }
    return named;
}

std::string ShortestText(double value) {
    char text[32];
    const char* end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, static_cast<std::size_t>(end - text));
}

}  // namespace

std::string RepeatedTimesNote(const std::vector<TimeStep>& records) {
    // A time given again as it was printed before is a restart; times printed differently that
    // a single does not tell apart are crowded, which no restart explains.
    struct Seen {
        std::vector<double> printed;
        bool restarted = false;
        bool crowded = false;
    };
    std::unordered_map<std::uint32_t, Seen> seen;
    seen.reserve(records.size());
    std::vector<Single> restarted;
    std::vector<Single> crowded;
    std::pair<double, double> firstCrowded;
    for (const TimeStep& record : records) {
        Seen& time = seen[TimeKey(record.Time)];
        if (std::find(time.printed.begin(), time.printed.end(), record.Written) !=
            time.printed.end()) {
            if (!std::exchange(time.restarted, true)) {
                restarted.push_back(record.Time);
            }
            continue;
        }
        if (!time.printed.empty() && !std::exchange(time.crowded, true)) {
            if (crowded.empty()) {
                firstCrowded = {time.printed.front(), record.Written};
            }
            crowded.push_back(record.Time);
        }
        time.printed.push_back(record.Written);
    }
    std::string note;
    if (!restarted.empty()) {
        const bool one = restarted.size() == 1;
        note = one ? "The listing gives the time " + NamedTimes(restarted) + " s more than once"
               : restarted.size() <= 5
                   ? "The listing gives the times " + NamedTimes(restarted) + " s more than once"
                   : "The listing gives " + std::to_string(restarted.size()) +
                         " times more than once (" + NamedTimes(restarted) + " s, ...)";
        note += ": the result written last for " + std::string(one ? "it" : "each") +
                " is used, as an analysis restarted from an earlier time writes " +
                (one ? "it" : "them") + " again.";
    }
    if (!crowded.empty()) {
        const std::size_t more = crowded.size() - 1;
        note += std::string(note.empty() ? "" : " ") +
                "The listing gives times closer together than the results' precision (single) "
                "tells apart: " +
                ShortestText(firstCrowded.first) + " and " + ShortestText(firstCrowded.second) +
                " s are both " + TimeText(crowded.front()) + " s" +
                (more == 0 ? ""
                           : ", and " + std::to_string(more) + " more such time" +
                                 (more > 1 ? "s" : "")) +
                "; the result written last for each is used.";
    }
    return note;
}

void TimeSelection::SetAvailable(std::vector<ResultTime> times) {
    times_ = std::move(times);
    available_.clear();
    available_.reserve(times_.size());
    for (const ResultTime& time : times_) {
        available_.push_back(TimeText(time.time));
    }
    Clear();
}

bool TimeSelection::AddIndex(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= times_.size() ||
        chosen_[static_cast<std::size_t>(index)]) {
        return false;
    }
    const auto k = static_cast<std::size_t>(index);
    const int pos = SortedPlace(values_, times_[k].time);
    if (pos < 0) {
        return false;  // not reached: the available times are told apart by value
    }
    selected_.insert(selected_.begin() + pos, available_[k]);
    values_.insert(values_.begin() + pos, times_[k].time);
    hidden_.insert(hidden_.begin() + pos, std::to_string(index + 1));
    positions_.insert(positions_.begin() + pos, index);
    chosen_[k] = true;
    return true;
}

void TimeSelection::AddIndices(const std::vector<int>& indices) {
    selected_.reserve(selected_.size() + indices.size());
    values_.reserve(values_.size() + indices.size());
    hidden_.reserve(hidden_.size() + indices.size());
    positions_.reserve(positions_.size() + indices.size());
    for (const int index : indices) {
        AddIndex(index);
    }
}

void TimeSelection::AddAll() {
    selected_ = available_;
    hidden_.clear();
    values_.clear();
    positions_.clear();
    for (std::size_t i = 0; i < times_.size(); ++i) {
        values_.push_back(times_[i].time);
        hidden_.push_back(std::to_string(i + 1));
        positions_.push_back(static_cast<int>(i));
    }
    chosen_.assign(times_.size(), true);
}

void TimeSelection::Remove(std::vector<int> indices) {
    // Highest first, so the other indices stay valid.
    std::sort(indices.begin(), indices.end(), std::greater<>());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    for (int i : indices) {
        if (i >= 0 && static_cast<std::size_t>(i) < selected_.size()) {
            chosen_[static_cast<std::size_t>(positions_[static_cast<std::size_t>(i)])] = false;
            selected_.erase(selected_.begin() + i);
            values_.erase(values_.begin() + i);
            hidden_.erase(hidden_.begin() + i);
            positions_.erase(positions_.begin() + i);
        }
    }
}

void TimeSelection::Clear() {
    selected_.clear();
    values_.clear();
    hidden_.clear();
    positions_.clear();
    chosen_.assign(times_.size(), false);
}

std::vector<Integer> TimeSelection::SelectedTimes() const {
    std::vector<Integer> records;
    records.reserve(positions_.size());
    for (const int position : positions_) {
        records.push_back(times_[static_cast<std::size_t>(position)].record);
    }
    return records;
}

bool ParseTimes(const std::string& text, int count, std::vector<int>& indices, int* firstBeyond) {
    indices.clear();
    if (firstBeyond != nullptr) {
        *firstBeyond = 0;
    }
    if (text == "all") {
        for (int i = 0; i < count; ++i) {
            indices.push_back(i);
        }
        return true;
    }
    // Each time is taken once, at its first mention, so the list never outgrows the listing's
    // times however the text repeats them.
    std::vector<bool> taken(static_cast<std::size_t>(std::max(count, 0)), false);
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t comma = text.find(',', pos);
        std::string part =
            text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        std::size_t dash = part.find('-', 1);
        auto whole = [](const std::string& s, long& value) {
            if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos ||
                s.size() > 9) {
                return false;
            }
            value = std::stol(s);
            return value >= 1;
        };
        long first = 0;
        long last = 0;
        if (dash == std::string::npos) {
            if (!whole(part, first)) {
                return false;
            }
            last = first;
        } else if (!whole(part.substr(0, dash), first) || !whole(part.substr(dash + 1), last) ||
                   last < first) {
            return false;
        }
        // A range names at most a million records.
        if (last - first + 1 > 1000000) {
            return false;
        }
        if (last > count && firstBeyond != nullptr && *firstBeyond == 0) {
            *firstBeyond = static_cast<int>(std::max<long>(first, count + 1L));
        }
        for (long i = first; i <= std::min<long>(last, count); ++i) {
            if (!taken[static_cast<std::size_t>(i - 1)]) {
                taken[static_cast<std::size_t>(i - 1)] = true;
                indices.push_back(static_cast<int>(i - 1));
            }
        }
        if (comma == std::string::npos) {
            break;
        }
        pos = comma + 1;
    }
    return true;
}

}  // namespace velto
