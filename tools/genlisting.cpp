// velto-genlisting: writes a synthetic Velto result listing.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <limits>
#include <string>
#include <string_view>

#include "tools/listinggen.h"

namespace {

constexpr const char* kUsage =
    "usage: velto-genlisting [--kind thermal|static|dynamic|torsion] [--ndim 2|3] [--nodes N]\n"
    "                        [--solids N] [--trusses N] [--beams N] [--shells N] [--soils N]\n"
    "                        [--beam-points N] [--area-points N] [--fibers N]\n"
    "                        [--stress-tables N] [--tangent-tables N] [--no-displacements]\n"
    "                        [--times N] [--time-step X] [--protection MM] [--digits 1..9]\n"
    "                        [--size BYTES[K|M|G]]\n"
    "                        [--line-end lf|crlf|cr] [--version TEXT] -o FILE\n";

struct UsageError {
    std::string message;
};

template <typename T>
T ParseNumber(std::string_view option, std::string_view text, T min, T max) {
    T value{};
    const auto res = std::from_chars(text.data(), text.data() + text.size(), value);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size() || value < min ||
        value > max) {
        throw UsageError{"invalid value for " + std::string(option) + ": '" + std::string(text) +
                         "'"};
    }
    return value;
}

int ParseCount(std::string_view option, std::string_view text) {
    return ParseNumber<int>(option, text, 0, std::numeric_limits<int>::max());
}

// Bytes with an optional binary suffix: 200M = 200 * 2^20.
std::uint64_t ParseSize(std::string_view text) {
    std::uint64_t scale = 1;
    if (!text.empty()) {
        switch (text.back()) {
            case 'k':
            case 'K':
                scale = std::uint64_t{1} << 10;
                break;
            case 'm':
            case 'M':
                scale = std::uint64_t{1} << 20;
                break;
            case 'g':
            case 'G':
                scale = std::uint64_t{1} << 30;
                break;
            default:
                break;
        }
    }
    const std::string_view digits = scale == 1 ? text : text.substr(0, text.size() - 1);
    const auto n = ParseNumber<std::uint64_t>("--size", digits, 1,
                                              std::numeric_limits<std::uint64_t>::max() / scale);
    return n * scale;
}

velto::ListingKind ParseKind(std::string_view text) {
    if (text == "thermal") {
        return velto::ListingKind::Thermal;
    }
    if (text == "static") {
        return velto::ListingKind::Static;
    }
    if (text == "dynamic") {
        return velto::ListingKind::Dynamic;
    }
    if (text == "torsion") {
        return velto::ListingKind::Torsion;
    }
    throw UsageError{"unknown kind '" + std::string(text) + "'"};
}

std::string ParseLineEnd(std::string_view text) {
    if (text == "lf") {
        return "\n";
    }
    if (text == "crlf") {
        return "\r\n";
    }
    if (text == "cr") {
        return "\r";
    }
    throw UsageError{"unknown line end '" + std::string(text) + "'"};
}

// A decimal number that `valid` accepts (NaN never is).
template <typename Valid>
double ParseDecimal(std::string_view option, std::string_view text, Valid valid) {
    const std::string s(text);
    // By the C rules whatever the locale, a leading + allowed as before.
    const std::string_view digits = text.starts_with('+') ? text.substr(1) : text;
    double v = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (s.empty() || error != std::errc() || end != digits.data() + digits.size() || !valid(v)) {
        throw UsageError{"invalid value for " + std::string(option) + ": '" + s + "'"};
    }
    return v;
}

struct Options {
    velto::ListingSpec spec;
    std::string output;
    bool help = false;
};

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            return o;
        }
        if (arg == "--no-displacements") {
            o.spec.displacements = false;
            continue;
        }
        if (i + 1 >= argc) {
            throw UsageError{arg.starts_with("-")
                                 ? "missing value for " + std::string(arg)
                                 : "unexpected argument '" + std::string(arg) + "'"};
        }
        const std::string_view value = argv[++i];
        velto::ListingSpec& s = o.spec;
        if (arg == "-o") {
            o.output = value;
        } else if (arg == "--kind") {
            s.kind = ParseKind(value);
        } else if (arg == "--ndim") {
            s.ndim = ParseNumber<int>(arg, value, 2, 3);
        } else if (arg == "--nodes") {
            s.nodes = ParseNumber<long>(arg, value, 0, std::numeric_limits<long>::max());
        } else if (arg == "--solids") {
            s.solids = ParseCount(arg, value);
        } else if (arg == "--trusses") {
            s.trusses = ParseCount(arg, value);
        } else if (arg == "--beams") {
            s.beams = ParseCount(arg, value);
        } else if (arg == "--shells") {
            s.shells = ParseCount(arg, value);
        } else if (arg == "--soils") {
            s.soils = ParseCount(arg, value);
        } else if (arg == "--beam-points") {
            s.beamPoints = ParseNumber<int>(arg, value, 1, 99);
        } else if (arg == "--area-points") {
            s.areaPoints = ParseNumber<int>(arg, value, 1, 999);
        } else if (arg == "--fibers") {
            s.fibers = ParseNumber<int>(arg, value, 1, 99999);
        } else if (arg == "--stress-tables") {
            s.stressTables = ParseCount(arg, value);
        } else if (arg == "--tangent-tables") {
            s.tangentTables = ParseCount(arg, value);
        } else if (arg == "--times") {
            s.times = ParseNumber<int>(arg, value, 0, velto::kMaxTimeBlocks);
        } else if (arg == "--time-step") {
            s.timeStep = ParseDecimal(arg, value, [](double v) { return v > 0.0 && v <= 1e12; });
        } else if (arg == "--digits") {
            s.digits = ParseNumber<int>(arg, value, 1, 9);
        } else if (arg == "--protection") {
            s.protection =
                ParseDecimal(arg, value, [](double v) { return v >= 0.0 && v <= 1000.0; });
        } else if (arg == "--size") {
            s.targetBytes = ParseSize(value);
        } else if (arg == "--line-end") {
            s.lineEnd = ParseLineEnd(value);
        } else if (arg == "--version") {
            s.version = value;
        } else {
            throw UsageError{"unknown option '" + std::string(arg) + "'"};
        }
    }
    if (o.output.empty()) {
        throw UsageError{"no output file (-o FILE)"};
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = Parse(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "velto-genlisting: " << e.message << '\n' << kUsage;
        return 2;
    }
    if (options.help) {
        std::cout << kUsage;
        return 0;
    }
    try {
        const int blocks = velto::WriteListingFile(options.spec, options.output);
        const auto bytes = std::filesystem::file_size(options.output);
        std::cout << options.output << ": " << bytes << " bytes, " << blocks << " time blocks\n";
    } catch (const std::invalid_argument& e) {
        std::cerr << "velto-genlisting: " << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "velto-genlisting: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
