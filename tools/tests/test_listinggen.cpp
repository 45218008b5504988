// The synthetic listing generator. The reader tests parse generated listings in every line-end
// convention and check every table against TableValue; these tests cover what they rely on.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tools/listinggen.h"

namespace velto {
namespace {

int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

// Every structural table, small.
ListingSpec Structural() {
    return {.ndim = 3,
            .nodes = 7,
            .trusses = 3,
            .beams = 2,
            .shells = 2,
            .soils = 2,
            .stressTables = 2,
            .tangentTables = 1};
}

ListingSpec Thermal(long nodes) {
    return {.kind = ListingKind::Thermal, .nodes = nodes, .solids = 5};
}

std::string Temperature(long node, int t) {
    return FormatTemperature(TableValue(Table::Temperature, 0, node, t));
}

// Comparing what was read with TableValue only finds a wrong row, column or block when
// neighbours print differently, and a lost minus sign where values take both signs (stiffnesses
// are positive); temperatures must fill their 6-character field exactly.
TEST(TableValueTest, NeighboursPrintDifferently) {
    for (Table table :
         {Table::Displacement, Table::Eigen, Table::Truss, Table::Beam, Table::Membrane,
          Table::Bending, Table::Soil, Table::Stress, Table::Tangent}) {
        const auto v = [&](int c, long item, int t) {
            return FormatValue(TableValue(table, c, item, t));
        };
        int negative = 0;
        for (int t = 1; t <= 3; ++t) {
            for (int c = 0; c < 7; ++c) {
                for (long item = 1; item <= 200; ++item) {
                    const std::string here = v(c, item, t);
                    EXPECT_NE(here, v(c, item + 1, t));
                    EXPECT_NE(here, v(c + 1, item, t));
                    EXPECT_NE(here, v(c, item, t + 1));
                    negative += here[0] == '-';
                }
            }
        }
        if (table != Table::Eigen && table != Table::Tangent) {
            EXPECT_GT(negative, 1000);  // of 4200
            EXPECT_LT(negative, 3200);
        }
    }
    for (int t = 1; t <= 20; ++t) {
        for (long node = 1; node <= 3000; ++node) {
            const double v = TableValue(Table::Temperature, 0, node, t);
            ASSERT_GE(v, 20.0);
            ASSERT_LT(v, 1200.0);
            ASSERT_EQ(Temperature(node, t).size(), 6u) << v;
            EXPECT_NE(Temperature(node, t), Temperature(node + 1, t));
            EXPECT_NE(Temperature(node, t), Temperature(node, t + 1));
        }
    }
}

// Same lines whatever the convention, and no other line break anywhere.
TEST(ListingTest, OnlyTheChosenLineEndOccurs) {
    for (ListingSpec s : {Structural(), Thermal(12)}) {
        const std::string lf = ListingText(s);
        ASSERT_EQ(lf.find('\r'), std::string::npos);
        ASSERT_EQ(lf.back(), '\n');
        for (const std::string eol : {"\r\n", "\r"}) {
            std::string expected;
            for (char c : lf) {
                expected += c == '\n' ? eol : std::string(1, c);
            }
            s.lineEnd = eol;
            EXPECT_EQ(ListingText(s), expected) << eol.size();
        }
    }
}

TEST(ListingTest, SuperscriptTwoIsOneLatin1Byte) {
    const std::string text = ListingText(Structural());
    EXPECT_EQ(text.find('\xC2'), std::string::npos);  // no UTF-8
    // Three blocks, each with the soil heading, two stress and one tangent table.
    EXPECT_EQ(Count(text, "\xB2"), 12);
    EXPECT_EQ(Count(text, "  ELEM.     N[kN]     P[kN/m\xB2]\n"), 3);
}

}  // namespace
}  // namespace velto
