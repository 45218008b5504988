#include "extract/export/variablecatalogue.h"

#include "extract/reader/variables.h"

namespace velto {

std::vector<OfferedVariable> OfferedVariables(const Catalogue& c) {
    std::vector<OfferedVariable> offered;
    for (const VariableSpec& v : AllVariables()) {
        if (!v.OfferedBy(c)) {
            continue;
        }
        offered.push_back({std::string(v.Name), v.VectorNames(c), std::string(v.RangeCaption),
                           v.HasRange() ? std::optional<Long>(CountIn(c, v.Items)) : std::nullopt,
                           std::string(v.ItemWord)});
    }
    return offered;
}

}  // namespace velto
