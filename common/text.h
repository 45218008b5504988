#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"

namespace velto {

// The words of a line: the runs of characters other than blank and TAB, numbered from 0.
// An empty or all-blank line has no words. The views point into `text`.
std::vector<std::string_view> Tokenize(std::string_view text);

// Word k (from 0) of a line, or an empty view when the line has k words or fewer.
std::string_view FindWord(std::string_view text, std::size_t k);

// Word k (from 0) of a line. Raises the subscript error (9) when the line has k words or fewer.
std::string_view WordAt(std::string_view text, std::size_t k);

// Lenient number reading: leading blanks are skipped, blanks, TABs and line feeds inside the number
// are ignored, then an optional sign, digits, an optional decimal point (always the full stop) and
// an optional exponent introduced by E or D are taken; reading stops at the first character that
// cannot continue the number. Text without a digit gives 0. A number beyond the double range raises
// the overflow error (6).
double Val(std::string_view text);

// Strict whole-number conversion of a word: surrounding blanks are allowed, the rest must be a
// number (sign, digits, decimal point, exponent); anything else raises the type mismatch error
// (13). Fractions round to the nearest whole number, halves to even; a result outside the type's
// range raises the overflow error (6).
Integer ToInteger(std::string_view word);
Long ToLong(std::string_view word);

// Rounds a number (typically a Val result) to Integer or Long, halves to even; out of range
// raises the overflow error (6).
Integer RoundToInteger(double value);
Long RoundToLong(double value);

// Stores a number as Single, rounding to the nearest Single; a finite number too large for a
// Single raises the overflow error (6).
Single ToSingle(double value);

// True when text holds a number as the strict conversion reads it (not necessarily whole).
bool IsNumeric(std::string_view text);

// Blanks (not TABs) removed from both ends.
std::string_view TrimBlanks(std::string_view text);

// Every occurrence of `what` in text replaced by `with`.
std::string ReplaceAll(std::string_view text, std::string_view what, std::string_view with);

inline bool Contains(std::string_view line, std::string_view what) {
    return line.find(what) != std::string_view::npos;
}

// A line "reads" a text when it equals it once blanks are removed from both ends.
inline bool Reads(std::string_view line, std::string_view what) {
    return TrimBlanks(line) == what;
}

}  // namespace velto
