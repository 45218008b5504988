#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"
#include "extract/export/variablecatalogue.h"

namespace velto {

// Why a selection may not be saved, or an empty text when it may: the variable must be offered;
// unless it has no range (the eigen value, which needs neither range nor time) From, To and Step
// must be numbers (digits by the C rules; the first box that is not is named), From and To must
// lie in 1..the variable's limit, and at least one time must be chosen. Step is only required to
// be a number: the vector list deals with the rest.
std::string SelectionProblem(const std::vector<OfferedVariable>& offered, std::string_view variable,
                             std::string_view from, std::string_view to, std::string_view step,
                             std::size_t selectedTimes);

// True when a save may start: what enables the Save button.
inline bool ValidateSelection(const std::vector<OfferedVariable>& offered,
                              std::string_view variable, std::string_view from, std::string_view to,
                              std::string_view step, std::size_t selectedTimes) {
    return SelectionProblem(offered, variable, from, to, step, selectedTimes).empty();
}

// The vector numbers a save exports, or why there are none.
struct VectorList {
    std::vector<Long> vectors;  // empty when the save ends without a file
    std::string problem;        // why, for the command line (the window ends silently)
};

// The vector list of the range texts: a variable without a range exports vector 1 alone. Otherwise
// the count is (To - From, rounded) integer-divided by (Step, rounded) plus one, and the numbers
// are counted from From to To by Step (each rounded, halves to even): upwards for a step of 0 or
// more, downwards for a negative step. The save ends without a file when Step is 0, when the
// count is 0 or less, or when the counting yields more numbers than the count; when it yields
// fewer, the remaining entries are 0 (and the export then fails on them). Numbers are 32-bit.
VectorList BuildVectorList(std::string_view variable, std::string_view from, std::string_view to,
                           std::string_view step);

// How many vectors BuildVectorList gives for these texts, found without building the list (so a
// huge range can be refused before it is held); nullopt when it gives none.
std::optional<long long> VectorCount(std::string_view variable, std::string_view from,
                                     std::string_view to, std::string_view step);

// Why the range texts give no full vector list, found without building it (so it costs nothing
// however large the range): BuildVectorList's reasons, and a counting that yields fewer numbers
// than counted, whose missing entries could only fail the export. Empty when the list is full.
// A count of the variable's items as a message says it: "1 node", "12 beams", "3 items".
std::string CountOfItems(std::string_view variable, long count);
// The variable's items as a message names them: "node", "nodes"; "item" for an unknown one.
std::string ItemsWord(std::string_view variable, bool plural);

std::string RangeProblem(std::string_view variable, std::string_view from, std::string_view to,
                         std::string_view step);

}  // namespace velto
