#include "extract/export/curves.h"

#include <algorithm>

namespace velto {

CurveSet CurvesOfExtraction(const Catalogue& c, std::string_view variable,
                            std::string_view vectorName, std::string_view itemWord,
                            std::string_view unit) {
    CurveSet set;
    set.title = std::string(variable);
    if (!vectorName.empty()) {
        set.title += ' ';
        set.title += vectorName;
    }
    set.unit = std::string(unit);
    const int shown = std::min<int>(static_cast<int>(c.SelectedVectors.size()), kMaxCurves);
    set.omitted = static_cast<int>(c.SelectedVectors.size()) - shown;
    for (int i = 0; i < shown; ++i) {
        const Long v = c.SelectedVectors[static_cast<std::size_t>(i)];
        Curve curve;
        curve.name = std::string(itemWord) + ' ' + std::to_string(v);
        for (Integer j = 1; j <= c.SelectedTimeCount; ++j) {
            const Integer record = c.SelectedTimes[static_cast<std::size_t>(j - 1)];
            if (record < 1 || static_cast<std::size_t>(record) > c.Times.size() || v < 1 ||
                v > c.ExtractedValues.Items() || j > c.ExtractedValues.Times()) {
                continue;
            }
            curve.points.push_back(
                {c.Times[static_cast<std::size_t>(record - 1)].Time, c.ExtractedValues.At(v, j)});
        }
        // The times come in the order they were chosen; a curve is drawn from its first.
        std::stable_sort(curve.points.begin(), curve.points.end(),
                         [](const CurvePoint& a, const CurvePoint& b) { return a.time < b.time; });
        set.curves.push_back(std::move(curve));
    }
    return set;
}

std::string TemporaryUnitOf(std::string_view variable) {
    struct Known {
        std::string_view prefix;
        std::string_view unit;
    };
    static constexpr Known kKnown[] = {
        {"Temperature", "\260C"},
        {"Membrane Force", "kN/m"},
        {"Bending Force", "kNm/m"},
        {"Soil Axial Force", "kN"},
        {"Soil Pressure", "kN/m\xB2"},
        {"Beam Stresses", "N/mm\xB2"},
        {"Beam Tangent Modulus", "N/mm\xB2"},
    };
    for (const Known& k : kKnown) {
        if (variable.substr(0, k.prefix.size()) == k.prefix) {
            return std::string(k.unit);
        }
    }
    return {};
}

}  // namespace velto
