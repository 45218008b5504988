#include <gtest/gtest.h>

#include <cmath>

#include "tests/reader/readertest.h"

namespace velto {
namespace {

using test::Head;
using test::Lines;
using test::operator+;

using LineList = std::vector<std::string>;

const LineList kModel = {
    " DESCRIPTION OF THE STRUCTURE.",
    "  * THERE ARE      120 NODES.",
    "  * THERE ARE        4 BEAM ELEMENTS.",
    " EACH OF THEM HAS    3 POINTS ALONG ITS AXIS.",
    " GROUP OF GEOM. PROP.    1",
    "  * THERE ARE      999 NODES IN THE SECTION FILE.",
    "  * THERE ARE   x  TRUSS ELEMENTS.",
    "    THIS BEAM SECTION TYPE IS DISCRETIZED BY",
    "       12 LONGITUDINAL FIBERS.",
    " CONVERGENCE HAS BEEN OBTAINED.",
};

class StructuralScan : public test::ListingTest {
  protected:
    // The text of the line that starts at a 1-based position.
    std::string LineAt(FilePosition position) const {
        std::string rest = bytes.substr(static_cast<std::size_t>(position - 1));
        return rest.substr(0, rest.find_first_of("\r\n"));
    }
};

// The model's counts, with the beam section's description skipped, and what a bad count line
// stops the reading with; counts set before it are kept (node counts are Long).
TEST_F(StructuralScan, ModelCountsAndTheirErrors) {
    const struct {
        std::vector<std::pair<int, const char*>> changes;  // lines of kModel replaced
        const char* message;
        Long nodes;
        Integer beams;
        Integer fibres;
    } cases[] = {
        {{}, "", 120, 4, 12},
        // "AND" goes, the blanks vanish: 24.
        {{{8, "  2 AND 4 LONGITUDINAL FIBERS."}}, "", 120, 4, 24},
        {{{3, " EACH OF THEM HAS"}}, "Read File Error 9: Subscript out of range", 120, 4, 0},
        {{{1, "  * THERE ARE many NODES."}}, "Read File Error 13: Type mismatch", 0, 0, 0},
        {{{1, "  * THERE ARE    50000 NODES."}, {2, "  * THERE ARE    40000 BEAM ELEMENTS."}},
         "Read File Error 6: Overflow",
         50000,
         0,
         0},
    };
    for (const auto& k : cases) {
        LineList model = kModel;
        for (const auto& [line, text] : k.changes) {
            model[static_cast<std::size_t>(line)] = text;
        }
        SCOPED_TRACE(k.message);
        OpenLines(Head("STATIC ANALYSIS") + model + LineList{"  TIME = 1", "x"});
        EXPECT_EQ(test::Texts(o.messages), *k.message ? LineList{k.message} : LineList{});
        const Catalogue& c = o.catalogue;
        EXPECT_EQ(c.NodeCount, k.nodes);
        EXPECT_EQ(c.BeamCount, k.beams);
        EXPECT_EQ(c.FiberCount, k.fibres);
        EXPECT_EQ(c.Times.size(), *k.message ? 0u : 1u);
        if (!*k.message) {
            EXPECT_EQ(c.BeamPointCount, 3);
            EXPECT_EQ(c.TrussCount + c.ShellCount + c.SoilCount, 0);
        }
    }
}

// A declared count below 1 is a damaged line: refused as the other bad counts are, never
// offered as a range such as "Nodes 1..-5". Each kind of count, zero as well as below.
TEST_F(StructuralScan, CountsBelowOneAreRefused) {
    const LineList model = {
        "  * THERE ARE       20 NODES.",          "  * THERE ARE        2 TRUSS ELEMENTS.",
        "  * THERE ARE        4 BEAM ELEMENTS.",  " EACH OF THEM HAS    3 POINTS ALONG ITS AXIS.",
        "  * THERE ARE        2 SHELL ELEMENTS.", "      4 INTEGRATION POINTS ON THE AREA",
        "  * THERE ARE        1 SOIL ELEMENTS.",  "       12 LONGITUDINAL FIBERS.",
    };
    const LineList end = {" CONVERGENCE HAS BEEN OBTAINED.", "  TIME = 1", "x"};
    OpenLines(Head("STATIC ANALYSIS") + model + end);
    ASSERT_EQ(o.catalogue.Times.size(), 1u);  // the model as it stands is read
    const std::pair<std::size_t, const char*> damaged[] = {
        {0, "  * THERE ARE -5 NODES.:-5 nodes"},
        {0, "  * THERE ARE 0 NODES.:0 nodes"},
        {1, "  * THERE ARE -1 TRUSS ELEMENTS.:-1 truss elements"},
        {2, "  * THERE ARE 0 BEAM ELEMENTS.:0 beam elements"},
        {3, " EACH OF THEM HAS -3 POINTS ALONG ITS AXIS.:-3 points along each beam"},
        {4, "  * THERE ARE -2 SHELL ELEMENTS.:-2 shell elements"},
        {5, " -4 INTEGRATION POINTS ON THE AREA:-4 integration points on the area"},
        {6, "  * THERE ARE -32768 SOIL ELEMENTS.:-32768 soil elements"},
        {7, " -12 LONGITUDINAL FIBERS.:-12 longitudinal fibres"},
    };
    for (const auto& [line, text] : damaged) {
        const std::string_view both = text;
        const std::size_t colon = both.find(':');
        SCOPED_TRACE(text);
        LineList lines = model;
        lines[line] = std::string(both.substr(0, colon));
        OpenLines(Head("STATIC ANALYSIS") + lines + end);
        EXPECT_EQ(test::Texts(o.messages),
                  LineList{"Read File Error 5: Invalid procedure call or argument: the listing "
                           "declares " +
                           std::string(both.substr(colon + 1))});
        EXPECT_TRUE(o.catalogue.Times.empty());
        EXPECT_EQ(o.catalogue.NodeCount, line > 0 ? 20 : 0);  // what came before is kept
    }
}

TEST_F(StructuralScan, TimesArePositionedOnTheLineAfterTheirTimeLine) {
    for (std::string_view end : {"\n", "\r\n", "\r"}) {
        SCOPED_TRACE(end == "\n" ? "LF" : end == "\r" ? "CR" : "CRLF");
        OpenLines(Head("DYNAMIC ANALYSIS") +
                      LineList{"  TIME =  5.0 SEC. (before convergence: not a time)"} + kModel +
                      LineList{"", "  TIME =   60.0000 SEC.", "first block", "  TIME = 90.5",
                               "second time in the same block", " CONVERGENCE HAS BEEN OBTAINED.",
                               "  TIME = 1.25E+02", "cut short here"},
                  end);
        EXPECT_TRUE(test::Texts(o.messages).empty());
        const Catalogue& c = o.catalogue;
        ASSERT_EQ(c.Times.size(), 3u);
        EXPECT_EQ(c.Times[0].Time, 60.0f);
        EXPECT_EQ(c.Times[1].Time, 90.5f);
        EXPECT_EQ(c.Times[2].Time, 125.0f);
        EXPECT_EQ(LineAt(c.Times[0].Position), "first block");
        EXPECT_EQ(LineAt(c.Times[1].Position), "second time in the same block");
        EXPECT_EQ(LineAt(c.Times[2].Position), "cut short here");
    }
}

// A time is a number as a whole: what is not one (stars of a time too wide for its field, a
// decimal comma, a blank, letters after it) is refused with its line, never read as 0 or as its
// start. A time of -0 is the time 0.
TEST_F(StructuralScan, TimesThatAreNoNumberAreRefusedWithTheirLine) {
    const LineList before = Head("STATIC") + kModel + LineList{"  TIME =   60.0000 SEC.", "x"};
    const std::string line = std::to_string(before.size() + 1);
    for (const char* time : {"************", "0,1000", "NaN", "0.3X", "SEC."}) {
        SCOPED_TRACE(time);
        OpenLines(before + LineList{std::string("  TIME = ") + time + " SEC.", "y"});
        EXPECT_EQ(test::Texts(o.messages),
                  LineList{"Read File Error 13: Type mismatch in listing.out, line " + line +
                           " (the time of a result)"});
        EXPECT_TRUE(o.catalogue.Times.empty());
    }
    for (const char* zero : {"-0.0000", "-1.0E-46"}) {  // the second below the least single
        OpenLines(Head("STATIC") + kModel +
                  LineList{std::string("  TIME =   ") + zero + " SEC.", "x"});
        ASSERT_EQ(o.catalogue.Times.size(), 1u);
        EXPECT_FALSE(std::signbit(o.catalogue.Times[0].Time)) << zero;
    }
}

TEST_F(StructuralScan, TimeLineAtTheVeryEndPointsPastTheFile) {
    OpenLines(Head("STATIC") + kModel + LineList{"  TIME = 30"});
    ASSERT_EQ(o.catalogue.Times.size(), 1u);
    EXPECT_EQ(o.catalogue.Times[0].Position, static_cast<FilePosition>(bytes.size() + 1));
}

TEST_F(StructuralScan, TablesComeFromTheFirstResultBlockOnly) {
    OpenLines(Head("STATIC") + kModel +
              LineList{" TOTAL DISPLACEMENTS.",  // right after the convergence line: not tested
                       "  TIME = 60", " INTERNAL SOLLICITATIONS IN THE BEAM ELEMENTS.",
                       " STRESSES IN N/mm\xB2 IN BEAM ELEMENT    5, POINT  1",
                       "  TANGENT MODULUS IN N/mm\xB2 IN BEAM ELEMENT   12, POINT  3  ",
                       " STRESSES IN N/mm\xB2 IN BEAM ELEMENT    6, POINT  2",
                       " INTERNAL SOLLICITATIONS IN THE TRUSS ELEMENTS. (not exactly)",
                       " INTERNAL FORCE IN THE SOIL ELEMENTS.", " CONVERGENCE HAS BEEN OBTAINED.",
                       "  TIME = 120", " TOTAL DISPLACEMENTS.",
                       " MEMBRANE FORCES Nx, Ny & Nxy IN THE SHELL ELEMENTS [kN/m]",
                       " STRESSES IN N/mm\xB2 IN BEAM ELEMENT    7, POINT  1"});
    const Catalogue& c = o.catalogue;
    EXPECT_TRUE(c.HasBeamForces && c.HasSoilForces && c.HasBeamStresses && c.HasTangentModulus);
    EXPECT_FALSE(c.HasDisplacements || c.HasTrussForces || c.HasMembraneForces);
    EXPECT_EQ(c.StressTables,
              (std::vector<std::string>{"Beam    5 (Point  1)", "Beam    6 (Point  2)"}));
    EXPECT_EQ(c.TangentTables, std::vector<std::string>{"Beam   12 (Point  3)"});
    EXPECT_EQ(c.Times.size(), 2u);
}

// A listing whose times cannot all be read offers no table either: nothing could be exported.
TEST_F(StructuralScan, TooManyTimesOverflowTheTimeCounter) {
    LineList lines = Head("STATIC") + kModel +
                     LineList{"  TIME = 1", " INTERNAL SOLLICITATIONS IN THE BEAM ELEMENTS."};
    for (int i = 2; i <= 32767; ++i) {
        lines.push_back("  TIME = " + std::to_string(i));
    }
    OpenLines(lines);
    EXPECT_EQ(test::Texts(o.messages),
              LineList{"Read File Error 6: Overflow: the listing holds more than 32766 times, the "
                       "most the tools can count"});
    EXPECT_TRUE(o.catalogue.Times.empty());
    EXPECT_FALSE(o.catalogue.HasBeamForces);

    lines.pop_back();
    OpenLines(lines);
    EXPECT_TRUE(test::Texts(o.messages).empty());
    EXPECT_EQ(o.catalogue.Times.size(), 32766u);
    EXPECT_TRUE(o.catalogue.HasBeamForces);
}

TEST_F(StructuralScan, ProgressRunsFromInputToTimes) {
    OpenLines(Head("STATIC") + kModel + LineList{"  TIME = 1", "x", "  TIME = 2", "y"});
    const auto& captions = o.progress.captions;
    ASSERT_FALSE(captions.empty());
    EXPECT_EQ(captions.front(), "Reading input...");
    EXPECT_EQ(captions.back(), "Reading times...");
    for (Single f : o.progress.fractions) {
        EXPECT_GE(f, 0.0f);
        EXPECT_LE(f, 1.0f);
    }
    EXPECT_EQ(o.progress.fractions.back(), 1.0f);
}

TEST_F(StructuralScan, OpeningAnotherListingClearsTheFirst) {
    path = dir.File("a.out");
    WriteListingFile({.beams = 4, .shells = 2, .beamPoints = 3, .areaPoints = 9, .stressTables = 2},
                     path);
    test::Open(o, path);
    ASSERT_TRUE(o.catalogue.HasBeamStresses);

    std::string second = dir.File("b.out");
    WriteListingFile({.kind = ListingKind::Thermal, .times = 0}, second);
    test::Open(o, second);
    const Catalogue& c = o.catalogue;
    EXPECT_FALSE(c.HasBeamStresses || c.HasBeamForces || c.HasDisplacements || c.HasTemperatures);
    EXPECT_TRUE(c.StressTables.empty());
    EXPECT_EQ(c.BeamCount, 0);
    EXPECT_TRUE(c.Times.empty());
    // Nor do the points per beam and on the area: a listing that does not declare them has none
    // (the window, which opens one listing after another, offered the first one's points).
    EXPECT_EQ(c.BeamPointCount, 0);
    EXPECT_EQ(c.AreaPointCount, 0);
}

}  // namespace
}  // namespace velto
