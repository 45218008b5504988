#pragma once

#include <cstdint>

namespace velto {

// The widths the solver's companion tools have always used for their numbers. Narrowing to
// Integer and Long is checked (see checked.h): it raises the overflow error instead of wrapping.
using Integer = std::int16_t;
using Long = std::int32_t;
using Single = float;

// A byte position in a file, counted from 1 for the first byte. Listings run to several
// gigabytes, so positions are 64-bit.
using FilePosition = std::int64_t;

}  // namespace velto
