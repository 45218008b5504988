#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/types.h"

namespace velto {

// The words of a line: the runs of characters other than blank and TAB, numbered from 0.
// An empty or all-blank line has no words. The views point into `text`.
std::vector<std::string_view> Tokenize(std::string_view text);

namespace text_detail {

// The high bit of each byte of `v` that is a blank or a TAB, exactly (no carry between bytes).
inline std::uint64_t BlankBytes(std::uint64_t v) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    auto zeros = [](std::uint64_t x) { return ~(((x & kLow7) + kLow7) | x | kLow7); };
    return zeros(v ^ 0x2020202020202020ULL) | zeros(v ^ 0x0909090909090909ULL);
}

#if defined(__SSE2__)
// Bit i set for each character i of text[0, size) (16 <= size <= 64) that is a blank or a TAB,
// and for every i from size on. Reads only inside the text: the last sixteen characters are
// loaded where they end.
inline std::uint64_t BlankBits(const char* text, std::size_t size) {
    const __m128i blank = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8('\t');
    auto blanks = [&](std::size_t at) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
        const int bits =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, blank), _mm_cmpeq_epi8(v, tab)));
        return static_cast<std::uint64_t>(static_cast<std::uint32_t>(bits)) << at;
    };
    std::uint64_t bits = size < 64 ? ~std::uint64_t{0} << size : 0;
    std::size_t at = 0;
    for (; at + 16 <= size; at += 16) {
        bits |= blanks(at);
    }
    if (at < size) {
        bits |= blanks(size - 16);
    }
    return bits;
}

// The number of bits set, by halves, quarters and so on: without the POPCNT instruction, which
// the baseline processor lacks, std::popcount is a library call.
inline unsigned BitCount(std::uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<unsigned>((x * 0x0101010101010101ULL) >> 56);
}

// The blank bits of text[from, from + 64) as BlankBits gives them (set from the text's end on),
// for a text of at least 16 characters: a short last piece is read from the text's last sixteen.
inline std::uint64_t BlankBitsFrom(const char* text, std::size_t size, std::size_t from) {
    const std::size_t n = size - from < 64 ? size - from : 64;
    if (n >= 16) {
        return BlankBits(text + from, n);
    }
    const std::uint64_t window = BlankBits(text + size - 16, 16);
    return (window >> (16 - n)) | (~std::uint64_t{0} << n);
}
#endif

}  // namespace text_detail

// The number of words of a line (runs of characters other than blanks and TABs). Eight
// characters at a time, or a value line in one go: it runs for every value line an export reads.
inline std::size_t CountWords(std::string_view text) {
#if defined(__SSE2__)
    if (text.size() >= 16 && text.size() <= 64) {
        const std::uint64_t blank = text_detail::BlankBits(text.data(), text.size());
        return text_detail::BitCount(~blank & ((blank << 1) | 1));
    }
#endif
    std::size_t words = 0;
    bool blankBefore = true;
    std::size_t at = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kByteBits = 0x0101010101010101ULL;
        for (; text.size() - at >= 8; at += 8) {
            std::uint64_t v;
            std::memcpy(&v, text.data() + at, 8);
            const std::uint64_t blank = text_detail::BlankBytes(v) >> 7;  // bit 8i: byte i
            const std::uint64_t starts =
                ~blank & kByteBits & ((blank << 8) | (blankBefore ? 1 : 0));
            words += text_detail::BitCount(starts);
            blankBefore = (blank >> 56) != 0;
        }
    }
    for (; at < text.size(); ++at) {
        const bool blank = text[at] == ' ' || text[at] == '\t';
        words += !blank && blankBefore ? 1 : 0;
        blankBefore = blank;
    }
    return words;
}

// The words of one value line, found in one pass: its blanks as bits, 64 characters a number, so
// that the item's number, the value wanted and the count of words each cost a few bit operations
// instead of a pass over the line. Lines shorter than 16 or longer than 256 characters, which no
// value table prints, are read word by word.
class LineWords {
  public:
    explicit LineWords(std::string_view line) : line_(line) {
#if defined(__SSE2__)
        if (line.size() < 16 || line.size() > 64 * kChunks) {
            return;
        }
        chunks_ = (line.size() + 63) / 64;
        bool blankBefore = true;
        for (std::size_t c = 0; c < chunks_; ++c) {
            const std::uint64_t blank =
                text_detail::BlankBitsFrom(line.data(), line.size(), c * 64);
            blank_[c] = blank;
            starts_[c] = ~blank & ((blank << 1) | (blankBefore ? 1 : 0));
            blankBefore = (blank >> 63) != 0;
            count_ += text_detail::BitCount(starts_[c]);
        }
#endif
    }

    // True when the line has more than `n` words.
    bool MoreWordsThan(std::size_t n) const;
    // Word k (from 0), or an empty view when the line has k words or fewer.
    [[gnu::always_inline]] std::string_view Word(std::size_t k) const;

  private:
    static constexpr std::size_t kChunks = 4;
    std::string_view line_;
    std::size_t chunks_ = 0;  // 0: read word by word
    std::size_t count_ = 0;
    // The blanks and word starts of each 64 characters; only the first chunks_ are set.
    std::uint64_t blank_[kChunks];
    std::uint64_t starts_[kChunks];
};

// Word k (from 0) of a line, or an empty view when the line has k words or fewer. Inline, and
// eight characters at a time: it runs for every value line an export reads, and a value line is
// mostly the blanks and words before the one wanted.
inline std::string_view FindWord(std::string_view text, std::size_t k) {
#if defined(__SSE2__)
    // A value line (16 to 64 characters) in one go: its blanks as the bits of one number, the
    // word starts among them counted off, no loop over the characters at all.
    if (text.size() >= 16 && text.size() <= 64) {
        const std::uint64_t blank = text_detail::BlankBits(text.data(), text.size());
        std::uint64_t starts = ~blank & ((blank << 1) | 1);
        for (; k > 0 && starts != 0; --k) {
            starts &= starts - 1;
        }
        if (starts == 0) {
            return {};
        }
        const int start = std::countr_zero(starts);
        const std::uint64_t after = blank & (~std::uint64_t{0} << start);
        const int stop = after != 0 ? std::countr_zero(after) : static_cast<int>(text.size());
        return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(stop - start));
    }
#endif
    const char* p = text.data();
    const char* const end = p + text.size();
    auto solid = [](char ch) { return ch != ' ' && ch != '\t'; };
    bool inWord = false;  // p stands inside a word already counted
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kByteBits = 0x0101010101010101ULL;
        while (end - p >= 8) {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            const std::uint64_t blank = text_detail::BlankBytes(v) >> 7;  // bit 8i: byte i
            const std::uint64_t filled = ~blank & kByteBits;
            // A word starts at a byte that is not blank after one that is.
            for (std::uint64_t starts = filled & ((blank << 8) | (inWord ? 0 : 1)); starts != 0;
                 starts &= starts - 1) {
                if (k-- > 0) {
                    continue;
                }
                const char* start = p + std::countr_zero(starts) / 8;
                const char* stop = start;
                // The word ends at the first blank after its start, found as its start was.
                while (end - stop >= 8) {
                    std::memcpy(&v, stop, 8);
                    const std::uint64_t after = text_detail::BlankBytes(v);
                    if (after != 0) {
                        return std::string_view(
                            start, static_cast<std::size_t>(stop - start) +
                                       static_cast<std::size_t>(std::countr_zero(after) / 8));
                    }
                    stop += 8;
                }
                while (stop < end && solid(*stop)) {
                    ++stop;
                }
                return std::string_view(start, static_cast<std::size_t>(stop - start));
            }
            inWord = (filled >> 56) != 0;
            p += 8;
        }
    }
    if (inWord) {
        while (p < end && solid(*p)) {
            ++p;
        }
    }
    for (;;) {
        while (p < end && !solid(*p)) {
            ++p;
        }
        if (p == end) {
            return {};
        }
        const char* start = p;
        while (p < end && solid(*p)) {
            ++p;
        }
        if (k-- == 0) {
            return std::string_view(start, static_cast<std::size_t>(p - start));
        }
    }
}

inline bool LineWords::MoreWordsThan(std::size_t n) const {
    return (chunks_ > 0 ? count_ : CountWords(line_)) > n;
}

[[gnu::always_inline]] inline std::string_view LineWords::Word(std::size_t k) const {
    if (chunks_ == 0) {
        return FindWord(line_, k);
    }
    for (std::size_t c = 0; c < chunks_; ++c) {
        std::uint64_t starts = starts_[c];
        for (; k > 0 && starts != 0; --k) {
            starts &= starts - 1;
        }
        if (starts == 0) {
            continue;
        }
        const std::size_t start = c * 64 + static_cast<std::size_t>(std::countr_zero(starts));
        for (std::size_t d = c; d < chunks_; ++d) {
            const std::uint64_t after =
                d == c ? blank_[d] & (~std::uint64_t{0} << (start - c * 64)) : blank_[d];
            if (after != 0) {
                const std::size_t stop = d * 64 + static_cast<std::size_t>(std::countr_zero(after));
                return line_.substr(start, (stop < line_.size() ? stop : line_.size()) - start);
            }
        }
        return line_.substr(start);
    }
    return {};
}

// Word k (from 0) of a line. Raises the subscript error (9) when the line has k words or fewer.
std::string_view WordAt(std::string_view text, std::size_t k);

// Lenient number reading: leading blanks are skipped, blanks, TABs and line feeds inside the number
// are ignored, then an optional sign, digits, an optional decimal point (always the full stop) and
// an optional exponent introduced by E or D are taken; reading stops at the first character that
// cannot continue the number. Text without a digit gives 0. A number beyond the double range raises
// the overflow error (6).
double Val(std::string_view text);

namespace text_detail {

// The powers of ten a double holds exactly.
inline constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The solver's own shape of a value, "-3.98511E-01": six digits, the point after the first, a
// signed exponent of two digits, read at their places, as digits x 10^power. False for any other
// text, and for a power whose ten is not an exact double.
inline bool SolverShape(std::string_view text, bool& negative, std::uint32_t& digits, int& power) {
    const char* p = text.data();
    negative = text.size() == 12 && p[0] == '-';
    p += negative ? 1 : 0;
    if (text.size() - (negative ? 1 : 0) != 11 || (p[8] != '+' && p[8] != '-')) {
        return false;
    }
    if constexpr (std::endian::native == std::endian::little) {
        // "d.ddddd" and the E as one number, the first character lowest: every check and the
        // six digits' value in a few operations on all of them at once. This runs for every value
        // an export reads.
        std::uint64_t word = 0;
        std::memcpy(&word, p, 8);
        constexpr std::uint64_t kDigitBytes = 0x00FFFFFFFFFF00FF;  // places 0 and 2 to 6
        const std::uint64_t places = word & kDigitBytes;
        const bool shaped =
            (word & 0xFF0000000000FF00) == 0x4500000000002E00 ||  // the point, and E
            (word & 0xFF0000000000FF00) == 0x6500000000002E00;    // or e
        const bool allDigits =
            (places & 0x00F0F0F0F0F000F0) == 0x0030303030300030 &&
            (((places & 0x000F0F0F0F0F000F) + 0x0006060606060006) & 0x00F0F0F0F0F000F0) == 0;
        const auto tens = static_cast<unsigned>(p[9] - '0');
        const auto ones = static_cast<unsigned>(p[10] - '0');
        if (!shaped || !allDigits || tens > 9 || ones > 9) {
            return false;
        }
        // The six digits at places 2 to 7 of eight, after two zeros, then the eight-digit sum.
        std::uint64_t eight = ((places & 0x0F) << 16) | ((places & 0x000F0F0F0F0F0000) << 8);
        eight = eight * 10 + (eight >> 8);
        eight = (((eight & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
                 (((eight >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >>
                32;
        digits = static_cast<std::uint32_t>(eight);
        const int exponent = static_cast<int>(tens * 10 + ones);
        power = (p[8] == '-' ? -exponent : exponent) - 5;
        return power >= -22 && power <= 22;
    }
    if (p[1] != '.' || (p[7] != 'E' && p[7] != 'e')) {
        return false;
    }
    // Each place taken on its own, no loop.
    auto digit = [p](int place) { return static_cast<unsigned>(p[place] - '0'); };
    const unsigned d0 = digit(0), d2 = digit(2), d3 = digit(3), d4 = digit(4), d5 = digit(5),
                   d6 = digit(6), tens = digit(9), ones = digit(10);
    if ((d0 > 9) | (d2 > 9) | (d3 > 9) | (d4 > 9) | (d5 > 9) | (d6 > 9) | (tens > 9) | (ones > 9)) {
        return false;
    }
    digits = ((((d0 * 10 + d2) * 10 + d3) * 10 + d4) * 10 + d5) * 10 + d6;
    const int exponent = static_cast<int>(tens * 10 + ones);
    power = (p[8] == '-' ? -exponent : exponent) - 5;
    return power >= -22 && power <= 22;
}

// The solver's shape read as the plain reading reads it: the same digits and power, so the very
// same double.
inline bool ReadSolverValue(std::string_view text, double& value) {
    bool negative = false;
    std::uint32_t digits = 0;
    int power = 0;
    if (!SolverShape(text, negative, digits, power)) {
        return false;
    }
    const auto magnitude = static_cast<double>(digits);
    const double exact =
        power < 0 ? magnitude / kPowersOfTen[-power] : magnitude * kPowersOfTen[power];
    value = negative ? -exact : exact;
    return true;
}

// A fixed-point word of up to 15 digits, every thermal table's shape ("92.8", "-0.5", "12",
// no blanks): the digits as a whole number over a power of ten. Both are exact doubles, and the
// one division rounds as the general reading rounds the decimal, to the very same double.
// False for any other word.
inline bool ReadFixedPoint(std::string_view word, double& value) {
    const std::size_t lead = !word.empty() && word.front() == '-' ? 1 : 0;
    std::uint64_t digits = 0;
    int count = 0;
    int places = -1;  // digits after the point; -1 before one is met
    for (std::size_t at = lead; at < word.size(); ++at) {
        const char c = word[at];
        if (c >= '0' && c <= '9') {
            if (++count > 15) {
                return false;
            }
            digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
            places += places >= 0 ? 1 : 0;
        } else if (c == '.' && places < 0) {
            places = 0;
        } else {
            return false;
        }
    }
    if (count == 0) {
        return false;
    }
    value = static_cast<double>(digits);
    if (places > 0) {
        value /= kPowersOfTen[places];
    }
    value = lead != 0 ? -value : value;
    return true;
}

// The nearest doubles to the powers of ten below one.
inline constexpr double kTenthPowers[] = {1e0,   1e-1,  1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,
                                          1e-8,  1e-9,  1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15,
                                          1e-16, 1e-17, 1e-18, 1e-19, 1e-20, 1e-21, 1e-22};

// The single of the solver's shape: the exact double above, rounded to a single. Below one that
// double is a quotient; the product by the nearest double of the power lies within a few of its
// last places, and rounds to the very same single for every six digits and every power (a test
// goes through them all), at a fraction of a division's cost.
inline bool ReadSolverSingle(std::string_view text, float& value) {
    bool negative = false;
    std::uint32_t digits = 0;
    int power = 0;
    if (!SolverShape(text, negative, digits, power)) {
        return false;
    }
    const auto magnitude = static_cast<double>(digits);
    const double exact =
        power < 0 ? magnitude * kTenthPowers[-power] : magnitude * kPowersOfTen[power];
    value = static_cast<float>(negative ? -exact : exact);
    return true;
}

}  // namespace text_detail

// Stores a number as Single, rounding to the nearest Single; a finite number too large for a
// Single raises the overflow error (6).
Single ToSingle(double value);

// The Single of a value word of a listing in any other shape than the solver's usual one. The
// word must be a number as a whole (surrounding blanks aside); Fortran's form for an exponent of
// three digits, which drops the E to make room ("1.23456-100"), is one. Anything else ("*****"
// of a value too wide for its field, "NaN", a byte that does not belong) raises the type
// mismatch error (13): it is not a value, and must not pass for 0 or for part of one.
Single OtherListingValue(std::string_view word);

// The number a word of a listing holds, by the same rule, as a double: what the listing printed
// before it is rounded to a single.
double ListingNumber(std::string_view word);

// The Single of a value word of a listing, the number rounded to the nearest Single. The solver's
// own shape is read in place without a call: this runs for every value an export reads.
inline Single ListingValue(std::string_view word) {
    Single value = 0;
    if (text_detail::ReadSolverSingle(word, value)) {
        return value;  // at most 9.99999E+27: always within a single
    }
    return OtherListingValue(word);
}

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
