// The synthetic listing generator. The reader tests parse generated listings in every line-end
// convention and check every table against TableValue; these tests cover what they rely on.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "tools/listinggen.h"

namespace velto {
namespace {

std::string Generate(const ListingSpec& spec, int* blocks = nullptr) {
    std::ostringstream out;
    const int n = WriteListing(spec, out);
    if (blocks != nullptr) {
        *blocks = n;
    }
    return out.str();
}

int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

// Every structural table, small.
ListingSpec Structural() {
    ListingSpec s;
    s.ndim = 3;
    s.nodes = 7;
    s.trusses = 3;
    s.beams = 2;
    s.shells = 2;
    s.soils = 2;
    s.stressTables = 2;
    s.tangentTables = 1;
    return s;
}

ListingSpec Thermal(long nodes) {
    ListingSpec s;
    s.kind = ListingKind::Thermal;
    s.nodes = nodes;
    s.solids = 5;
    return s;
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
        const std::string lf = Generate(s);
        ASSERT_EQ(lf.find('\r'), std::string::npos);
        ASSERT_EQ(lf.back(), '\n');
        for (const std::string eol : {"\r\n", "\r"}) {
            std::string expected;
            for (char c : lf) {
                expected += c == '\n' ? eol : std::string(1, c);
            }
            s.lineEnd = eol;
            EXPECT_EQ(Generate(s), expected) << eol.size();
        }
    }
}

TEST(ListingTest, SuperscriptTwoIsOneLatin1Byte) {
    const std::string text = Generate(Structural());
    EXPECT_EQ(text.find('\xC2'), std::string::npos);  // no UTF-8
    // Three blocks, each with the soil heading, two stress and one tangent table.
    EXPECT_EQ(Count(text, "\xB2"), 12);
    EXPECT_EQ(Count(text, "  ELEM.     N[kN]     P[kN/m\xB2]\n"), 3);
}

// Node numbers in temperature tables keep five digits, as the solver prints them.
TEST(ListingTest, ThermalNodeNumbersWrapAtFiveDigits) {
    ListingSpec s = Thermal(100002);
    s.times = 1;
    const std::string text = Generate(s);
    EXPECT_TRUE(text.ends_with("99999" + Temperature(99999, 1) + "    0" + Temperature(100000, 1) +
                               "\n    1" + Temperature(100001, 1) + "    2" +
                               Temperature(100002, 1) + "\n"));
}

// A size target stops at the first time block that reaches it (the time count is ignored), with
// at least one block and never more than the block limit.
TEST(TargetBytesTest, StopsAtTheFirstBlockReachingTheSize) {
    for (ListingSpec s : {Structural(), Thermal(40)}) {
        s.lineEnd = "\r\n";
        s.times = 1;
        s.targetBytes = 123457;
        int blocks = 0;
        const std::string text = Generate(s, &blocks);
        EXPECT_GE(text.size(), s.targetBytes);
        EXPECT_EQ(Count(text, "\r\n  TIME ="), blocks);
        ListingSpec fixed = s;
        fixed.targetBytes = 0;
        fixed.times = blocks - 1;
        EXPECT_LT(Generate(fixed).size(), s.targetBytes);
        fixed.times = blocks;
        EXPECT_EQ(Generate(fixed), text);
    }
    ListingSpec s = Structural();
    s.times = 4;
    const std::uint64_t four = Generate(s).size();
    for (const auto& [target, expected] :
         {std::pair<std::uint64_t, int>{four, 4}, {four - 1, 4}, {four + 1, 5}, {10, 1}}) {
        s.targetBytes = target;
        int blocks = 0;
        EXPECT_EQ(Count(Generate(s, &blocks), "  TIME ="), expected) << target;
        EXPECT_EQ(blocks, expected) << target;
    }
    ListingSpec tiny;
    tiny.nodes = 1;
    tiny.displacements = false;
    tiny.targetBytes = std::uint64_t{1} << 40;
    int blocks = 0;
    const std::string text = Generate(tiny, &blocks);
    EXPECT_EQ(blocks, kMaxTimeBlocks);
    EXPECT_EQ(Count(text, "  TIME ="), kMaxTimeBlocks);
    EXPECT_EQ(text.find("DISPLACEMENTS"), std::string::npos);
}

TEST(FileTest, WriteFailuresThrow) {
    const auto path = std::filesystem::temp_directory_path() / "velto_no_such_dir" / "x.out";
    EXPECT_THROW(WriteListingFile(ListingSpec{}, path.string()), std::runtime_error);
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    EXPECT_THROW(WriteListing(ListingSpec{}, out), std::runtime_error);
}

TEST(SpecTest, InconsistentSpecsAreRejected) {
    const auto rejects = [](auto change) {
        ListingSpec s;
        change(s);
        std::ostringstream out;
        EXPECT_THROW(WriteListing(s, out), std::invalid_argument);
        EXPECT_TRUE(out.str().empty());
    };
    rejects([](ListingSpec& s) { s.ndim = 1; });
    rejects([](ListingSpec& s) { s.lineEnd = "\n\r"; });
    rejects([](ListingSpec& s) { s.stressTables = 1; });  // no beams
    rejects([](ListingSpec& s) { s.version = "static 1"; });
    rejects([](ListingSpec& s) { s.version = "1\n2"; });
    rejects([](ListingSpec& s) { s.nodes = -1; });
    rejects([](ListingSpec& s) { s.times = kMaxTimeBlocks + 1; });
    rejects([](ListingSpec& s) { s.protection = -1; });
    rejects([](ListingSpec& s) {
        s.shells = 1;
        s.areaPoints = 0;
    });
}

}  // namespace
}  // namespace velto
