#include "extract/export/singletext.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace velto {

namespace {

constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kExactPower = 22;

// digits x 10^power, correctly rounded: both factors are exact doubles.
double Scaled(double digits, int power) {
    return power < 0 ? digits / kPowers[-power] : digits * kPowers[power];
}

// A decimal of at most six significant digits that reads back to the positive normal single
// `magnitude`: digits x 10^power, six digits, any zeros among them at the end kept. False when
// there is none, or when it cannot be told quickly for certain (the general search decides then).
bool SixDigitDecimal(float magnitude, std::uint32_t& digits, int& power, double& value) {
    // Taken apart by their bits: this runs for every value of an export.
    const auto bits = std::bit_cast<std::uint32_t>(magnitude);
    const double x = magnitude;
    // The decimal exponent of x from its binary one (78913 / 2^18 is log10 2 to within what 128
    // binary powers need); corrected below when one off.
    const int binary = static_cast<int>(bits >> 23) - 127;
    int exponent = (binary * 78913) >> 18;
    // Every power of ten used below, one off either way included, is an exact double.
    if (exponent < 5 - (kExactPower - 2) || exponent > 5 + (kExactPower - 2)) {
        return false;
    }
    double scaled = Scaled(x, 5 - exponent);
    if (scaled >= 999999.5) {
        ++exponent;
        scaled = Scaled(x, 5 - exponent);
    } else if (scaled < 99999.5) {
        --exponent;
        scaled = Scaled(x, 5 - exponent);
    }
    // The nearest six digits (a tie's choice does not matter: the test below refuses a tie).
    auto six = static_cast<std::uint32_t>(scaled + 0.5);
    if (six == 1000000) {
        six = 100000;
        ++exponent;
    }
    if (six < 100000 || six > 999999) {
        return false;
    }
    // It reads back when the decimal lies nearer the single than either neighbour. The double
    // of the decimal is within half a double's step of it: it must not lie that near the
    // half-way points, whose side a double cannot tell. The neighbours of a positive normal
    // single, and of the positive double, are one unit of their bits away.
    value = Scaled(six, exponent - 5);
    const double below = (x + static_cast<double>(std::bit_cast<float>(bits - 1))) / 2;
    const double above = (x + static_cast<double>(std::bit_cast<float>(bits + 1))) / 2;
    const auto valueBits = std::bit_cast<std::uint64_t>(value);
    if (!(std::bit_cast<double>(valueBits - 1) > below &&
          std::bit_cast<double>(valueBits + 1) < above)) {
        return false;
    }
    digits = six;
    power = exponent - 5;
    return true;
}

// The quick way most values of a listing take: the single scaled to six digits by an exact power
// of ten and rounded to the nearest whole number is a decimal that reads back when it lies inside
// the single's rounding interval, scaled alike, by more than the scaling can be out. A decimal
// too near either end is left to SixDigitDecimal, as are powers of two (whose interval is
// narrower below) and values of a hundred thousand and more.
// Inlined into both of its callers: a call would cost a good part of what it does.
[[gnu::always_inline]] inline bool QuickSixDigits(float magnitude, std::uint32_t& digits,
                                                  int& power) {
    const auto bits = std::bit_cast<std::uint32_t>(magnitude);
    if ((bits & 0x7FFFFF) == 0) {
        return false;
    }
    const double x = magnitude;
    const int binary = static_cast<int>(bits >> 23) - 127;
    int scale = 5 - ((binary * 78913) >> 18);  // 5 - the decimal exponent, or one more
    if (scale < 1 || scale > kExactPower) {
        return false;
    }
    double scaled = x * kPowers[scale];  // one rounding: out by at most 2^-53 of its size
    if (scaled >= 999999.5) {
        --scale;
        scaled = x * kPowers[scale];
        if (scale < 1) {
            return false;
        }
    }
    const auto six = static_cast<std::uint32_t>(scaled + 0.5);
    if (six < 100000 || six > 999999) {
        return false;
    }
    // Half the single's step, scaled: 2^(binary - 24), built from its bits, times the power of ten.
    const double half =
        std::bit_cast<double>(static_cast<std::uint64_t>(binary - 24 + 1023) << 52) *
        kPowers[scale];
    // Both near a million, so their difference is exact; the scaled single is out by at most
    // 2^-33 and the half step by far less: 2^-20 is room to spare.
    if (std::fabs(static_cast<double>(six) - scaled) >= half - 0x1p-20) {
        return false;
    }
    digits = six;
    power = -scale;
    return true;
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

static_assert(std::endian::native == std::endian::little,
              "digit texts are built in a register, first character lowest");

// The two characters of 0..99 as a number, the first in the low byte.
std::uint64_t Pair(std::uint32_t pair) {
    std::uint16_t text = 0;
    std::memcpy(&text, kDigitPairs + 2 * pair, 2);
    return text;
}

// Writes six x 10^power (six digits, zeros at the end allowed) as printf's %f or %e would write
// the shortest text of it, whichever is shorter (%f on a tie). The digits are eight characters
// built in a register and every piece is stored eight bytes at once, in place of a call per piece
// (and of reading back characters just stored a pair at a time, which the processor cannot
// forward): this runs for every value of an export, and `out` has room for 32.
char* WriteDecimal(char* out, std::uint32_t six, int power) {
    const std::uint64_t text = Pair(six / 10000) | Pair(six / 100 % 100) << 16 |
                               Pair(six % 100) << 32 | std::uint64_t{0x3030} << 48;
    // The digits up to the last that is not 0, found by its byte.
    const std::uint64_t notZero = (text ^ 0x3030303030303030) & 0x0000FFFFFFFFFFFF;
    const int count = 8 - std::countl_zero(notZero) / 8;
    power += 6 - count;
    auto put = [](char* at, std::uint64_t eight) { std::memcpy(at, &eight, 8); };
    const int leading = count - 1 + power;  // the exponent of the first digit
    // %e: d[.ddd]e±XX
    const int exponentDigits = std::abs(leading) >= 100 ? 3 : 2;
    const int scientific = count + (count > 1 ? 1 : 0) + 2 + exponentDigits;
    // %f: the digits with zeros after them, a point inside them, or "0." and zeros before them.
    const int fixed = power >= 0     ? count + power
                      : leading >= 0 ? count + 1
                                     : 2 + (-leading - 1) + count;
    constexpr std::uint64_t kZeros = 0x3030303030303030;
    if (fixed <= scientific) {
        // A fixed text no longer than the scientific one has at most five zeros after the
        // digits, or three between the point and them.
        if (power >= 0) {
            put(out, text);
            put(out + count, kZeros);
            return out + count + power;
        }
        if (leading >= 0) {
            const int whole = leading + 1;
            put(out, text);
            out[whole] = '.';
            put(out + whole + 1, text >> (8 * whole));
            return out + count + 1;
        }
        const int zeros = -leading - 1;
        put(out, (kZeros << 16) | 0x2E30);  // "0." and zeros
        put(out + 2 + zeros, text);
        return out + 2 + zeros + count;
    }
    put(out, (text & 0xFF) | 0x2E00 | (text >> 8) << 16);  // d.ddddd
    out += count > 1 ? count + 1 : 1;
    *out++ = 'e';
    *out++ = leading < 0 ? '-' : '+';
    const auto magnitude = static_cast<std::uint32_t>(std::abs(leading));
    if (magnitude < 100) {
        std::memcpy(out, kDigitPairs + 2 * magnitude, 2);
        return out + 2;
    }
    return std::to_chars(out, out + 3, magnitude).ptr;
}

// A whole number past a single's exact integers prints its own binary value in full rather than
// the zeros of its short decimal (of the texts of one length, the nearest): the general way
// writes that, and subnormal singles.
bool QuickSingle(float single) {
    constexpr float kExactIntegers = 16777216.0f;
    return std::isnormal(single) && std::fabs(single) < kExactIntegers;
}

}  // namespace

char* ShortestSingleText(char* first, float single) {
    std::uint32_t digits = 0;
    int power = 0;
    double value = 0;
    if (QuickSingle(single) && (QuickSixDigits(std::fabs(single), digits, power) ||
                                SixDigitDecimal(std::fabs(single), digits, power, value))) {
        if (std::signbit(single)) {
            *first++ = '-';
        }
        return WriteDecimal(first, digits, power);
    }
    return std::to_chars(first, first + 32, single).ptr;
}

double ShortestSingleDouble(float single) {
    std::uint32_t digits = 0;
    int power = 0;
    double value = 0;
    if (QuickSingle(single)) {
        if (QuickSixDigits(std::fabs(single), digits, power)) {
            // Both factors exact: the decimal's double, correctly rounded, as its text reads.
            value = Scaled(digits, power);
            return std::signbit(single) ? -value : value;
        }
        if (SixDigitDecimal(std::fabs(single), digits, power, value)) {
            return std::signbit(single) ? -value : value;
        }
    }
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, single).ptr;
    double number = 0;
    std::from_chars(buffer, end, number);
    return number;
}

}  // namespace velto
