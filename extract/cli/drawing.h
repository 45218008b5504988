#pragma once

#include <string>

#include "extract/chart/drawmodule.h"

namespace velto {

// The drawing module's entry point, loaded on first use from beside this program (the build
// folder) or from its installed place, lib/velto under the program's prefix; null when neither
// holds a module that loads, with the reason in `problem`. Only `plot` calls it, so the other
// commands never load the GUI libraries the module needs.
DrawCurvesEntry LoadDrawing(std::string& problem);

}  // namespace velto
