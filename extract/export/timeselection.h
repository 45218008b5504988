#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/types.h"

namespace velto {

// The text a time has in the time lists: up to seven significant digits, as a Single is shown
// ("60", "0.1", "1234567", "1E+07").
std::string TimeText(Single time);

// Index of the first item equal to text without regard to case, or -1.
int FindListString(const std::vector<std::string>& list, std::string_view text);

// Why a time record cannot be chosen: "the listing has 4 times; there is no time 7".
std::string NoSuchTimeProblem(long long times, long long record);

// Parses a --times text: "all", or 1-based record numbers and ranges "a-b" separated by commas.
// Returns false when the text is neither. `count` is the number of times of the listing; the
// numbers up to it are returned 0-based, each once, in the order of their first mention ("all"
// gives 0..count-1). The first number beyond `count` (1-based), if any, goes to `firstBeyond`.
bool ParseTimes(const std::string& text, int count, std::vector<int>& indices,
                int* firstBeyond = nullptr);

// The chosen times: the available list (every time of the listing, in file order), the selected
// list (the chosen texts in ascending numeric order, no two alike by text or by value) and,
// parallel to it, the hidden list of each chosen time's 1-based position in the available list.
// The window's lists show this model; the command line drives it the same way.
class TimeSelection {
  public:
    // A new available list; nothing is chosen.
    void SetAvailable(std::vector<std::string> texts);

    const std::vector<std::string>& available() const { return available_; }
    const std::vector<std::string>& selected() const { return selected_; }
    const std::vector<std::string>& hidden() const { return hidden_; }

    // Chooses the available item at this 0-based index, as that record (not the first of its
    // text: two runs in one listing hold other values at the same time). False, changing
    // nothing, for an index outside the list or a time already chosen.
    bool AddIndex(int index);
    // Chooses the available items at these 0-based indices, in this order; indices outside the
    // list are passed over.
    void AddIndices(const std::vector<int>& indices);
    // After "Select All": the chosen list becomes a copy of the whole available list, with the
    // positions 1..n.
    void AddAll();
    // Removes the chosen items at these 0-based indices, with their positions.
    void Remove(std::vector<int> indices);
    void Clear();

    // The positions in the available list of the chosen times, as numbers: the export request.
    std::vector<Integer> SelectedTimes() const;

  private:
    // Chooses the time of this text as the available item at 0-based place k.
    bool AddAt(std::string_view text, int k);

    std::vector<std::string> available_;
    std::vector<std::string> selected_;
    std::vector<std::string> hidden_;
    std::vector<double> values_;  // the value of each chosen text, to place a new one by
    // The chosen texts in lower case, each as often as it is chosen, to tell at once whether a
    // text is chosen: looking through the list for each time would make choosing all thirty
    // thousand times of a listing take seconds.
    std::unordered_multiset<std::string> chosenTexts_;
};

}  // namespace velto
