#include "extract/export/selection.h"

#include <algorithm>

#include "common/error.h"
#include "common/text.h"

namespace velto {

std::string SelectionProblem(const std::vector<OfferedVariable>& offered, std::string_view variable,
                             std::string_view from, std::string_view to, std::string_view step,
                             std::size_t selectedTimes) {
    auto it = std::find_if(offered.begin(), offered.end(),
                           [&](const OfferedVariable& v) { return v.Name == variable; });
    if (it == offered.end()) {
        return "the listing does not offer the variable \"" + std::string(variable) + "\"";
    }
    if (variable == "Eigen Values") {
        return {};
    }
    if (!IsNumeric(from) || !IsNumeric(to) || !IsNumeric(step)) {
        return "From, To and Step must be numbers";
    }
    const double limit = it->Limit ? static_cast<double>(*it->Limit) : 0.0;
    const std::string range = "1.." + std::to_string(it->Limit.value_or(0));
    double first = Val(from);
    double last = Val(to);
    if (first < 1 || first > limit) {
        return "From must lie in " + range + " (" + it->RangeCaption + ")";
    }
    if (last < 1 || last > limit) {
        return "To must lie in " + range + " (" + it->RangeCaption + ")";
    }
    if (selectedTimes == 0) {
        return "no time is selected";
    }
    return {};
}

VectorList BuildVectorList(std::string_view variable, std::string_view from, std::string_view to,
                           std::string_view step) {
    VectorList list;
    if (variable == "Eigen Values") {
        list.vectors = {1};
        return list;
    }
    try {
        if (!IsNumeric(step)) {
            list.problem = "Step must be a number";
            return list;
        }
        const double first = Val(from);
        const double last = Val(to);
        const Long by = RoundToLong(Val(step));
        if (by == 0) {
            list.problem = "Step must not be 0";
            return list;
        }
        // The count comes from the unrounded difference, the counting from rounded numbers.
        const long long count = static_cast<long long>(RoundToLong(last - first)) / by + 1;
        if (count <= 0) {
            list.problem = "no vector lies from " + std::string(from) + " to " + std::string(to) +
                           " in steps of " + std::string(step);
            return list;
        }
        std::vector<Long> vectors(static_cast<std::size_t>(count), 0);
        const long long start = RoundToLong(first);
        const long long stop = RoundToLong(last);
        std::size_t k = 0;
        for (long long v = start; by > 0 ? v <= stop : v >= stop; v += by) {
            if (k == vectors.size()) {
                list.problem = "the range From, To, Step gives more vectors than it counts";
                return list;
            }
            vectors[k++] = static_cast<Long>(v);
        }
        list.vectors = std::move(vectors);
    } catch (const RuntimeError& error) {
        list.problem = error.description();
    }
    return list;
}

}  // namespace velto
