#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "shell/runner/batchbackend.h"

namespace velto {

// "0:42", "12:05", "1:02:03": a duration as people read it on a clock.
QString FormatDuration(double seconds);

// The time a run still needs, from the rate of its progress so far; none before any progress.
std::optional<double> RemainingSeconds(double elapsedSeconds, float fraction);

// "12:05 elapsed, about 3:10 left" (or only the elapsed part while no estimate can be made).
QString TimingText(double elapsedSeconds, float fraction);

// The end of a batch in one line: "Batch finished: 2 Completed, 1 Failed, 0 Aborted in 1:02:03".
// Counts the given statuses.
QString BatchSummary(const std::vector<QString>& statuses, double seconds);

}  // namespace velto
