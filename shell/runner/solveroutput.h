#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/types.h"

namespace velto {

// The prompt with which a solver that reads its input name from standard input asks for it.
inline constexpr std::string_view kSolverPrompt = "Please type \"FILENAME\" of \"FILENAME.IN\" :";

// What is written to such a solver's standard input: the base name and CR LF, padded with
// blanks to 20 bytes. A name of 19 characters or more is sent whole with its CR LF: cutting it
// to 20 bytes would lose the line end, and the solver would wait for it forever.
std::string NameAnswer(std::string_view baseName);

// One chunk of solver output as the console shows it, and the time it reports, if any.
struct SolverChunk {
    std::string text;            // the chunk with the prompt (and its two blanks) taken out
    std::optional<Single> time;  // the time of a "time =" chunk
};

// Handles one chunk as read from the pipe (chunks are not joined into lines): removes every
// prompt followed by two blanks, and when the chunk holds "time =" in any case, takes out every
// exact "time =" and reads the second word of what remains as the time when it is a number.
// Raises the overflow error for a time beyond a Single.
SolverChunk ProcessChunk(std::string_view chunk);

// The fraction of the run done: time over end time, as Singles. None when the end time is 0.
// Raises the overflow error when the division overflows.
std::optional<Single> ProgressFraction(Single time, Single endTime);

}  // namespace velto
