#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <numeric>
#include <sstream>
#include <thread>
#include <tuple>

#include "common/text.h"
#include "extract/reader/earlyreading.h"
#include "extract/reader/extraction.h"
#include "extract/reader/variables.h"
#include "tests/reader/readertest.h"
#include "tools/listinggen.h"

namespace velto {
namespace {

using test::Head;
using test::Lines;
using test::operator+;

using LineList = std::vector<std::string>;

// The Single a reader must get for a value the generator printed.
Single Printed(Table table, int component, long item, int time) {
    double value = TableValue(table, component, item, time);
    if (table == Table::Temperature) {
        return static_cast<Single>(Val(FormatTemperature(value)));
    }
    return static_cast<Single>(Val(FormatValue(value)));
}

// The listing with its `nth` displacement table's heading written over: that time lacks the table.
std::string WithoutTable(std::string listing, int nth,
                         std::string_view tableHeading = kDisplacementHeading) {
    const std::string heading(tableHeading);
    std::size_t at = 0;
    for (int n = 0; n < nth; ++n) {
        at = listing.find(heading, at + 1);
    }
    return listing.replace(at, heading.size(), "NO TABLE HERE");
}

// The listing with a time line printed before the line of time `at` seconds, holding no table:
// the solver printed that time, reduced its step and printed `at` (with `blank` lines between).
std::string WithReducedStep(std::string listing, double at, double tried, int blank = 1) {
    auto line = [](double time) {
        char number[32];
        const char* end =
            std::to_chars(number, number + sizeof number, time, std::chars_format::fixed, 4).ptr;
        const std::string text(number, static_cast<std::size_t>(end - number));
        return "  TIME = " + std::string(12 - text.size(), ' ') + text + " SEC.\n";
    };
    const std::size_t where = listing.find(line(at));
    return listing.insert(where, line(tried) + std::string(static_cast<std::size_t>(blank), '\n'));
}

// What an extraction says of a listing shorter than when it was opened.
const std::vector<std::string> kShorter = {
    "62: Input past end of file. The listing is shorter than when it was opened: open it again."};

class Extraction : public test::ListingTest {
  protected:
    // Extracts at the given 1-based time records, in this order.
    void Extract(const std::string& variable, int component, std::vector<Integer> times) {
        o.request.Variable = variable;
        o.request.Component = component;
        o.request.Times = times;
        stop = false;
        messages = test::RecordingMessages();
        if (o.catalogue.AnalysisKind == kKindThermal) {
            ExtractTemperatures(o.catalogue, o.request, o.result, stop, progress, messages, nullptr,
                                &o.reading);
        } else {
            ExtractStructuralValues(o.catalogue, o.request, o.result, stop, progress, messages,
                                    nullptr, &o.reading);
        }
    }
    Single Value(Long item, Integer time) const { return o.result.Values.At(item, time); }
    // A scattered choice of items (out of order, repeated, one beyond the table) reads each held
    // item as reading every item does, and holds nothing else. Leaves every item extracted.
    void ExpectChosenItemsReadAsAll(const std::string& variable, int component) {
        SCOPED_TRACE("chosen items");
        o.request.Items.clear();
        Extract(variable, component, {2, 1});
        const ValueTable all = o.result.Values;
        const Long items = all.Items();
        o.request.Items = {items, 1, items, items + 1};
        if (items > 3) {
            o.request.Items.push_back(3);
        }
        Extract(variable, component, {2, 1});
        EXPECT_TRUE(messages.messages.empty());
        ASSERT_EQ(o.result.Values.Held().size(), items > 3 ? 3u : items > 1 ? 2u : 1u);
        for (const Long item : o.result.Values.Held()) {
            EXPECT_EQ(Value(item, 1), all.At(item, 1)) << item;
            EXPECT_EQ(Value(item, 2), all.At(item, 2)) << item;
        }
        EXPECT_FALSE(o.result.Values.Holds(2));
        EXPECT_FALSE(o.result.Values.Holds(items + 1));
        o.request.Items.clear();
        Extract(variable, component, {2, 1});
    }

    test::RecordingMessages messages;
    test::RecordingProgress progress;
    std::atomic<bool> stop{false};
};

TEST_F(Extraction, EachVariableReadsItsWordOnItsLine) {
    struct Case {
        const char* variable;
        int component;
        Long items;
        Table table;
        int column;
        int perElement;  // value lines per element; the chosen one is component + 1
        int ndim = 3;
    };
    const Case cases[] = {
        {"Eigen Values", 0, 1, Table::Eigen, 0, 0},          // from its heading line
        {"Displacements", 2, 9, Table::Displacement, 2, 0},  // DOF3 is word 3
        {"Truss Axial Force", 0, 4, Table::Truss, 0, 0},
        {"Beam Axial Force", 1, 5, Table::Beam, 0, 3},  // second of three points
        {"Beam Bending Moment My", 2, 5, Table::Beam, 1, 3},
        {"Beam Bending Moment Mz", 0, 5, Table::Beam, 2, 3},
        {"Beam Bending Moment Mw", 1, 5, Table::Beam, 3, 3},
        {"Membrane Force Nxy", 1, 3, Table::Membrane, 2, 4},  // surface 2
        {"Membrane Force N2", 3, 3, Table::Membrane, 4, 4},
        {"Bending Force Mx", 0, 3, Table::Bending, 0, 4},
        {"Bending Force M1", 2, 3, Table::Bending, 3, 4},
        {"Soil Axial Force Nx", 0, 3, Table::Soil, 0, 0},
        {"Soil Pressure", 0, 3, Table::Soil, 1, 0},
        {"Beam Bending Moment", 2, 5, Table::Beam, 1, 3, 2},  // in two dimensions, the only one
    };
    // The values as the solver prints them, with five significant digits as some of its builds
    // do, and nine (the columns wider than the generator's own).
    for (const int digits : {6, 5, 9}) {
        int opened = 0;
        for (const Case& k : cases) {
            SCOPED_TRACE(std::string(k.variable) + ", digits " + std::to_string(digits));
            if (k.ndim != opened) {
                ListingSpec spec = test::Frame3d();
                spec.ndim = opened = k.ndim;
                spec.digits = digits;
                OpenSpec(spec);
            }
            Extract(k.variable, k.component, {2, 4});
            EXPECT_TRUE(messages.messages.empty());
            ASSERT_EQ(o.result.Values.Items(), k.items);
            // Five digits are the six rounded: within half their last place.
            auto expect = [&](Single read, Single printed, Long item) {
                if (digits == 5) {
                    EXPECT_NEAR(read, printed, 5.01e-5f * std::fabs(printed)) << "item " << item;
                } else {
                    EXPECT_EQ(read, printed) << "item " << item;
                }
            };
            for (Long item = 1; item <= k.items; ++item) {
                long line = k.perElement ? (item - 1) * k.perElement + k.component + 1 : item;
                expect(Value(item, 1), Printed(k.table, k.column, line, 2), item);
                expect(Value(item, 2), Printed(k.table, k.column, line, 4), item);
            }
            ExpectChosenItemsReadAsAll(k.variable, k.component);
        }
    }
    EXPECT_EQ(progress.captions.back(), "Reading Beam Bending Moment...");
    EXPECT_EQ(progress.fractions.back(), 1.0f);
}

// Twelve fibres stand on three lines of five, five and two pairs. The table read is the one the
// user chose: a time block holds one stress table per beam point, and reading the first after
// the time line gave another element's stresses.
TEST_F(Extraction, ChosenFibreTableIsTheOneRead) {
    OpenSpec(test::Frame3d());
    ASSERT_EQ(o.catalogue.StressTables.size(), 3u);
    for (int table = 0; table < 3; ++table) {
        Extract("Beam Stresses", table, {4, 2});
        ASSERT_EQ(o.result.Values.Items(), 12);
        for (Long fibre = 1; fibre <= 12; ++fibre) {
            EXPECT_EQ(Value(fibre, 1), Printed(Table::Stress, table, fibre, 4))
                << "table " << table << " fibre " << fibre;
            EXPECT_EQ(Value(fibre, 2), Printed(Table::Stress, table, fibre, 2));
        }
    }
    Extract("Beam Tangent Modulus", 1, {3});
    EXPECT_EQ(Value(12, 1), Printed(Table::Tangent, 1, 12, 3));
    EXPECT_EQ(Value(1, 1), Printed(Table::Tangent, 1, 1, 3));
    ExpectChosenItemsReadAsAll("Beam Stresses", 2);
}

// Small hand-written listings: what each item reads, and what the user is told.
// - A table missing from a time block used to come out as zeros with no word said.
// - A listing that ends inside a table (an analysis stopped while printing it) gave the items after
//   the cut the value of the last line read; a beam point 1 must not pass for its point 2, and
//   items chosen before the cut are all there (lines after the last chosen one are not read).
// - The last item's value line may be the listing's last line.
// - A value line is the item whose number it prints: another item's is refused, naming the line.
// - A line without the chosen value reads 0, and is counted.
// - Temperatures stand in fixed columns: a blank field reads 0, and is counted.
TEST_F(Extraction, HandWrittenListingsReadItemByItem) {
    const LineList staticHead =
        Head("STATIC") +
        LineList{
            " DESCRIPTION OF THE STRUCTURE.",   "  * THERE ARE   4 NODES.",
            "  * THERE ARE   3 BEAM ELEMENTS.", " EACH OF THEM HAS    2 POINTS ALONG ITS AXIS.",
            " CONVERGENCE HAS BEEN OBTAINED.",  "  TIME = 10"};
    const LineList cutDisplacements =
        staticHead +
        LineList{" TOTAL DISPLACEMENTS.",
                 "  NODE    DOF 1     DOF 2     DOF 3     DOF 4     DOF 5     DOF 6     DOF 7",
                 "      1  1.0E+00", "      2  2.0E+00"};
    const std::string pastEnd = "62: Input past end of file in listing.out (";
    const std::string ends = " at 10 s): the listing ends inside the table";
    struct Value3 {
        Long item;
        Integer time;
        Single value;
    };
    // Extracts the variable's component at the times, of the chosen items (none: all): the one
    // message (nullptr: none) and the values at items and times.
    auto expect = [&](const LineList& lines, const char* variable, int component,
                      const std::vector<Integer>& times, const std::vector<Long>& chosen,
                      const char* message, const std::vector<Value3>& values) {
        SCOPED_TRACE(std::string(variable) + " " + std::to_string(lines.size()));
        OpenLines(lines);
        o.request.Items = chosen;
        Extract(variable, component, times);
        if (message) {
            ASSERT_EQ(messages.messages.size(), 1u);
            EXPECT_EQ(messages.messages[0].text, message);
            EXPECT_EQ(messages.messages[0].icon, MessageIcon::None);
            EXPECT_EQ(messages.messages[0].caption, "VeltoExtract");
        } else {
            EXPECT_TRUE(messages.messages.empty());
        }
        for (const Value3& v : values) {
            EXPECT_EQ(Value(v.item, v.time), v.value) << v.item << " at " << v.time;
        }
    };
    expect(Head("STATIC") + LineList{" DESCRIPTION OF THE STRUCTURE.", "  * THERE ARE   2 NODES.",
                                     "  * THERE ARE   2 TRUSS ELEMENTS.",
                                     " CONVERGENCE HAS BEEN OBTAINED.", "  TIME = 10",
                                     " INTERNAL SOLLICITATIONS IN THE TRUSS ELEMENTS.",
                                     "  ELEM.      N", "      1  1.5E+01",
                                     "      2",  // too short for the word: stays 0
                                     "  TIME = 20", " no truss table in this block"},
           "Truss Axial Force", 0, {1, 2}, {},
           (pastEnd + "Truss Axial Force at 20 s): the time holds no such table").c_str(),
           {{1, 1, 15.0f}, {2, 1, 0.0f}, {1, 2, 0.0f}});
    expect(cutDisplacements, "Displacements", 0, {1}, {},
           (pastEnd + "Displacements" + ends).c_str(),
           {{1, 1, 1.0f}, {2, 1, 2.0f}, {3, 1, 0.0f}, {4, 1, 0.0f}});
    expect(cutDisplacements, "Displacements", 0, {1}, {2, 1}, nullptr,
           {{1, 1, 1.0f}, {2, 1, 2.0f}});
    expect(staticHead + LineList{" INTERNAL SOLLICITATIONS IN THE BEAM ELEMENTS.",
                                 "  ELEM. PT.    N           M", "      1   1  1.1E+00  0.0E+00",
                                 "      1   2  1.2E+00  0.0E+00", "      2   1  2.1E+00  0.0E+00"},
           "Beam Axial Force", 1, {1}, {}, (pastEnd + "Beam Axial Force" + ends).c_str(),
           {{1, 1, 1.2f}, {2, 1, 0.0f}, {3, 1, 0.0f}});
    expect(Head("STATIC") +
               LineList{" DESCRIPTION OF THE STRUCTURE.", "  * THERE ARE   2 BEAM ELEMENTS.",
                        " EACH OF THEM HAS    3 POINTS ALONG ITS AXIS.",
                        " CONVERGENCE HAS BEEN OBTAINED.", "  TIME = 10",
                        " INTERNAL SOLLICITATIONS IN THE BEAM ELEMENTS.",
                        "  ELEM. PT.    N           M", "      1   1  1.1E+00  0.0E+00",
                        "      1   2  1.2E+00  0.0E+00", "      1   3  1.3E+00  0.0E+00",
                        "      2   1  2.1E+00  0.0E+00"},
           "Beam Axial Force", 0, {1}, {}, nullptr, {{1, 1, 1.1f}, {2, 1, 2.1f}});
    const LineList dynamic =
        Head("DYNAMIC") +
        LineList{" DESCRIPTION OF THE STRUCTURE.",
                 "  * THERE ARE   3 NODES.",
                 " CONVERGENCE HAS BEEN OBTAINED.",
                 "  TIME = 1",
                 "  NODE    DOF 1     DOF 2     DOF 3     DOF 4     DOF 5     DOF 6     DOF 7",
                 "    1   1.0   2.0   3.0",
                 "    2   4.0\t5.0   6.0",
                 "    3   7.0   8.0"};
    expect(dynamic, "Displacements", 2, {1}, {}, nullptr,
           {{1, 1, 3.0f}, {2, 1, 6.0f}, {3, 1, 0.0f}});
    EXPECT_EQ(o.result.MissingValues.count, 1);  // node 3 holds no DOF 3: counted
    EXPECT_EQ(o.result.MissingValues.item, 3);
    // A line is the item it says it is: another's is an error, naming the line.
    LineList swapped = dynamic;
    std::swap(swapped[swapped.size() - 1], swapped[swapped.size() - 2]);
    expect(swapped, "Displacements", 2, {1}, {1}, nullptr, {{1, 1, 3.0f}});
    OpenLines(swapped);
    Extract("Displacements", 2, {1});
    EXPECT_TRUE(o.result.ExtractionFailed);
    EXPECT_EQ(test::Texts(messages), LineList{"listing.out, line 12 (Displacements at 1 s): \"3\" "
                                              "stands where Node 2 belongs; the listing is "
                                              "damaged there."});
    EXPECT_EQ(messages.messages.front().icon, MessageIcon::Critical);
    expect(
        Head("TEMPERATURE") +
            LineList{" DESCRIPTION OF THE STRUCTURE.", "  * THERE ARE   7 NODES.",
                     " POSITION OF THE NODES.", "  TIME = 5",
                     " NODE TEMP.  NODE TEMP.  NODE TEMP.  NODE TEMP.  NODE TEMP.",
                     "    1  20.0    2          31200.5    4  -1.5    5", "    6 300.0    7",
                     "  TIME = 6"},
        "Temperature", 0, {1}, {}, nullptr,
        {{1, 1, 20}, {2, 1, 0}, {3, 1, 1200.5f}, {4, 1, -1.5f}, {5, 1, 0}, {6, 1, 300}, {7, 1, 0}});
    EXPECT_EQ(o.result.MissingValues.count, 3);  // nodes 2, 5 and 7: a field of blanks
    EXPECT_EQ(o.result.MissingValues.item, 2);
}

TEST_F(Extraction, AbortStopsBeforeTheNextTime) {
    OpenSpec(test::Frame3d());
    test::ActingProgress aborting;
    aborting.act = [this] { stop = true; };
    o.request = {"Displacements", 0, {1, 2, 3}, {}};
    stop = false;
    ExtractStructuralValues(o.catalogue, o.request, o.result, stop, aborting, messages);
    EXPECT_TRUE(messages.messages.empty());
    EXPECT_EQ(Value(4, 1), Printed(Table::Displacement, 0, 4, 1));
    EXPECT_EQ(Value(4, 2), 0.0f);
    EXPECT_EQ(Value(4, 3), 0.0f);
}

// A listing cut short (or rewritten) after it was scanned no longer matches its time positions:
// the user is told plainly, nothing is read, and the save writes nothing from it.
TEST_F(Extraction, ListingCutShortAfterItsScanIsReportedAndNotRead) {
    OpenSpec(test::Frame3d());
    std::string bytes = test::ReadBytes(path);
    test::WriteBytes(path,
                     bytes.substr(0, static_cast<std::size_t>(o.catalogue.Times[2].Position - 1)));
    Extract("Displacements", 0, {1, 4});
    ASSERT_EQ(test::Texts(messages), kShorter);
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Critical);
    EXPECT_TRUE(o.result.ListingChanged);
    EXPECT_EQ(o.result.Values.Items(), 0);
    // Opened again, the shorter listing reads as it now is.
    test::Open(o, path);
    Extract("Displacements", 0, {1, 2});
    EXPECT_TRUE(messages.messages.empty());
    EXPECT_FALSE(o.result.ListingChanged);
}

// Cut short while it is read (a solver still writing it, a user replacing it): the same, not a
// table missing from the times after the cut, whose zeros would then be saved as results.
TEST_F(Extraction, ListingCutShortWhileItIsReadIsReportedAsSuch) {
    ListingSpec spec;
    spec.nodes = 30000;  // a time block beyond the reader's block, so the cut is read from disk
    spec.times = 3;
    OpenSpec(spec);
    const FilePosition at = o.catalogue.Times[1].Position;
    bool done = false;
    test::ActingProgress cut;  // on its first report
    cut.act = [&] { done = done || ::truncate(path.c_str(), at - 1) == 0; };
    o.request = {"Displacements", 0, {1, 3}, {}};
    ExtractStructuralValues(o.catalogue, o.request, o.result, stop, cut, messages);
    ASSERT_EQ(test::Texts(messages), kShorter);
    EXPECT_TRUE(o.result.ListingChanged);
}

// A solver appending to the listing moves its times a moment before its size: an extraction
// that looks just then sees the listing as long as it was scanned, yet changed, which is no
// rewrite. One whose size then stays was written over in place, and is still refused.
TEST_F(Extraction, AnAppendCaughtBetweenItsTimeAndItsSizeIsNoRewrite) {
    OpenSpec({.kind = ListingKind::Thermal, .nodes = 12, .solids = 4, .times = 3});
    const struct timespec moved[2] = {{0, UTIME_OMIT}, {2000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), moved, 0), 0);
    std::thread appending([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::ofstream(path, std::ios::app) << "\n";
    });
    Extract("Temperature", 0, {1, 3});
    appending.join();
    EXPECT_TRUE(messages.messages.empty()) << messages.messages.front().text;
    EXPECT_FALSE(o.result.ListingChanged);

    test::Open(o, path);
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), moved, 0), 0);
    Extract("Temperature", 0, {1, 3});
    EXPECT_EQ(test::Texts(messages),
              std::vector<std::string>{"The listing has changed since it was opened: open it "
                                       "again."});
    EXPECT_TRUE(o.result.ListingChanged);
}

// Opened and exported again and again while a solver appends in small pieces: a listing that
// only grows is never taken for another, and a time line still being printed is no time yet.
TEST_F(Extraction, ExportsWhileTheSolverAppendsSeeNoChange) {
    std::ostringstream generated;
    WriteListing({.kind = ListingKind::Thermal, .nodes = 40, .solids = 19, .times = 2000},
                 generated);
    const std::string text = generated.str();
    const std::size_t start = text.find("  TIME =", text.find("240.0000 SEC."));
    path = dir.File("growing.out");
    test::WriteBytes(path, text.substr(0, start));
    std::atomic<bool> done{false};
    std::thread solver([&] {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        for (std::size_t at = start; at < text.size() && !done; at += 97) {
            const std::string_view piece = std::string_view(text).substr(at, 97);
            if (::write(fd, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ::close(fd);
        done = true;
    });
    int exports = 0;
    std::string refused;
    for (; exports < 1500 && !done && refused.empty(); ++exports) {
        o = test::Opened();
        test::Open(o, path);
        Extract("Temperature", 0, {1, 2, 3, 4});
        for (const std::string& said : test::Texts(o.messages) + test::Texts(messages)) {
            refused = "export " + std::to_string(exports) + ": " + said;
        }
        if (o.result.ListingChanged || Value(7, 4) != Printed(Table::Temperature, 0, 7, 4)) {
            refused += " (export " + std::to_string(exports) + " read other values)";
        }
    }
    done = true;
    solver.join();
    EXPECT_EQ(refused, "");
    EXPECT_GE(exports, 20) << "the solver was done before the exports could meet it";
}

// A large extraction is read by two threads, every other time by the second: every value lands
// at its own item and time, and a failure is the one reading the times in order meets first.
TEST_F(Extraction, LargeExtractionReadsEveryTimeAndFailsAtTheEarliestTime) {
    ListingSpec spec;
    spec.nodes = 20000;
    spec.times = 4;
    std::ostringstream text;
    WriteListing(spec, text);
    const std::string listing = text.str();
    OpenSpec(spec);
    Extract("Displacements", 1, {1, 2, 3, 4});
    EXPECT_TRUE(messages.messages.empty());
    for (Integer t = 1; t <= 4; ++t) {
        for (Long node = 1; node <= spec.nodes; ++node) {
            ASSERT_EQ(Value(node, t), Printed(Table::Displacement, 1, node, t)) << node << " " << t;
        }
    }

    // The fourth time has no displacement table; the first holds, at its last node, a value no
    // single can hold. Read in the order 2, 1, 4, 3 the first thread fails on the fourth as soon
    // as the second fails on the first, and still the first time's failure is the one reported.
    const std::string heading(kDisplacementHeading);
    std::string noFourth = listing;
    noFourth.replace(noFourth.rfind(heading), heading.size(), "NO TABLE HERE");
    std::string overflowFirst = noFourth;
    const std::size_t line = overflowFirst.find("\n  20000 ", overflowFirst.find(heading));
    const std::size_t word = overflowFirst.find_first_not_of(' ', line + 9);
    overflowFirst.replace(word, overflowFirst.find(' ', word) - word, "1.00000E+50");
    struct Case {
        const std::string& bytes;
        std::vector<Integer> times;
        const char* message;
    } cases[] = {{noFourth,
                  {1, 2, 3, 4},
                  "62: Input past end of file in listing.out (Displacements at 240 s): the time "
                  "holds no such table"},
                 {overflowFirst,
                  {2, 1, 4, 3},
                  "6: Overflow in listing.out, line 40017 (Displacements at 60 s)"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        test::WriteBytes(path, c.bytes);
        test::Open(o, path);
        Extract("Displacements", 0, c.times);
        ASSERT_EQ(messages.messages.size(), 1u);
        EXPECT_EQ(messages.messages[0].text, c.message);
        EXPECT_TRUE(o.result.ExtractionFailed);
    }
}

// The most times a listing may hold, read by two readers taking turns: the step past the last
// time is beyond a time's counter, and must not wrap to a time before the first.
TEST_F(Extraction, TheMostTimesAListingMayHoldAreReadToTheLast) {
    OpenSpec({.kind = ListingKind::Thermal, .nodes = 3, .solids = 1, .times = 32766});
    ASSERT_TRUE(messages.messages.empty());
    std::vector<Integer> all(32766);
    std::iota(all.begin(), all.end(), Integer{1});
    Extract("Temperature", 0, all);
    ASSERT_EQ(messages.messages.size(), 0u) << messages.messages[0].text;
    for (const Integer t : {Integer{1}, Integer{32765}, Integer{32766}}) {
        EXPECT_EQ(Value(3, t), Printed(Table::Temperature, 0, 3, t)) << t;
    }
}

TEST_F(Extraction, ValuesReadDuringTheScanAreThoseReadAfterIt) {
    std::ostringstream text;
    WriteListing(test::Frame3d(), text);
    const std::string whole = text.str();
    const std::string noThird = WithoutTable(whole, 3);
    // Forty times, the first block far longer than the others: the room the early reading claims
    // from the first blocks' sizes holds fewer times than there are, and is never grown.
    text.str("");
    WriteListing({.nodes = 3, .times = 40}, text);
    std::string longFirst = text.str();
    const std::size_t firstTime = longFirst.find('\n', longFirst.find("  TIME =")) + 1;
    longFirst.insert(firstTime, 2000000, '\n');
    std::vector<Integer> forty(40);
    std::iota(forty.begin(), forty.end(), Integer{1});
    text.str("");
    WriteListing({.kind = ListingKind::Thermal, .nodes = 12, .solids = 1, .times = 4}, text);
    const std::string thermal = text.str();
    const std::string thermalNoThird = WithoutTable(thermal, 3, kTemperatureHeading);
    const std::string d = "Displacements", t = "Temperature";
    const std::vector<Long> all = {1, 2, 3, 4, 5, 6, 7, 8, 9}, two = {1, 2};
    const std::vector<Integer> inOrder = {1, 2, 3, 4};
    // The request read early, then the extraction's vector, items and times.
    struct Case {
        const char* what;
        const std::string& bytes;
        EarlyRequest early;
        int component;
        std::vector<Long> vectors;
        std::vector<Integer> times;
        std::size_t readDuringScan;
    } cases[] = {
        {"every time", whole, {d, 1, all}, 1, all, inOrder, 4},
        {"some items, out of order", whole, {d, 2, {9, 3, 3}}, 2, {3, 9}, inOrder, 4},
        {"a fibre table", whole, {"Beam Stresses", 1, {1, 12, 6}}, 1, {1, 12, 6}, inOrder, 4},
        {"another vector", whole, {d, 0, two}, 1, two, inOrder, 0},
        {"other items", whole, {d, 1, two}, 1, {1, 3}, inOrder, 0},
        {"times out of order", whole, {d, 1, two}, 1, two, {1, 2, 4, 3}, 2},
        {"a table missing", noThird, {d, 1, two}, 1, two, inOrder, 2},
        {"a time skipped, then a table missing", noThird, {d, 1, two}, 1, two, {1, 3, 4}, 1},
        {"a first block far longer", longFirst, {d, 1, two}, 1, two, forty, 0},
        {"temperatures", thermal, {t, 0, {12, 5, 6}}, 0, {12, 5, 6}, inOrder, 4},
        {"temperatures, other nodes", thermal, {t, 0, two}, 0, {1, 3}, inOrder, 0},
        {"temperatures, a table missing", thermalNoThird, {t, 0, two}, 0, two, inOrder, 2},
    };
    path = dir.File("listing.out");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto extract = [&](bool early) {
            test::WriteBytes(path, c.bytes);
            o = test::Opened();
            if (early) {
                o.scan.ReadEarly = [&](const Catalogue&) { return c.early; };
            }
            test::Open(o, path);
            if (early) {
                EXPECT_NE(o.reading.Early, nullptr);
                if (o.reading.Early) {
                    o.reading.Early->Finish();
                }
            }
            o.request.Items = c.vectors;
            progress = test::RecordingProgress();
            Extract(c.early.Variable, c.component, c.times);
            return std::make_tuple(o.result.Values, test::Texts(messages),
                                   progress.captions.size());
        };
        const auto [after, said, reports] = extract(false);
        const auto [during, saidDuring, reportsDuring] = extract(true);
        EXPECT_EQ(saidDuring, said);
        ASSERT_EQ(during.Held(), after.Held());
        for (Integer t = 1; t <= after.Times(); ++t) {
            for (const Long item : after.Held()) {
                EXPECT_EQ(std::bit_cast<std::uint32_t>(during.At(item, t)),
                          std::bit_cast<std::uint32_t>(after.At(item, t)))
                    << item << " at " << t;
            }
        }
        // A time read while the listing was scanned is not read again.
        EXPECT_EQ(reports - reportsDuring, c.readDuringScan);
    }
}

// A time line followed by another before any table (the solver reduced its step and tried again)
// is a time of its own, whose values are those that follow it: on both threads of a large
// extraction, while the listing is scanned, in a thermal listing, and after several such lines.
// A time whose block holds other tables but not the one wanted still lacks it, and a time line
// with nothing after it has no values.
TEST_F(Extraction, AReducedStepsTimeHasTheTablesThatFollowIt) {
    for (const ListingKind kind : {ListingKind::Static, ListingKind::Thermal}) {
        SCOPED_TRACE(kind == ListingKind::Static ? "structural" : "thermal");
        const bool thermal = kind == ListingKind::Thermal;
        // 3000 nodes at 24 times: read on two threads.
        std::ostringstream text;
        WriteListing({.kind = kind, .nodes = 3000, .solids = thermal ? 1 : 0, .times = 24}, text);
        const std::string plain = text.str();
        std::string reduced = WithReducedStep(plain, 120, 150, 2);
        reduced = WithReducedStep(reduced, 600, 720, 0);
        reduced = WithReducedStep(reduced, 600, 660);
        const std::string variable = thermal ? "Temperature" : "Displacements";
        const std::vector<Long> items = {1, 1499, 3000};
        // The plain listing's values at every time, and which of its records each reduced time
        // stands for.
        path = dir.File("plain.out");
        test::WriteBytes(path, plain);
        test::Open(o, path);
        std::vector<Integer> all(24);
        std::iota(all.begin(), all.end(), Integer{1});
        o.request.Items = items;
        Extract(variable, 1, all);
        const ValueTable expected = o.result.Values;
        for (const bool early : {false, true}) {
            SCOPED_TRACE(early ? "read while scanned" : "read after the scan");
            o = test::Opened();
            if (early) {
                o.scan.ReadEarly = [&](const Catalogue&) {
                    return EarlyRequest{variable, 1, items};
                };
            }
            test::WriteBytes(path, reduced);
            test::Open(o, path);
            ASSERT_EQ(o.catalogue.Times.size(), 27u);
            if (o.reading.Early) {
                o.reading.Early->Finish();
            }
            std::vector<Integer> records(27);
            std::iota(records.begin(), records.end(), Integer{1});
            o.request.Items = items;
            Extract(variable, 1, records);
            ASSERT_TRUE(messages.messages.empty()) << messages.messages.front().text;
            // 150 stands with 120 (the plain record 2); 720 and 660 with 600 (record 10).
            const std::vector<Integer> plainRecord = {1,  2,  2,  3,  4,  5,  6,  7,  8,
                                                      9,  10, 10, 10, 11, 12, 13, 14, 15,
                                                      16, 17, 18, 19, 20, 21, 22, 23, 24};
            for (Integer t = 1; t <= 27; ++t) {
                for (const Long item : items) {
                    EXPECT_EQ(Value(item, t), expected.At(item, plainRecord[t - 1]))
                        << "node " << item << " at record " << t;
                }
            }
        }
    }
    // Other tables at the time, not the one wanted: it lacks it, not the next time's.
    std::ostringstream text;
    WriteListing(test::Frame3d(), text);
    OpenBytes(WithoutTable(text.str(), 2));
    Extract("Displacements", 1, {2});
    EXPECT_EQ(test::Texts(messages), LineList{"62: Input past end of file in listing.out "
                                              "(Displacements at 120 s): the time holds no such "
                                              "table"});
    // A time line at the end, after the last table, holds nothing.
    OpenBytes(text.str() + "  TIME =     300.0000 SEC.\n\n");
    ASSERT_EQ(o.catalogue.Times.size(), 5u);
    Extract("Displacements", 1, {5});
    EXPECT_EQ(test::Texts(messages), LineList{"62: Input past end of file in listing.out "
                                              "(Displacements at 300 s): the time holds no such "
                                              "table"});
}

// The lines of a text split at its LFs, and joined again.
LineList SplitLines(const std::string& text) {
    LineList lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A listing damaged as transfers and editors damage files, that still looks whole: each value
// must land on its own item, or the time be refused naming the line, never shifted in silence.
// A blank line inside a table, and every line end converted twice (CR CR LF), read as the plain
// listing; a line deleted, doubled, swapped or cut by a stray CR, a value split by a blank or
// pushed out of its field (the solver prints its tables in fixed fields), a labelled value lost,
// a sign or a digit pushing a temperature out of its field (on a full line or the table's short
// last one): refused. A line short of the chosen value reads 0, counted.
TEST_F(Extraction, ValuesLandOnTheirItemsOrTheTimeIsRefused) {
    std::ostringstream text;
    WriteListing(test::Frame3d(), text);
    const LineList frame = SplitLines(text.str());
    text.str("");
    WriteListing({.kind = ListingKind::Thermal, .nodes = 12, .solids = 4, .times = 3}, text);
    const LineList thermal = SplitLines(text.str());
    // The index of the `nth` value line of the first table under `heading` at the second time.
    auto valueLine = [](const LineList& lines, std::string_view heading, int nth) {
        std::size_t at = 0;
        for (int times = 0; times < 2; at++) {
            times += lines[at].find("  TIME =") != std::string::npos ? 1 : 0;
        }
        while (lines[at].find(heading) == std::string::npos) {
            ++at;
        }
        return at + static_cast<std::size_t>(nth);
    };
    const std::size_t node3 = valueLine(frame, kDisplacementHeading, 3);
    const std::size_t row2 = valueLine(thermal, kTemperatureHeading, 2);  // nodes 6 to 10
    const std::size_t row3 = row2 + 1;                                    // nodes 11 and 12
    const std::size_t beam2 = valueLine(frame, kBeamSpaceHeading, 4);     // beam 2, point 1
    const std::size_t shell2 = valueLine(frame, kMembraneHeading, 8);     // shell 2, surface 2
    struct Case {
        const char* what;
        bool thermal;
        std::function<void(LineList&)> damage;
        const char* variable;
        int component;
        std::size_t refusedAt;  // the damaged line's index; 0 when it reads as the plain listing
        const char* why;
    };
    const Case cases[] = {
        {"a blank line in a table", false, [&](LineList& l) { l.insert(l.begin() + node3, ""); },
         "Displacements", 1, 0, ""},
        {"line ends converted twice", false,
         [](LineList& l) {
             for (std::string& line : l) {
                 line += "\r\r";
             }
         },
         "Beam Axial Force", 1, 0, ""},
        {"a blank line in a temperature table", true,
         [&](LineList& l) { l.insert(l.begin() + row2, "   "); }, "Temperature", 0, 0, ""},
        {"a line deleted", false, [&](LineList& l) { l.erase(l.begin() + node3); }, "Displacements",
         1, node3, "\"4\" stands where Node 3 belongs"},
        {"a line doubled", false, [&](LineList& l) { l.insert(l.begin() + node3, l[node3 - 1]); },
         "Displacements", 1, node3, "\"2\" stands where Node 3 belongs"},
        {"two lines swapped", true, [&](LineList& l) { std::swap(l[row2], l[row2 - 1]); },
         "Temperature", 0, row2 - 1, "\"6\" stands where Node 1 belongs"},
        {"a stray CR in a line", false, [&](LineList& l) { l[node3 - 1].insert(20, "\r"); },
         "Displacements", 1, node3, "stands where Node 3 belongs"},
        {"a value split by a blank", false, [&](LineList& l) { l[node3].insert(17, " "); },
         "Displacements", 4, node3,
         "the line of Node 3 holds more words than the table has "
         "columns"},
        {"a number wider than its field", false,  // 1000000 nodes and more: the rest moves on
         [&](LineList& l) { l[node3].insert(0, " "); }, "Displacements", 2, 0, ""},
        {"a blank between two values lost", false, [&](LineList& l) { l[node3].erase(20, 1); },
         "Displacements", 2, node3, "do not stand in the table's columns"},
        {"an exponent split from its last digit", false,
         [&](LineList& l) {
             l[node3].insert(32, " ");
             l[node3].erase(l[node3].size() - 13);  // as many words as before
         },
         "Displacements", 1, node3, "do not stand in the table's columns"},
        {"the table's first line split", false,  // outvoted by the lines after it
         [&](LineList& l) {
             l[node3 - 2].insert(32, " ");
             l[node3 - 2].erase(l[node3 - 2].size() - 13);
         },
         "Displacements", 1, node3 - 2, "the values of Node 1 do not stand in the table's columns"},
        {"a value blanked before the chosen one", false,
         [&](LineList& l) { l[node3].replace(21, 13, 13, ' '); }, "Displacements", 6, node3,
         "the values of Node 3 do not stand in the table's columns"},
        {"the last two values run together", false,  // the chosen last one is not missing
         [&](LineList& l) {
             std::string& x = l[node3];
             const std::size_t last = x.find_last_of(' ') + 1;
             const std::size_t before = x.find_last_not_of(' ', last - 1) + 1;
             x = x.substr(0, before) + x.substr(last) + std::string(last - before, ' ');
         },
         "Displacements", 6, node3, "the values of Node 3 do not stand"},
        {"a labelled shell value lost", false,
         [&](LineList& l) {
             const std::size_t nxy = l[shell2].find("NXY=");
             l[shell2].erase(nxy, l[shell2].find("N1=") - nxy);
         },
         "Membrane Force Nxy", 1, shell2, "\"N1=\" stands where \"NXY=\" belongs"},
        // In its own columns, so only its label tells (a model of one shell has no other line
        // of its surface to compare with).
        {"a shell value under another label", false,
         [&](LineList& l) { l[shell2].replace(l[shell2].find("NY="), 3, "NZ="); },
         "Membrane Force Ny", 1, shell2,
         "\"NZ=\" stands where \"NY=\" belongs on the line of Shell 2"},
        {"another beam point", false, [&](LineList& l) { l[beam2].replace(10, 1, "2"); },
         "Beam Axial Force", 0, beam2, "point \"2\" of Beam 2 stands where point 1 belongs"},
        {"a sign pushing temperatures on", true,
         [&](LineList& l) { l[row2].insert(l[row2].find_first_not_of(' ', 5), "+"); },
         "Temperature", 0, row2, "the line holds more than five nodes' fields"},
        // The table's last line holds two nodes: a temperature too wide for the second's field
        // is not cut to its first six characters.
        {"the last node's temperature too wide", true,
         [&](LineList& l) { l[row3].insert(l[row3].size() - 3, "1"); }, "Temperature", 0, row3,
         "the line holds more than two nodes' fields"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const LineList& plain = c.thermal ? thermal : frame;
        OpenLines(plain);
        const std::vector<Integer> times = {1, 2, 3};
        Extract(c.variable, c.component, times);
        ASSERT_TRUE(messages.messages.empty());
        const ValueTable expected = o.result.Values;
        LineList damaged = plain;
        c.damage(damaged);
        OpenLines(damaged);
        ASSERT_EQ(o.catalogue.Times.size(), plain == thermal ? 3u : 4u);
        Extract(c.variable, c.component, times);
        if (c.refusedAt == 0) {
            ASSERT_TRUE(messages.messages.empty()) << messages.messages.front().text;
            for (Integer t = 1; t <= 3; ++t) {
                for (Long item = 1; item <= expected.Items(); ++item) {
                    EXPECT_EQ(Value(item, t), expected.At(item, t)) << item << " at " << t;
                }
            }
            continue;
        }
        EXPECT_TRUE(o.result.ExtractionFailed);
        ASSERT_EQ(messages.messages.size(), 1u);
        const std::string said = messages.messages.front().text;
        const std::string where = "listing.out, line " + std::to_string(c.refusedAt + 1) + " (" +
                                  c.variable + " at 120 s): ";
        EXPECT_EQ(said.rfind(where, 0), 0u) << said;
        EXPECT_NE(said.find(c.why), std::string::npos) << said;
    }
    // The first line is checked when it is the only one read.
    LineList split = frame;
    split[node3 - 2].insert(32, " ");
    split[node3 - 2].erase(split[node3 - 2].size() - 13);
    OpenLines(split);
    o.request.Items = {1};
    Extract("Displacements", 1, {2});
    EXPECT_TRUE(o.result.ExtractionFailed);
    o.request.Items.clear();
    // Tables of one and two lines (of a plane frame: three values a line) have no third line to
    // outvote a damaged one: a line's own fields, each as wide as the next, say where its values
    // stand. The damaged first line is the one named.
    for (const long nodes : {1L, 2L}) {
        std::ostringstream small;
        WriteListing({.ndim = 2, .nodes = nodes, .times = 2}, small);
        const LineList plain = SplitLines(small.str());
        const std::size_t first = valueLine(plain, kDisplacementHeading, 1);
        const std::string line = plain[first];  // "      1 -3.31972E-03 -5.85471E-04 ..."
        const std::string blank(13, ' ');
        for (const std::string& damaged :
             {line.substr(0, 20) + blank + line.substr(33),                        // DOF 2 blanked
              line.substr(0, 20) + line.substr(21, 12) + " " + line.substr(33),    // run together
              line.substr(0, 24) + " " + line.substr(24, 9) + line.substr(34)}) {  // split
            SCOPED_TRACE(std::to_string(nodes) + " nodes: " + damaged);
            LineList lines = plain;
            OpenLines(lines);
            Extract("Displacements", 1, {2});
            ASSERT_TRUE(messages.messages.empty());
            lines[first] = damaged;
            OpenLines(lines);
            Extract("Displacements", 1, {2});
            ASSERT_EQ(messages.messages.size(), 1u);
            EXPECT_EQ(messages.messages.front().text.rfind(
                          "listing.out, line " + std::to_string(first + 1) + " (", 0),
                      0u)
                << messages.messages.front().text;
        }
    }
    // A line short of the chosen value: read as 0, and counted with the first such item.
    LineList shortened = frame;
    shortened[node3] = shortened[node3].substr(0, 30);
    OpenLines(shortened);
    Extract("Displacements", 4, {1, 2});
    EXPECT_TRUE(messages.messages.empty());
    EXPECT_EQ(Value(3, 2), 0.0f);
    EXPECT_EQ(o.result.MissingValues.count, 1);
    EXPECT_EQ(o.result.MissingValues.time, 2);
    EXPECT_EQ(o.result.MissingValues.item, 3);
}

// A table written out as it is read holds a window of its times: the writer sees every time's
// values as a whole table holds them, the times read during the scan included (not read again).
TEST_F(Extraction, AStreamedTableWritesWhatAWholeOneHolds) {
    ListingSpec spec;
    spec.nodes = 4000;  // 4000 nodes at 24 times: read on two threads
    spec.times = 24;
    OpenSpec(spec);
    std::vector<Integer> times(24);
    std::iota(times.begin(), times.end(), Integer{1});
    Extract("Displacements", 1, times);
    const ValueTable whole = o.result.Values;
    // Without its 18th table: the writer stops before it, while the other reader waits beyond it
    // for the writer (the first reader is slow to get to it).
    std::string noEighteenth = WithoutTable(bytes, 18);

    std::vector<Long> every(4000);
    std::iota(every.begin(), every.end(), Long{1});
    for (const std::string* listing : {&bytes, &noEighteenth}) {
        test::WriteBytes(path, *listing);
        o = test::Opened();
        o.scan.StreamBytes = 4000 * sizeof(Single) * 5;
        o.scan.ReadEarly = [&](const Catalogue&) {
            return EarlyRequest{"Displacements", 1, every, true};
        };
        test::Open(o, path);
        ASSERT_NE(o.reading.Early, nullptr);
        o.reading.Early->Finish();
        o.request.Items = every;
        o.request.Times = times;
        RowGate gate;
        gate.WriteInTimeOrder();
        std::vector<std::vector<Single>> written;
        std::thread writer([&] {
            for (Integer t = 1; t <= 24 && gate.WaitFor(t); ++t) {
                const std::span<const Single> row = o.result.Values.Row(t);
                written.emplace_back(row.begin(), row.end());
                gate.TimeWritten(t);
            }
        });
        // Times 6, 8, ... are the first reader's, reported before they are read.
        test::ActingProgress reading;
        std::size_t reports = 0;
        reading.act = [&] {
            if (++reports == 7) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        };
        messages = test::RecordingMessages();
        o.request.Variable = "Displacements";
        o.request.Component = 1;
        ExtractStructuralValues(o.catalogue, o.request, o.result, stop, reading, messages, &gate,
                                &o.reading);
        gate.Close();
        writer.join();
        EXPECT_EQ(o.result.Values.Window(), 5);
        const std::size_t rows = listing == &bytes ? 24 : 17;
        EXPECT_EQ(messages.messages.size(), listing == &bytes ? 0u : 1u);
        ASSERT_EQ(written.size(), rows);
        // The times read during the scan are not read again: the first reader's are 6, 8, ...
        EXPECT_EQ(reports, listing == &bytes ? 10u : 7u);
        for (std::size_t t = 1; t <= rows; ++t) {
            const std::span<const Single> row = whole.Row(static_cast<Integer>(t));
            EXPECT_TRUE(std::equal(row.begin(), row.end(), written[t - 1].begin())) << t;
        }
    }
}

// The save waits for its writer with a long patience: the writer's end must wake it, and the
// rows the writer passes on the way must not (a lost wake-up hangs here).
TEST(RowGate, TheWriterFinishingWakesTheSave) {
    RowGate gate;
    gate.WriteInTimeOrder();
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the save waits first
        for (Integer t = 1; t <= 3; ++t) {
            gate.TimeWritten(t);
        }
        gate.Finish();
    });
    EXPECT_TRUE(gate.WaitFinished(std::chrono::hours(1)));
    writer.join();
}

// Tables of many megabytes take their room from huge pages, small ones from the heap: either way a
// value never read is 0, values survive the table growing from one kind of room into the other,
// and what a shrink dropped reads 0 when the table grows back into it.
TEST(ValueRoom, ValuesAndZerosSurviveGrowingAcrossTheKindsOfRoom) {
    auto zeros = [](const SingleValues& v, std::size_t from) {
        return std::all_of(v.begin() + static_cast<std::ptrdiff_t>(from), v.end(),
                           [](Single x) { return x == 0; });
    };
    SingleValues v(std::size_t{1} << 20);  // 4 MiB: the heap's
    EXPECT_TRUE(zeros(v, 0));
    std::iota(v.begin(), v.end(), Single{1});
    for (const std::size_t size : {std::size_t{3} << 20, std::size_t{9} << 20}) {  // mapped
        v.resize(size);
        EXPECT_EQ(v[(std::size_t{1} << 20) - 1], static_cast<Single>(1 << 20));
        EXPECT_TRUE(zeros(v, std::size_t{1} << 20));
        std::fill(v.begin() + (1 << 20), v.end(), Single{-2});
        ShrinkValues(v, std::size_t{1} << 20);
    }
    v.resize(std::size_t{9} << 20);
    EXPECT_TRUE(zeros(v, std::size_t{1} << 20));
    EXPECT_EQ(v[0], 1);

    ValueTable table(20000, 300);  // 24 MB
    table.At(20000, 300) = 5;
    EXPECT_EQ(table.At(1, 1), 0);
    EXPECT_EQ(table.Row(300).back(), 5);
}

// Fixed columns, five nodes a line; node numbers beyond sixteen bits still land at their item.
TEST_F(Extraction, TemperaturesComeFromFixedColumns) {
    ListingSpec spec;
    spec.kind = ListingKind::Thermal;
    spec.nodes = 12;  // three table lines: five, five and two nodes
    spec.times = 3;
    OpenSpec(spec);
    Extract("Temperature", 0, {3, 2});
    ASSERT_EQ(o.result.Values.Items(), 12);
    for (Long node = 1; node <= 12; ++node) {
        EXPECT_EQ(Value(node, 1), Printed(Table::Temperature, 0, node, 3)) << node;
        EXPECT_EQ(Value(node, 2), Printed(Table::Temperature, 0, node, 2)) << node;
    }
    EXPECT_EQ(progress.captions.back(), "Reading Temperature...");
    ExpectChosenItemsReadAsAll("Temperature", 0);

    spec.nodes = 50000;
    spec.times = 2;
    OpenSpec(spec);
    Extract("Temperature", 0, {2});
    EXPECT_TRUE(messages.messages.empty());
    EXPECT_EQ(Value(40000, 1), Printed(Table::Temperature, 0, 40000, 2));
    EXPECT_EQ(Value(50000, 1), Printed(Table::Temperature, 0, 50000, 2));
}

// A listing damaged where a value should stand gives an error and holds nothing, never a value
// the listing does not print: the last line cut while the solver prints it, a table missing from
// a time (not the next time's table instead), a field too narrow for its value, a byte stuck to
// a value, a word that is no number. Fortran's exponent of three digits is read as one.
TEST_F(Extraction, DamagedValuesAreErrorsNotNumbers) {
    // The text with the nth `from` after `after` made `to`.
    auto changed = [](std::string text, std::string_view from, std::string_view to, int nth,
                      std::size_t after = 0) {
        for (int n = 0; n < nth; ++n) {
            after = text.find(from, after + 1);
        }
        return text.replace(after, from.size(), to);
    };
    std::ostringstream text;
    WriteListing({.ndim = 3, .nodes = 5, .times = 3}, text);
    const std::string frame = text.str();
    text.str("");
    WriteListing({.kind = ListingKind::Thermal, .nodes = 12, .solids = 4, .times = 3}, text);
    const std::string thermal = text.str();
    // Node 5's line at the last time, and node 1's DOF 2 at the first.
    const std::size_t last = frame.rfind("\n      5 ") + 1;
    const std::size_t first = frame.find("\n      1 ", frame.find(kDisplacementHeading));
    const std::string value(
        FindWord(frame.substr(first + 1, frame.find('\n', first + 1) - first), 2));
    // Printed in the value's field, as the solver prints whatever it prints there.
    auto node1 = [&](const std::string& word) {
        const std::string field(value.size() - std::min(value.size(), word.size()), ' ');
        return changed(frame, value, field + word, 1, first);
    };
    const std::string none = "NO TABLE HERE", heat(kTemperatureHeading);
    const char *d = "Displacements", *t = "Temperature";
    // What is said, and where: the line of a value that is no number.
    const std::string past = "62: Input past end of file in listing.out ",
                      mismatch = "13: Type mismatch in listing.out, line ",
                      noTable = " s): the time holds no such table";
    const struct {
        const char* what;
        std::string bytes;
        const char* variable;
        std::vector<Integer> times;
        std::string message;
    } cases[] = {
        {"cut inside the last value",
         frame.substr(0, last + 26),
         d,
         {1, 3},
         past + "(Displacements at 180 s): the listing ends inside the table"},
        {"no table at time 2",
         changed(frame, kDisplacementHeading, none, 2),
         d,
         {2},
         past + "(Displacements at 120" + noTable},
        {"a field of stars",
         node1("************"),
         d,
         {1},
         mismatch + "23 (Displacements at 60 s)"},
        {"a byte for a value's sign",
         node1("\x89" + value.substr(1)),
         d,
         {1},
         mismatch + "23 (Displacements at 60 s)"},
        {"not a number", node1("NaN"), d, {1}, mismatch + "23 (Displacements at 60 s)"},
        {"a power of three digits",
         node1("1.23456+100"),
         d,
         {1},
         "6: Overflow in listing.out, line 23 (Displacements at 60 s)"},
        {"stars for a temperature",
         changed(thermal, "  78.5", "******", 1),
         t,
         {1},
         mismatch + "28 (Temperature at 60 s)"},
        {"no temperatures at time 2",
         changed(thermal, heat, none, 2),
         t,
         {2, 3},
         past + "(Temperature at 120" + noTable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        OpenBytes(c.bytes);
        ASSERT_EQ(o.catalogue.Times.size(), 3u);
        Extract(c.variable, 1, c.times);
        EXPECT_EQ(test::Texts(messages), LineList{c.message});
        EXPECT_TRUE(o.result.ExtractionFailed);
    }
    OpenBytes(node1("-2.50000-100"));
    Extract("Displacements", 1, {1});
    EXPECT_TRUE(messages.messages.empty());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(Value(1, 1)), 0x80000000u);  // -0: below every single
}

// What a read error is reported as: a time record outside the listing, and a damaged count
// claiming more items than the listing could print (which must not be allocated).
TEST_F(Extraction, ReadErrorsAreReportedAndNothingHeld) {
    // What the extraction of the first component of `variable` at `times` says.
    auto said = [this](const char* variable, const std::vector<Integer>& times) {
        Extract(variable, 0, times);
        return test::Texts(messages);
    };
    OpenSpec(test::Frame3d());
    EXPECT_EQ(said("Displacements", {5}), LineList{"9: Subscript out of range"});
    OpenSpec(test::Frame3d());
    o.catalogue.NodeCount = 2000000000;
    EXPECT_EQ(said("Displacements", {1, 2, 3, 4}), LineList{"62: Input past end of file"});
    EXPECT_EQ(o.result.Values.Items(), 0);
}

}  // namespace
}  // namespace velto
