#pragma once

#include <string>
#include <vector>

namespace velto {

// Round-number ticks for a chart axis: at most `maxCount` ticks, evenly spaced by a step of 1, 2
// or 5 times a power of ten, the first at or below `min` and the last at or above `max`, so they
// also give the axis its range. 0..3600 with 10 ticks: 0, 500, .. 4000. A range of no width is
// widened around its value.
std::vector<double> NiceTicks(double min, double max, int maxCount);

// The same for times in seconds, with steps that read as whole minutes and hours: 10, 15, 20 and
// 30 s; 1, 2, 5, 10, 15, 20 and 30 min; 1, 2, 3, 6 and 12 h; then days. Below 10 s the steps are
// 1, 2 and 5 times a power of ten. 0..3600 s with 10 ticks: 0, 600, .. 3600 (every 10 minutes).
std::vector<double> TimeTicks(double min, double max, int maxCount);

// The labels of evenly spaced ticks, all with the decimals their step needs: "0", "0.25", "0.5";
// thousands set apart by a thin space from 10 000 up ("800 000"); "2e+09" style only when plain
// figures would be too long (ticks of 1e8 and beyond, or steps below 1e-4). UTF-8.
std::vector<std::string> TickLabels(const std::vector<double>& ticks);

}  // namespace velto
