#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "extract/reader/catalogue.h"
#include "extract/reader/exportrequest.h"
#include "extract/reader/extractionresult.h"

namespace velto {

// One point of a curve: a result time of the listing and the value at it.
struct CurvePoint {
    double time = 0;  // seconds, as the listing's TIME line prints it
    double value = 0;

    bool operator==(const CurvePoint&) const = default;
};

// One vector's values against time, in time order.
struct Curve {
    std::string name;  // "Node 12", in the listing's Latin-1 bytes
    std::vector<CurvePoint> points;
};

// The curves of one extraction: the chosen variable against time, one curve per vector. Plain
// data, so the command line can hand it to the drawing without itself needing a GUI. Texts are
// the listing's Latin-1 bytes.
struct CurveSet {
    std::string title;  // "Displacements DOF2": the variable and its vector
    std::string unit;   // "\260C" (°C), "kN/m", "N/mm\xB2"; empty when the listing prints none
    std::vector<Curve> curves;
    int omitted = 0;                    // curves left out beyond the chart's limit
    std::string curvesAre = "vectors";  // what a curve stands for, in the title's count
};

// At most this many curves are drawn; a chart of more is a tangle, and the spreadsheet has them.
inline constexpr int kMaxCurves = 20;

// The curves of an extraction (result.Values for the request's items at its times, the times'
// values taken from the catalogue), named with the variable's item word ("Node 12") and carrying
// its unit; the first 20 vectors when there are more.
CurveSet CurvesOfExtraction(const Catalogue& catalogue, const ExportRequest& request,
                            const ExtractionResult& result, std::string_view vectorName);

}  // namespace velto
