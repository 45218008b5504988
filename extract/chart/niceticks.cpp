#include "extract/chart/niceticks.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velto {

namespace {

// A step of mantissa * 10^exponent; ticks are whole multiples of it, each computed from integers
// in one rounding so that 0.1 * 3 does not come out as 0.30000000000000004.
struct Step {
    double mantissa;
    int exponent;

    double Value() const { return Scaled(1); }
    double Scaled(double k) const {
        return exponent >= 0 ? k * mantissa * std::pow(10.0, exponent)
                             : k * mantissa / std::pow(10.0, -exponent);
    }
};

double Count(double min, double max, const Step& step) {
    const double s = step.Value();
    return std::ceil(max / s - 1e-9) - std::floor(min / s + 1e-9) + 1;
}

std::vector<double> Multiples(double min, double max, const Step& step) {
    const double s = step.Value();
    std::vector<double> ticks;
    for (double k = std::floor(min / s + 1e-9); k <= std::ceil(max / s - 1e-9); ++k) {
        ticks.push_back(step.Scaled(k) + 0.0);  // + 0.0: no "-0" tick
    }
    return ticks;
}

// Orders the range and gives a single value some room; anything not finite is no range at all.
bool Prepare(double& min, double& max, int& maxCount) {
    // Three ticks always fit a step as wide as the range, so the search below ends.
    maxCount = std::max(maxCount, 3);
    if (!std::isfinite(min) || !std::isfinite(max)) {
        return false;
    }
    if (min > max) {
        std::swap(min, max);
    }
    if (min == max) {
        const double room = min == 0 ? 1 : std::abs(min) / 10;
        min -= room;
        max += room;
    }
    return true;
}

// The decimals that write the step exactly (as far as a tick needs): 0.25 takes 2, 600 none.
int DecimalsOf(double step) {
    int decimals = 0;
    double scaled = step;
    while (decimals < 15 && std::abs(scaled - std::round(scaled)) > 1e-6 * scaled) {
        ++decimals;
        scaled *= 10;
    }
    return decimals;
}

}  // namespace

std::vector<double> NiceTicks(double min, double max, int maxCount) {
    if (!Prepare(min, max, maxCount)) {
        return {0, 1};
    }
    // From a step just below the even split upwards: the first that fits has the most ticks.
    int exponent = static_cast<int>(std::floor(std::log10((max - min) / (maxCount - 1))));
    for (;; ++exponent) {
        for (double mantissa : {1.0, 2.0, 5.0}) {
            const Step step{mantissa, exponent};
            if (Count(min, max, step) <= maxCount) {
                return Multiples(min, max, step);
            }
        }
    }
}

std::vector<double> TimeTicks(double min, double max, int maxCount) {
    if (!Prepare(min, max, maxCount)) {
        return {0, 1};
    }
    std::vector<double> decimal = NiceTicks(min, max, maxCount);
    // Clock and calendar steps where they read as such; times whose labels take powers of ten
    // (past three years) read best in round decimals.
    if (decimal.size() < 2 || decimal[1] - decimal[0] <= 10 ||
        std::max(std::abs(min), std::abs(max)) >= 1e8) {
        return decimal;
    }
    static constexpr double kClock[] = {15,   20,   30,   60,   120,   300,   600,  900,
                                        1200, 1800, 3600, 7200, 10800, 21600, 43200};
    for (double seconds : kClock) {
        if (Count(min, max, Step{seconds, 0}) <= maxCount) {
            return Multiples(min, max, Step{seconds, 0});
        }
    }
    for (int exponent = 0;; ++exponent) {
        for (double days : {1.0, 2.0, 5.0}) {
            const Step step{days * 86400, exponent};
            if (Count(min, max, step) <= maxCount) {
                return Multiples(min, max, step);
            }
        }
    }
}

std::vector<std::string> TickLabels(const std::vector<double>& ticks) {
    double largest = 0;
    for (double t : ticks) {
        largest = std::max(largest, std::abs(t));
    }
    const double step = ticks.size() > 1 ? std::abs(ticks[1] - ticks[0]) : 1;
    std::vector<std::string> labels;
    char text[64];
    if (largest >= 1e8 || (step > 0 && step < 1e-4)) {
        // The digits the step needs against the largest tick's power of ten.
        const int digits = DecimalsOf(step / std::pow(10.0, std::floor(std::log10(largest))));
        for (double t : ticks) {
            if (t == 0) {
                labels.emplace_back("0");
                continue;
            }
            // The C rules whatever the locale: a window's locale may write a decimal comma.
            *std::to_chars(text, text + sizeof text - 1, t, std::chars_format::scientific, digits)
                 .ptr = '\0';
            const char* e = std::strchr(text, 'e');
            std::string mantissa(text, static_cast<std::size_t>(e - text));
            if (mantissa.find('.') != std::string::npos) {
                mantissa.erase(mantissa.find_last_not_of('0') + 1);
                if (mantissa.back() == '.') {
                    mantissa.pop_back();
                }
            }
            labels.push_back(mantissa + 'e' + std::to_string(std::atoi(e + 1)));
        }
        return labels;
    }
    const int decimals = DecimalsOf(step);
    const bool grouped = largest >= 10000;
    for (double t : ticks) {
        *std::to_chars(text, text + sizeof text - 1, t + 0.0, std::chars_format::fixed, decimals)
             .ptr = '\0';
        std::string label = text;
        if (label.find_first_not_of("-0.") == std::string::npos) {
            label = decimals == 0 ? "0" : label.substr(label[0] == '-' ? 1 : 0);
        }
        if (grouped) {
            // A thin space between groups of three figures, from the point leftwards.
            const std::size_t start = label[0] == '-' ? 1 : 0;
            std::size_t end = std::min(label.find('.'), label.size());
            while (end > start + 3) {
                end -= 3;
                label.insert(end, "\xE2\x80\x89");
            }
        }
        labels.push_back(std::move(label));
    }
    return labels;
}

}  // namespace velto
