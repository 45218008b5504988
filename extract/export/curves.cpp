#include "extract/export/curves.h"

#include <algorithm>

#include "extract/export/selection.h"
#include "extract/reader/variables.h"

namespace velto {

CurveSet CurvesOfExtraction(const Catalogue& c, const ExportRequest& request,
                            const ExtractionResult& result, std::string_view vectorName) {
    const std::string_view variable = request.Variable;
    const ValueTable& values = result.Values;
    const VariableSpec* spec = FindVariable(variable);
    const std::string_view itemWord = spec ? spec->ItemWord : std::string_view();
    CurveSet set;
    set.title = std::string(variable);
    if (!vectorName.empty()) {
        set.title += ' ';
        set.title += vectorName;
    }
    set.unit = spec ? std::string(QuantityOf(*spec, vectorName, c.Ndim).Unit) : std::string();
    const int shown = std::min<int>(static_cast<int>(request.Items.size()), kMaxCurves);
    set.omitted = static_cast<int>(request.Items.size()) - shown;
    set.curvesAre = ItemsWord(variable, true);
    for (int i = 0; i < shown; ++i) {
        const Long v = request.Items[static_cast<std::size_t>(i)];
        Curve curve;
        curve.name = std::string(itemWord) + ' ' + std::to_string(v);
        for (Integer j = 1; static_cast<std::size_t>(j) <= request.Times.size(); ++j) {
            const Integer record = request.Times[static_cast<std::size_t>(j - 1)];
            if (record < 1 || static_cast<std::size_t>(record) > c.Times.size() ||
                !values.Holds(v) || j > values.Times()) {
                continue;
            }
            curve.points.push_back(
                {c.Times[static_cast<std::size_t>(record - 1)].Time, values.At(v, j)});
        }
        // The times come in the order they were chosen; a curve is drawn from its first.
        std::stable_sort(curve.points.begin(), curve.points.end(),
                         [](const CurvePoint& a, const CurvePoint& b) { return a.time < b.time; });
        set.curves.push_back(std::move(curve));
    }
    return set;
}

}  // namespace velto
