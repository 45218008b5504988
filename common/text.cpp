#include "common/text.h"

#include <locale.h>
#include <stdlib.h>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "common/checked.h"
#include "common/error.h"

namespace velto {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Parses the number grammar shared by Val and the strict conversion into a compact text that
// from_chars reads: [sign] digits [. digits] [E [sign] digits]. `pos` is left at the first
// character that cannot continue the number. `skipInner` makes blanks, TABs and line feeds inside
// the number invisible, as Val wants.
struct NumberScan {
    std::string compact;
    bool sawDigit = false;
};

NumberScan ScanNumber(std::string_view text, std::size_t& pos, bool skipInner) {
    NumberScan scan;
    auto skip = [&] {
        if (!skipInner) {
            return;
        }
        while (pos < text.size() && (IsBlank(text[pos]) || text[pos] == '\n')) {
            ++pos;
        }
    };
    skip();
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        scan.compact += text[pos++];
        skip();
    }
    while (pos < text.size() && IsDigit(text[pos])) {
        scan.compact += text[pos++];
        scan.sawDigit = true;
        skip();
    }
    if (pos < text.size() && text[pos] == '.') {
        scan.compact += text[pos++];
        skip();
        while (pos < text.size() && IsDigit(text[pos])) {
            scan.compact += text[pos++];
            scan.sawDigit = true;
            skip();
        }
    }
    if (scan.sawDigit && pos < text.size()) {
        char e = text[pos];
        if (e == 'E' || e == 'e' || e == 'D' || e == 'd') {
            // An exponent marker only counts when digits follow it; "1.5E" is 1.5.
            std::size_t save = pos;
            std::string exponent = "E";
            ++pos;
            skip();
            if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
                exponent += text[pos++];
                skip();
            }
            bool expDigit = false;
            while (pos < text.size() && IsDigit(text[pos])) {
                exponent += text[pos++];
                expDigit = true;
                skip();
            }
            if (expDigit) {
                scan.compact += exponent;
            } else {
                pos = save;
            }
        }
    }
    return scan;
}

double ParseCompact(const std::string& compact) {
    // Read by the C rules whatever locale the process runs in: a window's application object, or
    // a Python script, may have switched to one that takes "624.4" for 624.
    const char* first = compact.data();
    const char* const last = first + compact.size();
    const bool negative = first < last && *first == '-';
    first += first < last && (*first == '+' || *first == '-') ? 1 : 0;
    double value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (error == std::errc::result_out_of_range) {
        // from_chars gives no value beyond the doubles; the C library in the C locale says
        // whether it overflowed (an error) or underflowed (zero or a denormal, a fine answer for
        // a listing value).
        static const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t{});
        errno = 0;
        value = ::strtod_l(compact.c_str(), nullptr, c);
        if (errno == ERANGE && std::isinf(value)) {
            Raise(kOverflow);
        }
        return value;
    }
    if (error != std::errc() || end != last) {
        Raise(kTypeMismatch);  // the scan hands over only what it read as a number
    }
    return negative ? -value : value;
}

double StrictNumber(std::string_view word) {
    std::size_t pos = 0;
    while (pos < word.size() && IsBlank(word[pos])) {
        ++pos;
    }
    NumberScan scan = ScanNumber(word, pos, false);
    while (pos < word.size() && IsBlank(word[pos])) {
        ++pos;
    }
    if (!scan.sawDigit || pos != word.size()) {
        Raise(kTypeMismatch);
    }
    return ParseCompact(scan.compact);
}

template <typename T>
T RoundTo(double value) {
    if (std::isnan(value)) {
        Raise(kOverflow);
    }
    // nearbyint rounds halves to even in the default rounding mode.
    double rounded = std::nearbyint(value);
    if (rounded < static_cast<double>(std::numeric_limits<T>::min()) ||
        rounded > static_cast<double>(std::numeric_limits<T>::max())) {
        Raise(kOverflow);
    }
    return static_cast<T>(rounded);
}

}  // namespace

// The word that starts at or after `i`, moving `i` past it; empty at the end of the text.
static std::string_view NextWord(std::string_view text, std::size_t& i) {
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    std::size_t start = i;
    while (i < text.size() && !IsBlank(text[i])) {
        ++i;
    }
    return text.substr(start, i - start);
}

std::vector<std::string_view> Tokenize(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    for (std::string_view word = NextWord(text, i); !word.empty(); word = NextWord(text, i)) {
        words.push_back(word);
    }
    return words;
}

std::string_view WordAt(std::string_view text, std::size_t k) {
    std::string_view word = FindWord(text, k);
    if (word.empty()) {
        Raise(kSubscriptOutOfRange);
    }
    return word;
}

namespace {

// A listing value as the solver prints it ("-3.98511E-01"): an optional minus, digits with an
// optional point, an optional exponent. With at most 15 significant digits and a power of ten
// within 1E+-22 both the digits and the power are exact doubles, so one multiplication or
// division rounds the decimal correctly, to the very double a full conversion gives. False,
// leaving `value`, for any other text.
bool ReadPlainDecimal(std::string_view text, double& value) {
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = p < end && *p == '-';
    p += negative ? 1 : 0;
    std::uint64_t digits = 0;
    int significant = 0;
    int scale = 0;
    bool sawDigit = false;
    auto take = [&](bool afterPoint) {
        while (p < end && IsDigit(*p)) {
            sawDigit = true;
            if (digits != 0 || *p != '0') {
                digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
                ++significant;
            }
            scale -= afterPoint ? 1 : 0;
            ++p;
        }
    };
    take(false);
    if (p < end && *p == '.') {
        ++p;
        take(true);
    }
    if (!sawDigit || significant > 15) {
        return false;
    }
    int exponent = 0;
    if (p < end && (*p == 'E' || *p == 'e')) {
        ++p;
        const bool down = p < end && *p == '-';
        p += p < end && (*p == '-' || *p == '+') ? 1 : 0;
        if (p == end || end - p > 3) {
            return false;
        }
        for (; p < end && IsDigit(*p); ++p) {
            exponent = exponent * 10 + (*p - '0');
        }
        exponent = down ? -exponent : exponent;
    }
    if (p != end) {
        return false;
    }
    const int power = exponent + scale;
    const auto magnitude = static_cast<double>(digits);
    if (digits == 0) {
        value = negative ? -0.0 : 0.0;
        return true;
    }
    if (power < -22 || power > 22) {
        return false;
    }
    const double exact = power < 0 ? magnitude / text_detail::kPowersOfTen[-power]
                                   : magnitude * text_detail::kPowersOfTen[power];
    value = negative ? -exact : exact;
    return true;
}

}  // namespace

double Val(std::string_view text) {
    // Listing values are plain words: read in place when the whole text is one. Every reading
    // here rounds correctly, so they give the very same double; anything else (blanks, a D
    // exponent, a leading +, trailing text, a value out of range) takes the general way.
    double value = 0;
    if (text_detail::ReadSolverValue(text, value) || ReadPlainDecimal(text, value)) {
        return value;
    }
    const std::size_t lead = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() > lead && (IsDigit(text[lead]) || text[lead] == '.')) {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc() && end == text.data() + text.size()) {
            return value;
        }
    }
    std::size_t pos = 0;
    NumberScan scan = ScanNumber(text, pos, true);
    if (!scan.sawDigit) {
        return 0.0;
    }
    return ParseCompact(scan.compact);
}

Integer ToInteger(std::string_view word) {
    return RoundTo<Integer>(StrictNumber(word));
}

Long ToLong(std::string_view word) {
    return RoundTo<Long>(StrictNumber(word));
}

Integer RoundToInteger(double value) {
    return RoundTo<Integer>(value);
}

Long RoundToLong(double value) {
    return RoundTo<Long>(value);
}

Single ToSingle(double value) {
    float single = static_cast<float>(value);
    if (std::isinf(single) && !std::isinf(value)) {
        Raise(kOverflow);
    }
    return single;
}

Single OtherListingValue(std::string_view word) {
    // Every other plain shape ("3.2383E-01", a thermal table's " 92.8", "-0.5", "12") read where
    // it stands, by the very reading the general rule ends in: the same double, without copying
    // the word first. What it does not take whole (a sign it does not read, Fortran's exponents,
    // a value beyond the doubles, a word that is no number) goes the general way.
    const std::string_view number = TrimBlanks(word);
    const std::size_t lead = !number.empty() && number.front() == '-' ? 1 : 0;
    if (double value = 0; text_detail::ReadFixedPoint(number, value)) {
        return static_cast<Single>(value);  // at most 15 digits: always within a single
    }
    if (lead < number.size() && (IsDigit(number[lead]) || number[lead] == '.')) {
        double value = 0;
        const char* const last = number.data() + number.size();
        const auto [end, error] = std::from_chars(number.data(), last, value);
        if (error == std::errc() && end == last) {
            return ToSingle(value);
        }
    }
    return ToSingle(ListingNumber(word));
}

double ListingNumber(std::string_view word) {
    const std::string_view number = TrimBlanks(word);
    const std::size_t sign = number.find_last_of("+-");
    if (sign != std::string_view::npos && sign > 0 && IsDigit(number[sign - 1]) &&
        number.size() - sign == 4 &&
        number.find_first_not_of("0123456789", sign + 1) == std::string_view::npos) {
        // "1.23456-100": a mantissa with its point and no exponent, a signed three-digit power.
        const std::string_view mantissa = number.substr(0, sign);
        if (mantissa.find('.') != std::string_view::npos &&
            mantissa.find_first_of("EeDd") == std::string_view::npos) {
            std::string written(mantissa);
            written += 'E';
            written += number.substr(sign);
            return StrictNumber(written);
        }
    }
    return StrictNumber(number);
}

bool IsNumeric(std::string_view text) {
    try {
        StrictNumber(text);
        return true;
    } catch (const RuntimeError& error) {
        // A number too large for a double is still a number.
        return error.number() == kOverflow;
    }
}

std::string_view TrimBlanks(std::string_view text) {
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    std::size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string ReplaceAll(std::string_view text, std::string_view what, std::string_view with) {
    std::string result;
    if (what.empty()) {
        return std::string(text);
    }
    std::size_t pos = 0;
    for (;;) {
        std::size_t hit = text.find(what, pos);
        if (hit == std::string_view::npos) {
            result.append(text.substr(pos));
            return result;
        }
        result.append(text.substr(pos, hit - pos));
        result.append(with);
        pos = hit + what.size();
    }
}

}  // namespace velto
