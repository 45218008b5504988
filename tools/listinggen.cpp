#include "tools/listinggen.h"

#include <locale.h>
#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace velto {
namespace {

// A structural value as it is printed: (-)d.ddddd E(+-)xx, value = ±digits * 10^(exponent-5).
struct Printed {
    bool negative;
    std::uint32_t digits;  // 100000 .. 999999
    int exponent;          // -10 .. 10
    int shown = 6;         // the significant digits it is printed with
};

constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// Each step of item, component or time moves the key by an amount that is not a multiple of ten,
// so neighbours never share its last digit.
std::uint64_t Key(Table table, int component, long item, int timeIndex) {
    return static_cast<std::uint64_t>(item) * 7919u +
           static_cast<std::uint64_t>(component) * 104729u +
           static_cast<std::uint64_t>(timeIndex) * 15485863u +
           static_cast<std::uint64_t>(table) * 1299709u;
}

double ToDouble(const Printed& p) {
    // One correctly rounded operation on exact integers: "%.5E" gives the digits back.
    const int shift = 5 - p.exponent;
    const double v = shift >= 0 ? p.digits / kPow10[shift] : p.digits * kPow10[-shift];
    return p.negative ? -v : v;
}

// Six significant digits of v, the last one replaced by the key's: a change below a hundred
// thousandth that keeps neighbouring values apart wherever the model gives them close.
Printed Quantize(double v, std::uint64_t key) {
    const double a = std::max(std::fabs(v), 1e-10);
    int exponent = std::clamp(static_cast<int>(std::floor(std::log10(a))), -10, 10);
    const auto digitsAt = [a](int e) {
        const int shift = 5 - e;
        return std::nearbyint(shift >= 0 ? a * kPow10[shift] : a / kPow10[-shift]);
    };
    double d = digitsAt(exponent);
    if (d >= 999999.5 && exponent < 10) {
        d = digitsAt(++exponent);
    } else if (d < 99999.5 && exponent > -10) {
        d = digitsAt(--exponent);
    }
    const auto digits = static_cast<std::uint32_t>(std::clamp(d, 100000.0, 999999.0));
    return Printed{v < 0, digits - digits % 10u + static_cast<std::uint32_t>(key % 10u), exponent};
}

// --- the fire model (see TableValue in the header) ------------------------------------------

constexpr int kDepths = 20;             // nodes through the section, from the exposed face
constexpr double kDepthStep = 5.0;      // mm between them
constexpr int kStations = 12;           // stations along a member
constexpr double kYieldStrength = 355;  // N/mm², S355 steel
constexpr double kYoungModulus = 210000;
constexpr double kExpansion = 1.2e-5;  // 1/C, steel

double StandardFire(double t) {
    return std::min(20.0 + 345.0 * std::log10(8.0 * t / 60.0 + 1.0), 1200.0);
}

// Reduction factors of steel at elevated temperature (EN 1993-1-2, table 3.1), every 100 C from
// 100 C: the elastic modulus and the effective yield strength.
constexpr double kModulusFactor[] = {1.0,  0.9,  0.8,    0.7,   0.6,    0.31,
                                     0.13, 0.09, 0.0675, 0.045, 0.0225, 0.0};
constexpr double kYieldFactor[] = {1.0,  1.0,  1.0,  1.0,  0.78, 0.47,
                                   0.23, 0.11, 0.06, 0.04, 0.02, 0.0};

double Reduction(const double (&factor)[12], double theta) {
    const double x = std::clamp(theta / 100.0 - 1.0, 0.0, 11.0);
    const int i = std::min(static_cast<int>(x), 10);
    return factor[i] + (factor[i + 1] - factor[i]) * (x - i);
}

// A softened member keeps a little stiffness and strength: values stay finite and printable.
double ModulusFactor(double theta) {
    return std::max(Reduction(kModulusFactor, theta), 0.05);
}
double YieldFactor(double theta) {
    return std::max(Reduction(kYieldFactor, theta), 0.02);
}

// The shapes along a member at one station: none is zero there.
struct Station {
    double sine;     // sag
    double cosine;   // slope, changing sign at midspan
    double linear;   // -1 .. 1 from one end to the other: expansion from the middle
    double hogging;  // sag less a hogging moment over the supports
};

// Where an item falls in a cycle of `period` (depths or stations), whatever its number.
std::size_t Cycle(long item, int period) {
    return static_cast<std::size_t>(((item - 1) % period + period) % period);
}

const Station& StationOf(long item) {
    static const auto stations = [] {
        std::array<Station, kStations> s{};
        for (int i = 0; i < kStations; ++i) {
            const double xi = (i + 0.5) / kStations;
            const double sine = std::sin(std::numbers::pi * xi);
            s[i] = {sine, std::cos(std::numbers::pi * xi), 2.0 * xi - 1.0, sine - 0.5};
        }
        return s;
    }();
    return stations[Cycle(item, kStations)];
}

int DepthOf(long item) {
    return static_cast<int>(Cycle(item, kDepths));
}

// The state of the section and its members at one time: what every value of a block draws on.
struct Heat {
    double temperature[kDepths];  // C, from the exposed face inwards
    double growth;                // displacements over their cold values
    double thrust;                // restrained thermal expansion: 0 cold, at most 0.5 near 500 C
    double shedding;              // forces over their cold values, 1 .. 1.5
    int digits;                   // a structural value's printed significant digits

    Heat(const ListingSpec& s, int timeIndex) : digits(std::clamp(s.digits, 1, 9)) {
        const double t = std::max(timeIndex * s.timeStep, 0.0);
        const double rise = StandardFire(t) - 20.0;
        for (int k = 0; k < kDepths; ++k) {
            const double z = k * kDepthStep;
            const double tau = 240.0 + 300.0 * s.protection + z * z / 0.5;
            temperature[k] = 20.0 + std::exp(-z / 100.0) * rise * -std::expm1(-t / tau);
        }
        const double steel = temperature[0];
        const double stiffness = ModulusFactor(steel);
        growth = (1.0 + (steel - 20.0) / 600.0) / stiffness;
        thrust = stiffness * (steel - 20.0) / 600.0;
        shedding = 1.5 - 0.5 / growth;
    }
};

long TemperatureTenths(const Heat& h, long item) {
    return std::clamp(std::lround(h.temperature[DepthOf(item)] * 10.0), 200L, 11999L);
}

// The value before its last digit is made its own. Components beyond a table's columns repeat its
// later columns, so that any component has a value.
double Model(const Heat& h, Table table, int component, long item) {
    const Station& x = StationOf(item);
    const double g = h.growth;
    const double f = h.shedding;
    switch (table) {
        case Table::Displacement: {  // m and rad
            static constexpr double kAmplitude[] = {0,      -0.004, -0.002, -0.001,
                                                    0.0015, 0.0008, 0.0003};
            const int c = component < 7 ? component : 3 + (component - 3) % 4;
            if (c == 0) {  // a 6 m member expanding from its middle, on its cold sway
                return x.linear * (0.001 + 3.0 * kExpansion * (h.temperature[0] - 20.0));
            }
            const double shape[] = {0, x.sine, x.cosine, x.sine, x.cosine, x.linear, x.sine};
            return kAmplitude[c] * shape[c] * g;
        }
        case Table::Eigen:
            return 1.0 / g;
        case Table::Truss:  // N
            return 3.0e4 * x.cosine * f;
        case Table::Beam: {  // N, Nm
            const int c = component < 5 ? component : 1 + (component - 1) % 4;
            switch (c) {
                case 0:
                    return -1.5e5 - 6.0e5 * h.thrust;
                case 1:
                    return 4.0e4 * x.hogging * f;
                case 2:
                    return 8.0e3 * x.cosine * f;
                case 3:
                    return 300.0 * x.linear * g;
                default:
                    return 150.0 * x.sine * g;
            }
        }
        case Table::Membrane:   // kN/m: tension mid-slab as it sags, a compressive ring at its edge
        case Table::Bending: {  // kNm/m
            const bool membrane = table == Table::Membrane;
            const double scale = membrane ? std::sqrt(g) : f;
            const double nx = (membrane ? 120.0 : 25.0) * x.hogging * scale;
            const double ny = (membrane ? 80.0 : 15.0) * x.hogging * scale;
            const double nxy = (membrane ? 30.0 : 6.0) * x.cosine * scale;
            const double mean = (nx + ny) / 2.0;
            const double radius = std::hypot((nx - ny) / 2.0, nxy);
            const double values[] = {nx, ny, nxy, mean + radius, mean - radius};
            return values[component % 5];
        }
        case Table::Soil:  // kN and kN/m² on 0.5 m²: the springs either side push opposite ways
            return (component % 2 == 0 ? 40.0 : 80.0) * x.linear * f;
        case Table::Stress: {  // N/mm²: tension at the exposed face, capped by the hot strength
            const int k = DepthOf(item);
            const double along = 0.6 + 0.4 * StationOf(component + 1).sine;  // more at midspan
            const double bending = 180.0 * (1.0 - 2.0 * k / (kDepths - 1.0)) * along * f;
            const double cap = kYieldStrength * YieldFactor(h.temperature[k]);
            return std::clamp(bending, -cap, cap);
        }
        case Table::Tangent:  // N/mm²
            return kYoungModulus * ModulusFactor(h.temperature[DepthOf(item)]);
        case Table::Temperature:
            return static_cast<double>(TemperatureTenths(h, item)) / 10.0;
    }
    return 0.0;
}

Printed Structural(const Heat& h, Table table, int component, long item, int timeIndex) {
    Printed p = Quantize(Model(h, table, component, item), Key(table, component, item, timeIndex));
    p.shown = h.digits;
    return p;
}

// --- formatting into the block buffer -------------------------------------------------------

void AppendInt(std::string& s, long long v, int width) {
    char tmp[24];
    const auto res = std::to_chars(tmp, tmp + sizeof tmp, v);
    const int len = static_cast<int>(res.ptr - tmp);
    if (len < width) {
        s.append(static_cast<std::size_t>(width - len), ' ');
    }
    s.append(tmp, res.ptr);
}

// "%<width>.4f" of a value given in ten-thousandths.
void AppendFixed4(std::string& s, long long tenThousandths, int width) {
    const bool negative = tenThousandths < 0;
    const unsigned long long a =
        negative ? 0ull - static_cast<unsigned long long>(tenThousandths) : tenThousandths;
    char tmp[32];
    char* p = tmp;
    if (negative) {
        *p++ = '-';
    }
    p = std::to_chars(p, tmp + 24, a / 10000u).ptr;
    *p++ = '.';
    unsigned frac = static_cast<unsigned>(a % 10000u);
    for (int i = 3; i >= 0; --i) {
        p[i] = static_cast<char>('0' + frac % 10u);
        frac /= 10u;
    }
    p += 4;
    const int len = static_cast<int>(p - tmp);
    if (len < width) {
        s.append(static_cast<std::size_t>(width - len), ' ');
    }
    s.append(tmp, p);
}

// A value column: a blank, then the value's "%.5E" text (or with its own number of digits)
// right-aligned in 12, or wider for more than six digits.
void AppendValue(std::string& s, const Printed& v) {
    char tmp[20];
    char* p = tmp;
    *p++ = ' ';
    *p++ = v.negative ? '-' : ' ';
    std::uint32_t d = v.digits;
    int exponent = v.exponent;
    if (v.shown < 6) {
        // Rounded half away from zero, as the printed six digits are the value.
        std::uint32_t scale = 1;
        for (int i = v.shown; i < 6; ++i) {
            scale *= 10u;
        }
        d = (d + scale / 2) / scale;
        if (d >= static_cast<std::uint32_t>(kPow10[v.shown])) {
            d /= 10u;
            ++exponent;
        }
    }
    // The digits: `shown` of them, or six and zeros after.
    char mant[10];
    char* const end = std::to_chars(mant, mant + sizeof mant, d).ptr;
    std::fill(end, mant + std::max<std::ptrdiff_t>(v.shown, end - mant), '0');
    *p++ = mant[0];
    if (v.shown > 1) {
        *p++ = '.';
        p = std::copy(mant + 1, mant + v.shown, p);
    }
    *p++ = 'E';
    *p++ = exponent < 0 ? '-' : '+';
    const int e = exponent < 0 ? -exponent : exponent;
    *p++ = static_cast<char>('0' + e / 10);
    *p++ = static_cast<char>('0' + e % 10);
    const int width = std::max(12, v.shown + 7);
    if (p - tmp - 1 < width) {
        s.append(static_cast<std::size_t>(width - (p - tmp - 1)), ' ');
    }
    s.append(tmp + 1, p);
}

// "%6.1f" of a temperature in tenths (below 10000.0).
void AppendTemperature(std::string& s, long tenths) {
    AppendInt(s, tenths / 10, 4);
    s += '.';
    s += static_cast<char>('0' + tenths % 10);
}

// printf by the C rules: the solver writes "600.0000" whatever locale the program that
// generates a listing (a test of a window, say) runs in.
template <typename... Args>
std::string Printf(const char* format, Args... args) {
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    const locale_t previous = ::uselocale(c);
    char tmp[160];
    const int n = std::snprintf(tmp, sizeof tmp, format, args...);
    ::uselocale(previous);
    return std::string(tmp, static_cast<std::size_t>(std::max(n, 0)));
}

// Collects lines and hands them to the stream in large pieces.
class Sink {
  public:
    Sink(std::ostream& out, const std::string& eol) : out_(out), eol_(eol) {
        buf_.reserve(kChunk + (1u << 16));
    }
    std::string& Buffer() { return buf_; }
    void End() {
        buf_ += eol_;
        if (buf_.size() >= kChunk) {
            Flush();
        }
    }
    void Line(std::string_view text) {
        buf_ += text;
        End();
    }
    void Flush() {
        if (!buf_.empty()) {
            out_.write(buf_.data(), static_cast<std::streamsize>(buf_.size()));
            if (!out_) {
                throw std::runtime_error("velto listing: write failed");
            }
            flushed_ += buf_.size();
            buf_.clear();
        }
    }
    std::uint64_t Bytes() const { return flushed_ + buf_.size(); }

  private:
    static constexpr std::size_t kChunk = std::size_t{4} << 20;
    std::ostream& out_;
    const std::string& eol_;
    std::string buf_;
    std::uint64_t flushed_ = 0;
};

// --- the listing ----------------------------------------------------------------------------

const char* KindLine(ListingKind kind) {
    switch (kind) {
        case ListingKind::Thermal:
            return " TEMPERATURE ANALYSIS";
        case ListingKind::Static:
            return " STATIC ANALYSIS";
        case ListingKind::Dynamic:
            return " DYNAMIC ANALYSIS";
        case ListingKind::Torsion:
            return " TORSION ANALYSIS";
    }
    return " STATIC ANALYSIS";
}

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::invalid_argument(std::string("velto listing: ") + what);
    }
}

void Validate(const ListingSpec& s) {
    Check(s.kind == ListingKind::Thermal || s.kind == ListingKind::Static ||
              s.kind == ListingKind::Dynamic || s.kind == ListingKind::Torsion,
          "unknown analysis kind");
    Check(s.ndim == 2 || s.ndim == 3, "ndim must be 2 or 3");
    Check(s.lineEnd == "\n" || s.lineEnd == "\r\n" || s.lineEnd == "\r",
          "line end must be LF, CR LF or CR");
    Check(s.version.find_first_of("\r\n") == std::string::npos, "version holds a line break");
    std::string upper = s.version;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (const char* word : {"STATIC", "TEMPERAT", "TORSION", "DYNAMIC", "NDIM"}) {
        Check(upper.find(word) == std::string::npos, "version holds an analysis keyword");
    }
    Check(s.nodes >= 0 && s.solids >= 0 && s.trusses >= 0 && s.beams >= 0 && s.shells >= 0 &&
              s.soils >= 0,
          "negative count");
    Check(s.stressTables >= 0 && s.tangentTables >= 0, "negative table count");
    const bool beamTables = s.stressTables > 0 || s.tangentTables > 0;
    if (s.kind != ListingKind::Thermal) {
        Check(s.beams > 0 || !beamTables, "beam stress or tangent tables need beam elements");
        Check(s.beamPoints >= 1 || s.beams == 0, "beam points must be at least 1");
        Check(s.areaPoints >= 1 || s.shells == 0, "area points must be at least 1");
        Check(s.fibers >= 1 || (s.beams == 0 && !beamTables), "fibres must be at least 1");
    }
    Check(std::isfinite(s.timeStep), "time step must be finite");
    Check(s.protection >= 0 && s.protection <= 1000, "protection must lie in 0 .. 1000 mm");
    if (s.targetBytes == 0) {
        Check(s.times >= 0 && s.times <= kMaxTimeBlocks, "time blocks out of range");
    }
}

void WriteHead(const ListingSpec& s, Sink& out) {
    const std::string_view stars = " ************************************************************";
    out.Line(stars);
    out.Line("      PROGRAM 'VELTO', " + s.version + ", FINITE ELEMENTS FOR STRUCTURES IN FIRE");
    out.Line(stars);
    out.End();
    out.Line(Printf(" NDIM    %d     (NUMBER OF DIMENSIONS)", s.ndim));
    out.Line(KindLine(s.kind));
    out.End();
}

void WriteNodePositions(const ListingSpec& s, Sink& out) {
    out.Line(" POSITION OF THE NODES.");
    for (long n = 1; n <= s.nodes; ++n) {
        // A regular grid: 1000 nodes along x at 0.25 m, then rows at 0.5 m, then layers at 0.75 m.
        const long i = n - 1;
        std::string& b = out.Buffer();
        b += ' ';
        AppendInt(b, n, 6);
        b += "  ";
        AppendFixed4(b, (i % 1000) * 2500LL, 12);
        b += "  ";
        AppendFixed4(b, (i / 1000 % 1000) * 5000LL, 12);
        if (s.ndim == 3) {
            b += "  ";
            AppendFixed4(b, (i / 1000000) * 7500LL, 12);
        }
        out.End();
    }
}

void WriteTimeLine(const ListingSpec& s, int t, Sink& out) {
    out.End();
    out.Line(Printf("  TIME = %12.4f SEC.", t * s.timeStep));
    out.End();
}

void WriteThermalDescription(const ListingSpec& s, Sink& out) {
    out.Line(" DESCRIPTION OF THE STRUCTURE.");
    out.Line(Printf("  * THERE ARE %8ld NODES.", s.nodes));
    // As for the structural elements, a count line only for what the model holds.
    if (s.solids > 0) {
        out.Line(Printf("  * THERE ARE %8d SOLID ELEMENTS.", s.solids));
    }
    WriteNodePositions(s, out);
}

void WriteThermalBlock(const ListingSpec& s, int t, Sink& out) {
    const Heat heat(s, t);
    WriteTimeLine(s, t, out);
    out.Line(" NODE TEMP.  NODE TEMP.  NODE TEMP.  NODE TEMP.  NODE TEMP.");
    for (long first = 1; first <= s.nodes; first += 5) {
        std::string& b = out.Buffer();
        const long last = std::min(first + 4, s.nodes);
        for (long n = first; n <= last; ++n) {
            AppendInt(b, n % 100000, 5);
            AppendTemperature(b, TemperatureTenths(heat, n));
        }
        out.End();
    }
}

void WriteStructuralDescription(const ListingSpec& s, Sink& out) {
    out.Line(" DESCRIPTION OF THE STRUCTURE.");
    out.Line(Printf("  * THERE ARE %8ld NODES.", s.nodes));
    if (s.trusses > 0) {
        out.Line(Printf("  * THERE ARE %8d TRUSS ELEMENTS.", s.trusses));
    }
    if (s.beams > 0) {
        out.Line(Printf("  * THERE ARE %8d BEAM ELEMENTS.", s.beams));
        out.Line(Printf(" EACH OF THEM HAS %4d POINTS ALONG ITS AXIS.", s.beamPoints));
    }
    if (s.shells > 0) {
        out.Line(Printf("  * THERE ARE %8d SHELL ELEMENTS.", s.shells));
        out.Line(Printf(" %6d INTEGRATION POINTS ON THE AREA", s.areaPoints));
    }
    if (s.soils > 0) {
        out.Line(Printf("  * THERE ARE %8d SOIL ELEMENTS.", s.soils));
    }
    if (s.beams > 0) {
        out.Line(" GROUP OF GEOM. PROP.    1");
        out.Line("    SECTION FILE: section1.tem");
        out.Line("  * THERE ARE      999 NODES IN THE SECTION FILE.");
        out.Line("    THIS BEAM SECTION TYPE IS DISCRETIZED BY");
        out.Line(Printf(" %8d LONGITUDINAL FIBERS.", s.fibers));
    }
    WriteNodePositions(s, out);
    out.End();
    out.Line(" CONVERGENCE HAS BEEN OBTAINED.");
}

void WriteDisplacements(const ListingSpec& s, const Heat& h, int t, Sink& out) {
    out.Line(" TOTAL DISPLACEMENTS.");
    out.Line("  NODE    DOF 1     DOF 2     DOF 3     DOF 4     DOF 5     DOF 6     DOF 7");
    const int dofs = s.ndim == 2 ? 3 : 7;
    for (long n = 1; n <= s.nodes; ++n) {
        std::string& b = out.Buffer();
        b += ' ';
        AppendInt(b, n, 6);
        for (int c = 0; c < dofs; ++c) {
            AppendValue(b, Structural(h, Table::Displacement, c, n, t));
        }
        out.End();
    }
    out.Buffer() += " SMALLEST RELATIVE EIGEN VALUE OF THE MATRIX:";
    AppendValue(out.Buffer(), Structural(h, Table::Eigen, 0, 1, t));
    out.End();
}

void WriteTrusses(const ListingSpec& s, const Heat& h, int t, Sink& out) {
    out.Line(" INTERNAL SOLLICITATIONS IN THE TRUSS ELEMENTS.");
    out.Line("  ELEM.      N");
    for (int e = 1; e <= s.trusses; ++e) {
        std::string& b = out.Buffer();
        b += ' ';
        AppendInt(b, e, 6);
        AppendValue(b, Structural(h, Table::Truss, 0, e, t));
        out.End();
    }
}

void WriteBeams(const ListingSpec& s, const Heat& h, int t, Sink& out) {
    out.Line(" INTERNAL SOLLICITATIONS IN THE BEAM ELEMENTS.");
    out.Line(s.ndim == 2 ? "  ELEM. PT.    N           M"
                         : "  ELEM. PT.    N           MY          MZ          Mw         Mr2");
    const int columns = s.ndim == 2 ? 2 : 5;
    for (int e = 1; e <= s.beams; ++e) {
        for (int p = 1; p <= s.beamPoints; ++p) {
            const long item = static_cast<long>(e - 1) * s.beamPoints + p;
            std::string& b = out.Buffer();
            b += ' ';
            AppendInt(b, e, 6);
            b += ' ';
            AppendInt(b, p, 3);
            for (int c = 0; c < columns; ++c) {
                AppendValue(b, Structural(h, Table::Beam, c, item, t));
            }
            out.End();
        }
    }
}

// Membrane (N) or bending (M) forces: one line per element and surface.
void WriteShellForces(const ListingSpec& s, const Heat& h, int t, Table table, Sink& out) {
    const bool membrane = table == Table::Membrane;
    out.Line(membrane ? " MEMBRANE FORCES Nx, Ny & Nxy IN THE SHELL ELEMENTS [kN/m]"
                      : " BENDING FORCES Mx, My & Mxy IN THE SHELL ELEMENTS [kNm/m]");
    out.Line("  ELEM. SURF.      X          Y");
    out.Line("  -----------------------------------------------------------------");
    static constexpr const char* kMembrane[] = {"  NX=", "  NY=", "  NXY=", "  N1=", "  N2="};
    static constexpr const char* kBending[] = {"  MX=", "  MY=", "  MXY=", "  M1=", "  M2="};
    const char* const* labels = membrane ? kMembrane : kBending;
    for (int e = 1; e <= s.shells; ++e) {
        for (int p = 1; p <= s.areaPoints; ++p) {
            const long item = static_cast<long>(e - 1) * s.areaPoints + p;
            // Surface points near the quarter points of a 1 m square element on a 100-wide grid.
            const long long x = ((e - 1) % 100) * 10000LL + ((p - 1) % 2 == 0 ? 2113 : 7887);
            const long long y =
                ((e - 1) / 100 % 1000) * 10000LL + ((p - 1) / 2 % 2 == 0 ? 2113 : 7887);
            std::string& b = out.Buffer();
            b += ' ';
            AppendInt(b, e, 6);
            b += ' ';
            AppendInt(b, p, 3);
            b += ' ';
            AppendFixed4(b, x, 10);
            b += ' ';
            AppendFixed4(b, y, 10);
            for (int c = 0; c < 5; ++c) {
                b += labels[c];
                AppendValue(b, Structural(h, table, c, item, t));
            }
            out.End();
        }
    }
}

void WriteSoils(const ListingSpec& s, const Heat& h, int t, Sink& out) {
    out.Line(" INTERNAL FORCE IN THE SOIL ELEMENTS.");
    out.Line("  ELEM.     N[kN]     P[kN/m\xB2]");
    for (int e = 1; e <= s.soils; ++e) {
        std::string& b = out.Buffer();
        b += ' ';
        AppendInt(b, e, 6);
        AppendValue(b, Structural(h, Table::Soil, 0, e, t));
        AppendValue(b, Structural(h, Table::Soil, 1, e, t));
        out.End();
    }
}

// Fibre tables of one beam point: stresses or tangent moduli, five fibres a line.
void WriteFiberTables(const ListingSpec& s, const Heat& h, int t, Table table, int count,
                      Sink& out) {
    const bool stress = table == Table::Stress;
    const std::string_view rule =
        "  ----------------------------------------------------------------------";
    for (int j = 1; j <= count; ++j) {
        const int element = (j - 1) / s.beamPoints % s.beams + 1;
        const int point = (j - 1) % s.beamPoints + 1;
        out.Line(Printf(stress ? " STRESSES IN N/mm\xB2 IN BEAM ELEMENT %5d, POINT %2d"
                               : " TANGENT MODULUS IN N/mm\xB2 IN BEAM ELEMENT %5d, POINT %2d",
                        element, point));
        out.Line(rule);
        out.Line(stress ? "   FIBER    STRESS   FIBER    STRESS   FIBER    STRESS   FIBER    STRESS"
                          "   FIBER    STRESS"
                        : "   FIBER    MODULUS   FIBER    MODULUS   FIBER    MODULUS   FIBER    "
                          "MODULUS   FIBER    MODULUS");
        out.Line(rule);
        for (int first = 1; first <= s.fibers; first += 5) {
            std::string& b = out.Buffer();
            const int last = std::min(first + 4, s.fibers);
            for (int f = first; f <= last; ++f) {
                b += ' ';
                AppendInt(b, f, 5);
                AppendValue(b, Structural(h, table, j - 1, f, t));
            }
            out.End();
        }
    }
}

void WriteStructuralBlock(const ListingSpec& s, int t, Sink& out) {
    const Heat h(s, t);
    WriteTimeLine(s, t, out);
    if (s.displacements) {
        WriteDisplacements(s, h, t, out);
    }
    if (s.trusses > 0) {
        WriteTrusses(s, h, t, out);
    }
    if (s.beams > 0) {
        WriteBeams(s, h, t, out);
    }
    if (s.shells > 0) {
        WriteShellForces(s, h, t, Table::Membrane, out);
        WriteShellForces(s, h, t, Table::Bending, out);
    }
    if (s.soils > 0) {
        WriteSoils(s, h, t, out);
    }
    WriteFiberTables(s, h, t, Table::Stress, s.stressTables, out);
    WriteFiberTables(s, h, t, Table::Tangent, s.tangentTables, out);
    out.Line(" CONVERGENCE HAS BEEN OBTAINED.");
}

}  // namespace

double TableValue(Table table, int component, long item, int timeIndex, const ListingSpec& spec) {
    const Heat h(spec, timeIndex);
    if (table == Table::Temperature) {
        return Model(h, table, component, item);
    }
    return ToDouble(Structural(h, table, component, item, timeIndex));
}

std::string FormatValue(double v) {
    return Printf("%.5E", v);
}

std::string FormatTemperature(double t) {
    return Printf("%6.1f", t);
}

int WriteListing(const ListingSpec& spec, std::ostream& out) {
    Validate(spec);
    Sink sink(out, spec.lineEnd);
    const bool thermal = spec.kind == ListingKind::Thermal;
    WriteHead(spec, sink);
    if (thermal) {
        WriteThermalDescription(spec, sink);
    } else {
        WriteStructuralDescription(spec, sink);
    }
    const auto more = [&](int written) {
        if (spec.targetBytes > 0) {
            return written < kMaxTimeBlocks && (written == 0 || sink.Bytes() < spec.targetBytes);
        }
        return written < spec.times;
    };
    int t = 0;
    while (more(t)) {
        ++t;
        if (thermal) {
            WriteThermalBlock(spec, t, sink);
        } else {
            WriteStructuralBlock(spec, t, sink);
        }
    }
    sink.Flush();
    out.flush();
    if (!out) {
        throw std::runtime_error("velto listing: write failed");
    }
    return t;
}

std::string ListingText(const ListingSpec& spec) {
    std::ostringstream text;
    WriteListing(spec, text);
    return text.str();
}

int WriteListingFile(const ListingSpec& spec, const std::string& path) {
    Validate(spec);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        throw std::runtime_error("velto listing: cannot create " + path);
    }
    int blocks = 0;
    try {
        blocks = WriteListing(spec, file);
    } catch (const std::runtime_error&) {
        throw std::runtime_error("velto listing: cannot write " + path);
    }
    file.close();
    if (!file) {
        throw std::runtime_error("velto listing: cannot write " + path);
    }
    return blocks;
}

}  // namespace velto
