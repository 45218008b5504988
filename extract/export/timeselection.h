#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"
#include "extract/reader/catalogue.h"

namespace velto {

// The text a time has wherever it is shown: the shortest decimal that reads back to it, with a
// point whatever the locale ("60", "0.1", "1800.1", "1e+07"), the very number the spreadsheets
// store for it.
std::string TimeText(Single time);

// Index of the first item equal to text without regard to case, or -1.
int FindListString(const std::vector<std::string>& list, std::string_view text);

// Why a time record cannot be chosen: "the listing has 4 times; there is no time 7".
std::string NoSuchTimeProblem(long long times, long long record);

// A time a user can choose: its value, and the 1-based record of the listing that stands for it.
struct ResultTime {
    Single time = 0;
    Integer record = 0;
    bool operator==(const ResultTime&) const = default;
};

// The listing's times as they are chosen: each value once, in ascending order, standing for the
// last record that gives it. An analysis restarted from an earlier time writes that time again,
// and what it wrote last is the result that stands; the times of a listing in order are the rows
// every export writes, whatever order the listing gives them in. Times are told apart by value
// only (0 and -0 are one time, given as the record written last gives it).
std::vector<ResultTime> ResultTimes(const std::vector<TimeStep>& records);

// The times the listing gives more than once, in the order it first gives them.
std::vector<Single> RepeatedTimes(const std::vector<TimeStep>& records);

// What is said once of a listing that repeats times ("The listing gives the time 60 s more than
// once: the last result written for it is used, as a restarted analysis writes it last."); empty
// for a listing that repeats none.
std::string RepeatedTimesNote(const std::vector<TimeStep>& records);

// Parses a --times text: "all", or 1-based record numbers and ranges "a-b" separated by commas.
// Returns false when the text is neither, or when one range names more than a million records.
// `count` is the number of times of the listing; the numbers up to it are returned 0-based, each
// once, in the order of their first mention ("all" gives 0..count-1). The first number beyond
// `count` (1-based), if any, goes to `firstBeyond`.
bool ParseTimes(const std::string& text, int count, std::vector<int>& indices,
                int* firstBeyond = nullptr);

// The chosen times: the available list (every time of the listing once, in ascending order, as
// ResultTimes gives them), the selected list (the chosen times in ascending order of value) and,
// parallel to it, the hidden list of each chosen time's 1-based position in the available list.
// Times are compared by value, never by their text. The window's lists show this model; the command
// line drives it the same way.
class TimeSelection {
  public:
    // A new available list; nothing is chosen.
    void SetAvailable(std::vector<ResultTime> times);

    const std::vector<ResultTime>& availableTimes() const { return times_; }
    const std::vector<std::string>& available() const { return available_; }
    const std::vector<std::string>& selected() const { return selected_; }
    const std::vector<std::string>& hidden() const { return hidden_; }

    // Chooses the available time at this 0-based index. False, changing nothing, for an index
    // outside the list or a time already chosen.
    bool AddIndex(int index);
    // Chooses the available times at these 0-based indices, in this order; indices outside the
    // list are passed over.
    void AddIndices(const std::vector<int>& indices);
    // After "Select All": the chosen list becomes a copy of the whole available list, in its
    // order, with the positions 1..n.
    void AddAll();
    // Removes the chosen items at these 0-based indices, with their positions.
    void Remove(std::vector<int> indices);
    void Clear();

    // The records that stand for the chosen times, in the order of the chosen list: the times of
    // the export request (ExportRequest::Times).
    std::vector<Integer> SelectedTimes() const;

  private:
    std::vector<ResultTime> times_;
    std::vector<std::string> available_;
    std::vector<std::string> selected_;
    std::vector<std::string> hidden_;
    std::vector<int> positions_;  // the 0-based available index of each chosen time
    std::vector<Single> values_;  // the value of each chosen time, to place a new one by
    // Whether each available time is chosen: telling it at once keeps choosing all thirty
    // thousand times of a listing a matter of milliseconds.
    std::vector<bool> chosen_;
};

}  // namespace velto
