#include <gtest/gtest.h>

#include "tests/reader/readertest.h"

namespace velto {
namespace {

using test::Head;
using test::Lines;
using test::operator+;

using LineList = std::vector<std::string>;

class ThermalScan : public test::ListingTest {};

TEST_F(ThermalScan, CountsComeOnlyFromTheDescription) {
    OpenLines(Head("TEMPERATURE ANALYSIS") +
              LineList{"  * THERE ARE   7 NODES. (before the description: ignored)",
                       "   DESCRIPTION OF THE STRUCTURE.  ", "  * THERE ARE   120 NODES.",
                       "  * THERE ARE    96 SOLID ELEMENTS.", " POSITION OF THE NODES.",
                       "  * THERE ARE   999 NODES. (after the positions: ignored)",
                       "  TIME =   60.0 SEC.", " NODE TEMP.", "  TIME =  120.0 SEC."});
    EXPECT_TRUE(o.texts().empty());
    EXPECT_EQ(o.catalogue.NodeCount, 120);
    EXPECT_EQ(o.catalogue.SolidCount, 96);
    ASSERT_EQ(o.catalogue.Times.size(), 2u);
    EXPECT_EQ(o.catalogue.Times[1].Time, 120.0f);
    EXPECT_TRUE(o.catalogue.HasTemperatures);
}

TEST_F(ThermalScan, MissingDescriptionAndPositionsAreReported) {
    OpenLines(Head("TEMPERATURE") + LineList{" DESCRIPTION OF THE STRUCTURE.\t", "  TIME = 1"});
    EXPECT_EQ(o.texts(),
              LineList{"The string DESCRIPTION OF THE STRUCTURE was not found. Cannot continue."});
    EXPECT_EQ(o.messages.messages[0].icon, MessageIcon::Critical);
    EXPECT_TRUE(o.catalogue.Times.empty());

    OpenLines(Head("TEMPERATURE") +
              LineList{" DESCRIPTION OF THE STRUCTURE.", "  * THERE ARE  12 NODES.", "  TIME = 1"});
    EXPECT_EQ(o.texts(),
              LineList{"The string POSITION OF THE NODES was not found. Cannot continue."});
    EXPECT_EQ(o.catalogue.NodeCount, 12);
    EXPECT_TRUE(o.catalogue.Times.empty());
    EXPECT_FALSE(o.catalogue.HasTemperatures);
}

TEST_F(ThermalScan, ListingEndingAfterThePositionsHasNoTimes) {
    OpenLines(Head("TEMPERATURE") +
              LineList{" DESCRIPTION OF THE STRUCTURE.", " POSITION OF THE NODES."});
    EXPECT_TRUE(o.texts().empty());
    EXPECT_TRUE(o.catalogue.Times.empty());
    EXPECT_FALSE(o.catalogue.HasTemperatures);
}

// The thermal scan used to end silently on a read error, leaving a partial catalogue that looked
// whole. It now says what went wrong, as the structural scan does.
TEST_F(ThermalScan, ReadErrorsAreReportedNotSwallowed) {
    OpenLines(Head("TEMPERATURE") + LineList{" DESCRIPTION OF THE STRUCTURE.",
                                             "  * THERE ARE   12 NODES.",
                                             "  * THERE ARE   lots SOLID ELEMENTS.",
                                             " POSITION OF THE NODES.", "  TIME = 5"});
    ASSERT_EQ(o.texts(), LineList{"Read File Error 13: Type mismatch"});
    EXPECT_EQ(o.messages.messages[0].icon, MessageIcon::Critical);
    EXPECT_EQ(o.messages.messages[0].caption, "VeltoExtract");
    EXPECT_EQ(o.catalogue.NodeCount, 12);
    EXPECT_TRUE(o.catalogue.Times.empty());

    OpenLines(Head("TEMPERATURE") + LineList{" DESCRIPTION OF THE STRUCTURE.",
                                             " POSITION OF THE NODES.", "  TIME = 5",
                                             "  TIME = 1E40"});
    EXPECT_EQ(o.texts(), LineList{"Read File Error 6: Overflow"});
    EXPECT_TRUE(o.catalogue.Times.empty());
    EXPECT_FALSE(o.catalogue.HasTemperatures);
}

}  // namespace
}  // namespace velto
