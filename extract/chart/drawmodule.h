#pragma once

#include <string>

#include "extract/export/curves.h"

namespace velto {

// velto-extract draws through a module it loads only for `plot`, so that `info` and `export`
// start without the GUI libraries. The module sits beside the program in the build folder and in
// lib/velto of the prefix once installed (extract/cli/drawing.cpp looks for it).

// The module's one entry point, found by this name. The number goes up whenever the entry or the
// CurveSet changes, so a module left from another build is refused instead of misread.
inline constexpr char kDrawCurvesEntry[] = "velto_draw_curves_2";

// Draws the curves as the window's chart does, as an SVG document (svg) or a PNG image, into
// `image`. False when they could not be drawn; `image` then says why.
using DrawCurvesEntry = bool (*)(const CurveSet& curves, bool svg, std::string& image);

}  // namespace velto
