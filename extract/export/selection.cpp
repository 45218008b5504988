#include "extract/export/selection.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <optional>
#include <utility>

#include "common/error.h"
#include "common/text.h"
#include "extract/reader/variables.h"

namespace velto {

namespace {

// A variable without a range (the eigen value) exports its single value as vector 1 and needs
// neither range nor time.
bool Rangeless(std::string_view variable) {
    const VariableSpec* spec = FindVariable(variable);
    return spec != nullptr && !spec->HasRange();
}

// Why a range box's text is no number. The boxes take node, element and fibre numbers as digits
// by the C rules: "1,0", a German's one, is no number here, and the reason says so.
std::string NotANumber(std::string_view box) {
    return std::string(box) + " must be a whole number written in digits (12 or 12.0, not 12,0)";
}

// The count comes from the unrounded difference, the counting from rounded numbers.
long long CountOf(std::string_view from, std::string_view to, Long by) {
    return static_cast<long long>(RoundToLong(Val(to) - Val(from))) / by + 1;
}

}  // namespace

std::string SelectionProblem(const std::vector<OfferedVariable>& offered, std::string_view variable,
                             std::string_view from, std::string_view to, std::string_view step,
                             std::size_t selectedTimes) {
    auto it = std::find_if(offered.begin(), offered.end(),
                           [&](const OfferedVariable& v) { return v.Name == variable; });
    if (it == offered.end()) {
        return "the listing does not offer the variable \"" + std::string(variable) + "\"";
    }
    if (Rangeless(variable)) {
        return {};
    }
    for (const auto& [box, text] : {std::pair{"From", from}, {"To", to}, {"Step", step}}) {
        if (!IsNumeric(text)) {
            return NotANumber(box);
        }
    }
    const double limit = it->Limit ? static_cast<double>(*it->Limit) : 0.0;
    const std::string range = "1.." + std::to_string(it->Limit.value_or(0));
    // A number too large for a double (1e400) lies outside any range like any other too large.
    auto inRange = [&](std::string_view text) {
        try {
            const double value = Val(text);
            return value >= 1 && value <= limit;
        } catch (const RuntimeError&) {
            return false;
        }
    };
    if (!inRange(from)) {
        return "From must lie in " + range + " (" + it->RangeCaption + ")";
    }
    if (!inRange(to)) {
        return "To must lie in " + range + " (" + it->RangeCaption + ")";
    }
    if (selectedTimes == 0) {
        return "no time is selected";
    }
    return {};
}

std::optional<long long> VectorCount(std::string_view variable, std::string_view from,
                                     std::string_view to, std::string_view step) {
    if (Rangeless(variable)) {
        return 1;
    }
    try {
        if (!IsNumeric(step)) {
            return std::nullopt;
        }
        const Long by = RoundToLong(Val(step));
        if (by == 0) {
            return std::nullopt;
        }
        const long long count = CountOf(from, to, by);
        return count > 0 ? std::optional<long long>(count) : std::nullopt;
    } catch (const RuntimeError&) {
        return std::nullopt;
    }
}

VectorList BuildVectorList(std::string_view variable, std::string_view from, std::string_view to,
                           std::string_view step) {
    VectorList list;
    if (Rangeless(variable)) {
        list.vectors = {1};
        return list;
    }
    try {
        if (!IsNumeric(step)) {
            list.problem = NotANumber("Step");
            return list;
        }
        const double first = Val(from);
        const double last = Val(to);
        const Long by = RoundToLong(Val(step));
        if (by == 0) {
            list.problem = "Step must not be 0";
            return list;
        }
        const long long count = CountOf(from, to, by);
        if (count <= 0) {
            list.problem = "no " + ItemsWord(variable, false) + " lies from " + std::string(from) +
                           " to " + std::string(to) + " in steps of " + std::string(step);
            return list;
        }
        std::vector<Long> vectors(static_cast<std::size_t>(count), 0);
        const long long start = RoundToLong(first);
        const long long stop = RoundToLong(last);
        std::size_t k = 0;
        for (long long v = start; by > 0 ? v <= stop : v >= stop; v += by) {
            if (k == vectors.size()) {
                list.problem = "the range From, To, Step gives more " + ItemsWord(variable, true) +
                               " than it counts";
                return list;
            }
            vectors[k++] = static_cast<Long>(v);
        }
        list.vectors = std::move(vectors);
    } catch (const RuntimeError& error) {
        list.problem = error.description();
    } catch (const std::bad_alloc&) {
        list.problem = ErrorDescription(kOutOfMemory);
    }
    return list;
}

std::string ItemsWord(std::string_view variable, bool plural) {
    const VariableSpec* spec = FindVariable(variable);
    std::string word = spec == nullptr || !spec->HasRange() ? (plural ? "items" : "item")
                       : plural                             ? std::string(spec->RangeCaption)
                                                            : std::string(spec->ItemWord);
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return word;
}

std::string CountOfItems(std::string_view variable, long count) {
    return std::to_string(count) + " " + ItemsWord(variable, count != 1);
}

std::string RangeProblem(std::string_view variable, std::string_view from, std::string_view to,
                         std::string_view step) {
    if (!VectorCount(variable, from, to, step)) {
        const std::string problem = BuildVectorList(variable, from, to, step).problem;
        return problem.empty() ? "the range gives no " + ItemsWord(variable, false) : problem;
    }
    if (Rangeless(variable)) {
        return {};
    }
    try {
        const long long count = *VectorCount(variable, from, to, step);
        const long long start = RoundToLong(Val(from));
        const long long stop = RoundToLong(Val(to));
        const long long by = RoundToLong(Val(step));
        const long long span = by > 0 ? stop - start : start - stop;
        const long long yielded = span < 0 ? 0 : span / (by > 0 ? by : -by) + 1;
        if (yielded > count) {
            return "the range From, To, Step gives more " + ItemsWord(variable, true) +
                   " than it counts";
        }
        if (yielded == 0) {
            return "no " + ItemsWord(variable, false) + " lies from " + std::string(from) + " to " +
                   std::string(to) + " in steps of " + std::string(step);
        }
        if (yielded < count) {
            return "the range From, To, Step gives fewer " + ItemsWord(variable, true) +
                   " than it counts";
        }
    } catch (const RuntimeError& error) {
        return error.description();
    }
    return {};
}

}  // namespace velto
