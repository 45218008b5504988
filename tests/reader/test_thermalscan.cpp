#include <gtest/gtest.h>

#include "tests/reader/readertest.h"

namespace velto {
namespace {

using test::Head;
using test::operator+;

using LineList = std::vector<std::string>;

class ThermalScan : public test::ListingTest {};

// Counts come only from the description; a missing description or positions line, and a read
// error, are said (the scan used to end silently on a read error, leaving a partial catalogue that
// looked whole) and leave no times.
TEST_F(ThermalScan, CountsTimesAndWhatStopsTheScan) {
    const LineList head = Head("TEMPERATURE");
    const LineList description = head + LineList{" DESCRIPTION OF THE STRUCTURE."};
    const LineList positions = {" POSITION OF THE NODES."};
    const struct {
        LineList lines;
        const char* message;  // "": none
        Long nodes;           // -1: not looked at
        std::size_t times;
    } cases[] = {
        {Head("TEMPERATURE ANALYSIS") +
             LineList{"  * THERE ARE   7 NODES. (before the description: ignored)",
                      "   DESCRIPTION OF THE STRUCTURE.  ", "  * THERE ARE   120 NODES.",
                      "  * THERE ARE    96 SOLID ELEMENTS."} +
             positions +
             LineList{"  * THERE ARE   999 NODES. (after the positions: ignored)",
                      "  TIME =   60.0 SEC.", " NODE TEMP.", "  TIME =  120.0 SEC."},
         "", 120, 2},
        {head + LineList{" DESCRIPTION OF THE STRUCTURE.\t", "  TIME = 1"},
         "The string DESCRIPTION OF THE STRUCTURE was not found. Cannot continue.", -1, 0},
        {description + LineList{"  * THERE ARE  12 NODES.", "  TIME = 1"},
         "The string POSITION OF THE NODES was not found. Cannot continue.", 12, 0},
        {description + positions, "", -1, 0},
        {description +
             LineList{"  * THERE ARE   12 NODES.", "  * THERE ARE   lots SOLID ELEMENTS."} +
             positions + LineList{"  TIME = 5"},
         "Read File Error 13: Type mismatch", 12, 0},
        {description + positions + LineList{"  TIME = 5", "  TIME = 1E40"},
         "Read File Error 6: Overflow in listing.out, line 9 (the time of a result)", -1, 0},
        // A count below 1 is a damaged line, not a model: no range "Nodes 1..-5" and no times.
        {description + LineList{"  * THERE ARE   -5 NODES."} + positions + LineList{"  TIME = 5"},
         "Read File Error 5: Invalid procedure call or argument: the listing declares -5 nodes", 0,
         0},
        {description + LineList{"  * THERE ARE   12 NODES.", "  * THERE ARE    0 SOLID ELEMENTS."} +
             positions + LineList{"  TIME = 5"},
         "Read File Error 5: Invalid procedure call or argument: the listing declares 0 solid "
         "elements",
         12, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        OpenLines(c.lines);
        ASSERT_EQ(test::Texts(o.messages), *c.message ? LineList{c.message} : LineList{});
        if (*c.message) {
            EXPECT_EQ(o.messages.messages[0].icon, MessageIcon::Critical);
            EXPECT_EQ(o.messages.messages[0].caption, "VeltoExtract");
        }
        if (c.nodes >= 0) {
            EXPECT_EQ(o.catalogue.NodeCount, c.nodes);
        }
        ASSERT_EQ(o.catalogue.Times.size(), c.times);
        EXPECT_EQ(o.catalogue.HasTemperatures, c.times > 0);
        if (c.times > 0) {
            EXPECT_EQ(o.catalogue.SolidCount, 96);
            EXPECT_EQ(o.catalogue.Times[1].Time, 120.0f);
        }
    }
}

// A time line the solver is still printing, cut anywhere before its line end, is no time yet:
// "  TIME =     1" may be the start of 180 s, and "  TIME =" holds no number at all.
TEST_F(ThermalScan, ATimeLineStillBeingPrintedIsNoTimeYet) {
    std::ostringstream text;
    WriteListing({.kind = ListingKind::Thermal, .nodes = 10, .solids = 3, .times = 3}, text);
    const std::string whole = text.str();
    const std::size_t last = whole.rfind("  TIME =");
    const std::size_t end = whole.find('\n', last);
    for (std::size_t cut = last + 1; cut <= end; ++cut) {
        OpenBytes(whole.substr(0, cut));
        EXPECT_EQ(test::Texts(o.messages), LineList{}) << "cut at " << cut;
        EXPECT_EQ(o.catalogue.Times.size(), 2u) << "cut at " << cut;
    }
    OpenBytes(whole.substr(0, end + 1));
    ASSERT_EQ(o.catalogue.Times.size(), 3u);
    EXPECT_EQ(o.catalogue.Times[2].Time, 180.0f);
}

}  // namespace
}  // namespace velto
