#pragma once

namespace velto {

// The shortest text that reads back to the single, exactly as std::to_chars(first, last, single)
// writes it ("20.1", "-3.98511e-05", "293782"), into `first`, which holds at least 32
// characters; returns the end. The single must be finite.
//
// A listing prints its values with six significant digits, and a single holds every decimal of
// six digits apart from its neighbours: such a value is read back from its own digits with one
// exact multiplication, far quicker than the general search, which the rest still take.
char* ShortestSingleText(char* first, float single);

// The double that text denotes, as std::from_chars reads it: 20.1f is stored as 20.1.
double ShortestSingleDouble(float single);

}  // namespace velto
