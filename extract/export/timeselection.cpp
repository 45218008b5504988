#include "extract/export/timeselection.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <functional>

#include "common/text.h"

namespace velto {

std::string NoSuchTimeProblem(long long times, long long record) {
    return "the listing has " + std::to_string(times) + " times; there is no time " +
           std::to_string(record);
}

std::string TimeText(Single time) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7G", static_cast<double>(time));
    return text;
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

// Where `value` goes among values in ascending order, by binary search; -1 when one of them is
// equal.
int SortedPlace(const std::vector<double>& values, double value) {
    int lo = 0;
    int hi = static_cast<int>(values.size()) - 1;
    while (lo <= hi) {
        // The middle is rounded half to even, as the list always did it.
        int mid = static_cast<int>(std::nearbyint((lo + hi) / 2.0));
        const double here = values[static_cast<std::size_t>(mid)];
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

// A text as the chosen list compares it: without regard to case.
std::string Folded(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return folded;
}

}  // namespace

void TimeSelection::SetAvailable(std::vector<std::string> texts) {
    available_ = std::move(texts);
    Clear();
}

bool TimeSelection::AddAt(std::string_view text, int k) {
    std::string folded = Folded(text);
    if (chosenTexts_.contains(folded)) {
        return false;
    }
    // A time of equal value under another text ("60" and "6E+01") is the same time: choosing
    // it twice would export it twice, so it is refused with its position.
    const double value = Val(text);
    const int pos = SortedPlace(values_, value);
    if (pos < 0) {
        return false;
    }
    selected_.insert(selected_.begin() + pos, std::string(text));
    values_.insert(values_.begin() + pos, value);
    hidden_.insert(hidden_.begin() + pos, std::to_string(k + 1));
    chosenTexts_.insert(std::move(folded));
    return true;
}

bool TimeSelection::AddIndex(int index) {
    return index >= 0 && static_cast<std::size_t>(index) < available_.size() &&
           AddAt(available_[static_cast<std::size_t>(index)], index);
}

void TimeSelection::AddIndices(const std::vector<int>& indices) {
    selected_.reserve(selected_.size() + indices.size());
    values_.reserve(values_.size() + indices.size());
    hidden_.reserve(hidden_.size() + indices.size());
    chosenTexts_.reserve(chosenTexts_.size() + indices.size());
    for (const int index : indices) {
        AddIndex(index);
    }
}

void TimeSelection::AddAll() {
    selected_ = available_;
    hidden_.clear();
    chosenTexts_.clear();
    values_.clear();
    for (const std::string& text : selected_) {
        chosenTexts_.insert(Folded(text));
        values_.push_back(Val(text));
    }
    for (std::size_t i = 1; i <= available_.size(); ++i) {
        hidden_.push_back(std::to_string(i));
    }
}

void TimeSelection::Remove(std::vector<int> indices) {
    // Highest first, so the other indices stay valid.
    std::sort(indices.begin(), indices.end(), std::greater<>());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    for (int i : indices) {
        if (i >= 0 && static_cast<std::size_t>(i) < selected_.size()) {
            chosenTexts_.erase(chosenTexts_.find(Folded(selected_[static_cast<std::size_t>(i)])));
            selected_.erase(selected_.begin() + i);
            values_.erase(values_.begin() + i);
            hidden_.erase(hidden_.begin() + i);
        }
    }
}

void TimeSelection::Clear() {
    selected_.clear();
    values_.clear();
    hidden_.clear();
    chosenTexts_.clear();
}

std::vector<Integer> TimeSelection::SelectedTimes() const {
    std::vector<Integer> times;
    for (const std::string& position : hidden_) {
        times.push_back(ToInteger(position));
    }
    return times;
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
        if (last - first > 1000000) {
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
