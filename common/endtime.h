#pragma once

#include <string>

#include "common/types.h"

namespace velto {

// The end time of a solver input file: the second word of the last time line of the last
// TIME ... END_TIME block (keywords alone on their line, blanks around them allowed, case and
// TABs significant; a time line counts when its second word is a number). 0 when there is none.
// Raises the run-time file error when the file cannot be opened (53, 70, 75), and the overflow
// error (6) for an end time beyond a Single.
Single ReadEndTime(const std::string& path);

}  // namespace velto
