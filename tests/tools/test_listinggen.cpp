#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

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

// Lines of a listing; the text must end with the line end.
std::vector<std::string> Lines(const std::string& text, const std::string& eol = "\n") {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find(eol, pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "text after the last line end";
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + eol.size();
    }
    return lines;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

std::string Fixed(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string V(Table table, int component, long item, int t) {
    return FormatValue(TableValue(table, component, item, t));
}

// Index of the first line equal to `text` in [from, lines.size()), or -1.
long Find(const std::vector<std::string>& lines, const std::string& text, std::size_t from = 0) {
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (lines[i] == text) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

std::vector<std::size_t> TimeLines(const std::vector<std::string>& lines) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("  TIME =", 0) == 0) {
            at.push_back(i);
        }
    }
    return at;
}

ListingSpec FullStructural(int ndim) {
    ListingSpec s;
    s.kind = ListingKind::Static;
    s.ndim = ndim;
    s.nodes = 7;
    s.trusses = 3;
    s.beams = 2;
    s.beamPoints = 3;
    s.shells = 2;
    s.areaPoints = 4;
    s.soils = 2;
    s.fibers = 12;
    s.stressTables = 2;
    s.tangentTables = 1;
    s.times = 3;
    s.timeStep = 30.0;
    return s;
}

// --- values -------------------------------------------------------------------------------

TEST(FormatTest, PrintsLikePrintf) {
    EXPECT_EQ(FormatValue(-123.45), "-1.23450E+02");
    EXPECT_EQ(FormatValue(0.00125), "1.25000E-03");
    EXPECT_EQ(FormatTemperature(20.0), "  20.0");
    EXPECT_EQ(FormatTemperature(1199.9), "1199.9");
}

TEST(TableValueTest, PrintedTextGivesTheExactValueBack) {
    for (Table table : {Table::Displacement, Table::Eigen, Table::Beam, Table::Stress}) {
        for (int t = 1; t <= 3; ++t) {
            for (long item = 1; item <= 500; ++item) {
                const double v = TableValue(table, 1, item, t);
                EXPECT_EQ(std::strtod(FormatValue(v).c_str(), nullptr), v) << item;
            }
        }
    }
    for (long node = 1; node <= 2000; ++node) {
        const double v = TableValue(Table::Temperature, 0, node, 2);
        EXPECT_EQ(std::strtod(FormatTemperature(v).c_str(), nullptr), v) << node;
    }
}

TEST(TableValueTest, NeighboursPrintDifferentlyAndSignsMix) {
    const Table tables[] = {Table::Displacement, Table::Eigen,    Table::Truss,
                            Table::Beam,         Table::Membrane, Table::Bending,
                            Table::Soil,         Table::Stress,   Table::Tangent};
    for (Table table : tables) {
        int negative = 0, positive = 0;
        for (int t = 1; t <= 4; ++t) {
            for (int c = 0; c < 7; ++c) {
                for (long item = 1; item <= 300; ++item) {
                    const std::string here = V(table, c, item, t);
                    EXPECT_NE(here, V(table, c, item + 1, t));
                    EXPECT_NE(here, V(table, c + 1, item, t));
                    EXPECT_NE(here, V(table, c, item, t + 1));
                    (here[0] == '-' ? negative : positive)++;
                }
            }
        }
        EXPECT_GT(negative, 1000);
        EXPECT_GT(positive, 1000);
    }
    // Neighbouring value lines of a 3D beam table differ in every column.
    for (int c = 0; c < 5; ++c) {
        EXPECT_NE(V(Table::Beam, c, 4, 1), V(Table::Beam, c, 5, 1));
    }
}

TEST(TableValueTest, TemperaturesStayPrintableAndDiffer) {
    for (int t = 1; t <= 60; ++t) {
        for (long node = 1; node <= 3000; ++node) {
            const double v = TableValue(Table::Temperature, 0, node, t);
            ASSERT_GE(v, 20.0);
            ASSERT_LT(v, 1200.0);
            const std::string text = FormatTemperature(v);
            ASSERT_EQ(text.size(), 6u) << text;
            EXPECT_NE(text, FormatTemperature(TableValue(Table::Temperature, 0, node + 1, t)));
            EXPECT_NE(text, FormatTemperature(TableValue(Table::Temperature, 0, node, t + 1)));
        }
    }
}

// --- bytes and lines ----------------------------------------------------------------------

TEST(ListingTest, OnlyTheChosenLineEndOccurs) {
    for (ListingKind kind : {ListingKind::Thermal, ListingKind::Dynamic}) {
        for (const std::string eol : {"\n", "\r\n", "\r"}) {
            ListingSpec s = FullStructural(3);
            s.kind = kind;
            s.solids = 4;
            s.lineEnd = eol;
            const std::string text = Generate(s);
            ASSERT_GE(text.size(), eol.size());
            EXPECT_EQ(text.substr(text.size() - eol.size()), eol);
            const auto lines = Lines(text, eol);
            for (const std::string& line : lines) {
                ASSERT_EQ(line.find_first_of("\r\n"), std::string::npos)
                    << "stray line break with eol size " << eol.size();
            }
            // Same content whatever the convention.
            ListingSpec lf = s;
            lf.lineEnd = "\n";
            EXPECT_EQ(lines, Lines(Generate(lf)));
        }
    }
}

TEST(ListingTest, SuperscriptTwoIsOneLatin1Byte) {
    ListingSpec s = FullStructural(2);
    s.times = 1;
    const std::string text = Generate(s);
    EXPECT_EQ(text.find('\xC2'), std::string::npos);  // no UTF-8 lead byte
    const auto lines = Lines(text);
    EXPECT_NE(Find(lines, "  ELEM.     N[kN]     P[kN/m\xB2]"), -1);
    EXPECT_NE(Find(lines, " STRESSES IN N/mm\xB2 IN BEAM ELEMENT     1, POINT  1"), -1);
    EXPECT_NE(Find(lines, " TANGENT MODULUS IN N/mm\xB2 IN BEAM ELEMENT     1, POINT  1"), -1);
}

TEST(ListingTest, EveryLineStartsWithABlank) {
    for (ListingKind kind : {ListingKind::Thermal, ListingKind::Torsion}) {
        ListingSpec s = FullStructural(3);
        s.kind = kind;
        for (const std::string& line : Lines(Generate(s))) {
            if (!line.empty()) {
                EXPECT_EQ(line[0], ' ') << line;
            }
        }
    }
}

TEST(ListingTest, HeadNamesKindAndDimensionOnce) {
    const std::pair<ListingKind, const char*> kinds[] = {
        {ListingKind::Thermal, " TEMPERATURE ANALYSIS"},
        {ListingKind::Static, " STATIC ANALYSIS"},
        {ListingKind::Dynamic, " DYNAMIC ANALYSIS"},
        {ListingKind::Torsion, " TORSION ANALYSIS"}};
    for (const auto& [kind, kindLine] : kinds) {
        ListingSpec s;
        s.kind = kind;
        s.ndim = 3;
        s.version = "9.9b";
        const auto lines = Lines(Generate(s));
        ASSERT_GE(lines.size(), 8u);
        EXPECT_EQ(lines[1], "      PROGRAM 'VELTO', 9.9b, FINITE ELEMENTS FOR STRUCTURES IN FIRE");
        EXPECT_EQ(lines[0], lines[2]);
        EXPECT_EQ(lines[3], "");
        EXPECT_EQ(lines[4], " NDIM    3     (NUMBER OF DIMENSIONS)");
        EXPECT_EQ(lines[5], kindLine);
        EXPECT_EQ(lines[6], "");
        for (int i = 0; i < 7; ++i) {
            for (const char* word : {"STATIC", "TEMPERAT", "TORSION", "DYNAMIC"}) {
                EXPECT_TRUE(i == 5 || lines[i].find(word) == std::string::npos) << lines[i];
            }
            EXPECT_TRUE(i == 4 || lines[i].find("NDIM") == std::string::npos) << lines[i];
        }
    }
}

// --- structural ---------------------------------------------------------------------------

TEST(StructuralTest, DescriptionNumbersAtTheirWords) {
    const auto lines = Lines(Generate(FullStructural(2)));
    const long d = Find(lines, " DESCRIPTION OF THE STRUCTURE.");
    ASSERT_NE(d, -1);
    EXPECT_EQ(lines[d + 1], "  * THERE ARE        7 NODES.");
    EXPECT_EQ(Words(lines[d + 2]),
              (std::vector<std::string>{"*", "THERE", "ARE", "3", "TRUSS", "ELEMENTS."}));
    EXPECT_EQ(Words(lines[d + 3])[3], "2");
    EXPECT_EQ(Words(lines[d + 3])[4], "BEAM");
    EXPECT_EQ(Words(lines[d + 4])[4], "3");
    EXPECT_EQ(Words(lines[d + 5])[3], "2");
    EXPECT_EQ(Words(lines[d + 5])[4], "SHELL");
    EXPECT_EQ(lines[d + 6], "      4 INTEGRATION POINTS ON THE AREA");
    EXPECT_EQ(Words(lines[d + 7])[3], "2");
    EXPECT_EQ(Words(lines[d + 7])[4], "SOIL");
    EXPECT_EQ(lines[d + 8], " GROUP OF GEOM. PROP.    1");
    EXPECT_EQ(lines[d + 12], "       12 LONGITUDINAL FIBERS.");
    EXPECT_EQ(lines[d + 13], " POSITION OF THE NODES.");
    EXPECT_EQ(lines[d + 14], "      1        0.0000        0.0000");
    EXPECT_EQ(Words(lines[d + 20])[0], "7");
    EXPECT_EQ(lines[d + 21], "");
    EXPECT_EQ(lines[d + 22], " CONVERGENCE HAS BEEN OBTAINED.");
    EXPECT_EQ(lines[d + 23], "");
    EXPECT_EQ(lines[d + 24].rfind("  TIME =", 0), 0u);
}

TEST(StructuralTest, DynamicAndTorsionShareTheStaticBody) {
    ListingSpec s = FullStructural(3);
    const auto base = Lines(Generate(s));
    for (ListingKind kind : {ListingKind::Dynamic, ListingKind::Torsion}) {
        s.kind = kind;
        const auto lines = Lines(Generate(s));
        ASSERT_EQ(lines.size(), base.size());
        EXPECT_NE(lines[5], base[5]);
        EXPECT_TRUE(std::equal(lines.begin() + 6, lines.end(), base.begin() + 6));
    }
}

TEST(StructuralTest, AbsentElementsLeaveNoTrace) {
    ListingSpec s;  // nodes only
    s.nodes = 4;
    s.ndim = 3;
    const std::string text = Generate(s);
    for (const char* word : {"TRUSS", "BEAM", "SHELL", "SOIL", "FIBER", "SECTION", "INTEGRATION"}) {
        EXPECT_EQ(text.find(word), std::string::npos) << word;
    }
    const auto lines = Lines(text);
    const long d = Find(lines, " DESCRIPTION OF THE STRUCTURE.");
    EXPECT_EQ(lines[d + 2], " POSITION OF THE NODES.");
    EXPECT_EQ(Words(lines[d + 3]).size(), 4u);  // node, x, y, z

    s.displacements = false;
    const std::string bare = Generate(s);
    EXPECT_EQ(bare.find("DISPLACEMENTS"), std::string::npos);
    EXPECT_EQ(bare.find("EIGEN"), std::string::npos);
}

TEST(StructuralTest, TimeBlocksCarryTheirTime) {
    ListingSpec s = FullStructural(2);
    s.times = 4;
    s.timeStep = 12.5;
    int blocks = 0;
    const auto lines = Lines(Generate(s, &blocks));
    const auto at = TimeLines(lines);
    ASSERT_EQ(blocks, 4);
    ASSERT_EQ(at.size(), 4u);
    for (std::size_t k = 0; k < at.size(); ++k) {
        const auto w = Words(lines[at[k]]);
        ASSERT_EQ(w.size(), 4u);
        EXPECT_EQ(w[2], Fixed("%.4f", 12.5 * (k + 1)));
        EXPECT_EQ(lines[at[k]], "  TIME = " + Fixed("%12.4f", 12.5 * (k + 1)) + " SEC.");
        EXPECT_EQ(lines[at[k] - 1], "");
        EXPECT_EQ(lines[at[k] + 1], "");
    }
    EXPECT_EQ(lines.back(), " CONVERGENCE HAS BEEN OBTAINED.");
}

TEST(StructuralTest, TablesComeInOrderOncePerBlock) {
    const auto lines = Lines(Generate(FullStructural(3)));
    const auto at = TimeLines(lines);
    ASSERT_EQ(at.size(), 3u);
    const std::vector<std::string> order = {
        " TOTAL DISPLACEMENTS.",
        " INTERNAL SOLLICITATIONS IN THE TRUSS ELEMENTS.",
        " INTERNAL SOLLICITATIONS IN THE BEAM ELEMENTS.",
        " MEMBRANE FORCES Nx, Ny & Nxy IN THE SHELL ELEMENTS [kN/m]",
        " BENDING FORCES Mx, My & Mxy IN THE SHELL ELEMENTS [kNm/m]",
        " INTERNAL FORCE IN THE SOIL ELEMENTS.",
        " STRESSES IN N/mm\xB2 IN BEAM ELEMENT     1, POINT  1",
        " STRESSES IN N/mm\xB2 IN BEAM ELEMENT     1, POINT  2",
        " TANGENT MODULUS IN N/mm\xB2 IN BEAM ELEMENT     1, POINT  1",
        " CONVERGENCE HAS BEEN OBTAINED."};
    for (std::size_t k = 0; k < at.size(); ++k) {
        const std::size_t end = k + 1 < at.size() ? at[k + 1] : lines.size();
        long prev = static_cast<long>(at[k]);
        for (const std::string& heading : order) {
            const long i = Find(lines, heading, prev + 1);
            ASSERT_NE(i, -1) << heading;
            EXPECT_LT(i, static_cast<long>(end)) << heading;
            prev = i;
        }
    }
}

TEST(StructuralTest, DisplacementsAndEigenValue) {
    for (int ndim : {2, 3}) {
        const ListingSpec s = FullStructural(ndim);
        const auto lines = Lines(Generate(s));
        const auto at = TimeLines(lines);
        for (int t = 1; t <= 3; ++t) {
            const long h = Find(lines, " TOTAL DISPLACEMENTS.", at[t - 1]);
            ASSERT_NE(h, -1);
            EXPECT_EQ(
                lines[h + 1],
                "  NODE    DOF 1     DOF 2     DOF 3     DOF 4     DOF 5     DOF 6     DOF 7");
            const int dofs = ndim == 2 ? 3 : 7;
            for (long n = 1; n <= s.nodes; ++n) {
                const auto w = Words(lines[h + 1 + n]);
                ASSERT_EQ(w.size(), static_cast<std::size_t>(1 + dofs)) << lines[h + 1 + n];
                EXPECT_EQ(w[0], std::to_string(n));
                EXPECT_EQ(lines[h + 1 + n].substr(0, 7), std::string(6, ' ') + std::to_string(n));
                for (int c = 0; c < dofs; ++c) {
                    EXPECT_EQ(w[1 + c], V(Table::Displacement, c, n, t));
                }
            }
            const auto eigen = Words(lines[h + 2 + s.nodes]);
            ASSERT_EQ(eigen.size(), 8u);
            EXPECT_EQ(eigen[0], "SMALLEST");
            EXPECT_EQ(eigen[7], V(Table::Eigen, 0, 1, t));
        }
    }
}

TEST(StructuralTest, TrussBeamAndSoilValues) {
    for (int ndim : {2, 3}) {
        const ListingSpec s = FullStructural(ndim);
        const auto lines = Lines(Generate(s));
        const int t = 2;
        const auto from = TimeLines(lines)[t - 1];

        const long tr = Find(lines, " INTERNAL SOLLICITATIONS IN THE TRUSS ELEMENTS.", from);
        ASSERT_NE(tr, -1);
        EXPECT_EQ(lines[tr + 1], "  ELEM.      N");
        for (int e = 1; e <= s.trusses; ++e) {
            EXPECT_EQ(Words(lines[tr + 1 + e]),
                      (std::vector<std::string>{std::to_string(e), V(Table::Truss, 0, e, t)}));
        }

        const long bm = Find(lines, " INTERNAL SOLLICITATIONS IN THE BEAM ELEMENTS.", from);
        ASSERT_NE(bm, -1);
        EXPECT_EQ(lines[bm + 1],
                  ndim == 2 ? "  ELEM. PT.    N           M"
                            : "  ELEM. PT.    N           MY          MZ          Mw         Mr2");
        const int columns = ndim == 2 ? 2 : 5;
        long row = bm + 2;
        for (int e = 1; e <= s.beams; ++e) {
            for (int p = 1; p <= s.beamPoints; ++p, ++row) {
                const auto w = Words(lines[row]);
                ASSERT_EQ(w.size(), static_cast<std::size_t>(2 + columns)) << lines[row];
                EXPECT_EQ(w[0], std::to_string(e));
                EXPECT_EQ(w[1], std::to_string(p));
                for (int c = 0; c < columns; ++c) {
                    EXPECT_EQ(w[2 + c], V(Table::Beam, c, (e - 1) * s.beamPoints + p, t));
                }
            }
        }
        EXPECT_EQ(lines[row], " MEMBRANE FORCES Nx, Ny & Nxy IN THE SHELL ELEMENTS [kN/m]");

        const long so = Find(lines, " INTERNAL FORCE IN THE SOIL ELEMENTS.", from);
        ASSERT_NE(so, -1);
        for (int e = 1; e <= s.soils; ++e) {
            EXPECT_EQ(Words(lines[so + 1 + e]),
                      (std::vector<std::string>{std::to_string(e), V(Table::Soil, 0, e, t),
                                                V(Table::Soil, 1, e, t)}));
        }
    }
}

TEST(StructuralTest, ShellForcesAtOddWords) {
    const ListingSpec s = FullStructural(3);
    const auto lines = Lines(Generate(s));
    const int t = 3;
    const auto from = TimeLines(lines)[t - 1];
    const std::pair<Table, std::string> tables[] = {
        {Table::Membrane, " MEMBRANE FORCES Nx, Ny & Nxy IN THE SHELL ELEMENTS [kN/m]"},
        {Table::Bending, " BENDING FORCES Mx, My & Mxy IN THE SHELL ELEMENTS [kNm/m]"}};
    for (const auto& [table, heading] : tables) {
        const long h = Find(lines, heading, from);
        ASSERT_NE(h, -1);
        EXPECT_EQ(lines[h + 1], "  ELEM. SURF.      X          Y");
        EXPECT_EQ(lines[h + 2], "  " + std::string(65, '-'));
        const char* labels = table == Table::Membrane ? "N" : "M";
        // Values right-aligned in 12 after one blank; two blanks before each label.
        std::string first = "      1   1     0.2113     0.2113";
        const char* suffixes[] = {"X=", "Y=", "XY=", "1=", "2="};
        for (int c = 0; c < 5; ++c) {
            const std::string v = V(table, c, 1, t);
            first += "  " + std::string(labels) + suffixes[c] + std::string(13 - v.size(), ' ') + v;
        }
        EXPECT_EQ(lines[h + 3], first);

        for (int e = 1; e <= s.shells; ++e) {
            for (int p = 1; p <= s.areaPoints; ++p) {
                const std::string& line = lines[h + 2 + (e - 1) * s.areaPoints + p];
                const auto w = Words(line);
                ASSERT_EQ(w.size(), 14u) << line;
                EXPECT_EQ(w[0], std::to_string(e));
                EXPECT_EQ(w[1], std::to_string(p));
                EXPECT_EQ(line.substr(11, 22).find_first_not_of(" 0123456789."), std::string::npos);
                EXPECT_EQ(w[4], std::string(labels) + "X=");
                EXPECT_EQ(w[8], std::string(labels) + "XY=");
                EXPECT_EQ(w[12], std::string(labels) + "2=");
                for (int c = 0; c < 5; ++c) {
                    EXPECT_EQ(w[5 + 2 * c], V(table, c, (e - 1) * s.areaPoints + p, t)) << line;
                }
            }
        }
    }
}

TEST(StructuralTest, FibreTablesHoldFivePairsALine) {
    for (int fibers : {12, 10, 1}) {
        ListingSpec s = FullStructural(2);
        s.fibers = fibers;
        s.stressTables = 1;
        s.tangentTables = 1;
        s.times = 2;
        const auto lines = Lines(Generate(s));
        const auto from = TimeLines(lines)[1];
        const std::pair<Table, std::string> tables[] = {
            {Table::Stress, " STRESSES IN N/mm\xB2 IN BEAM ELEMENT     1, POINT  1"},
            {Table::Tangent, " TANGENT MODULUS IN N/mm\xB2 IN BEAM ELEMENT     1, POINT  1"}};
        for (const auto& [table, heading] : tables) {
            const long h = Find(lines, heading, from);
            ASSERT_NE(h, -1);
            const std::string word = table == Table::Stress ? "STRESS" : "MODULUS";
            std::string sub;
            for (int k = 0; k < 5; ++k) {
                sub += "   FIBER    " + word;
            }
            EXPECT_EQ(lines[h + 1], "  " + std::string(70, '-'));
            EXPECT_EQ(lines[h + 2], sub);
            EXPECT_EQ(lines[h + 3], lines[h + 1]);
            const int rows = (fibers + 4) / 5;
            int fibre = 1;
            for (int r = 0; r < rows; ++r) {
                const auto w = Words(lines[h + 4 + r]);
                const int pairs = r + 1 < rows ? 5 : fibers - 5 * r;
                ASSERT_EQ(w.size(), static_cast<std::size_t>(2 * pairs)) << lines[h + 4 + r];
                for (int k = 0; k < pairs; ++k, ++fibre) {
                    EXPECT_EQ(w[2 * k], std::to_string(fibre));
                    EXPECT_EQ(w[2 * k + 1], V(table, 0, fibre, 2));
                }
            }
            EXPECT_EQ(fibre, fibers + 1);
            EXPECT_TRUE(lines[h + 4 + rows].rfind(" TANGENT", 0) == 0 ||
                        lines[h + 4 + rows] == " CONVERGENCE HAS BEEN OBTAINED.");
        }
    }
}

TEST(StructuralTest, FibreTablesWalkPointsThenWrapElements) {
    ListingSpec s = FullStructural(2);
    s.beams = 2;
    s.beamPoints = 3;
    s.stressTables = 7;
    s.times = 1;
    s.fibers = 3;
    const auto lines = Lines(Generate(s));
    std::vector<std::pair<int, int>> seen;
    int table = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind(" STRESSES IN", 0) == 0) {
            const auto w = Words(lines[i]);
            ASSERT_EQ(w.size(), 9u);
            seen.emplace_back(std::stoi(w[6]), std::stoi(w[8]));
            // The table index is the value component.
            EXPECT_EQ(Words(lines[i + 4])[1], V(Table::Stress, table, 1, 1));
            ++table;
        }
    }
    const std::vector<std::pair<int, int>> expected = {{1, 1}, {1, 2}, {1, 3}, {2, 1},
                                                       {2, 2}, {2, 3}, {1, 1}};
    EXPECT_EQ(seen, expected);
}

// --- thermal ------------------------------------------------------------------------------

ListingSpec Thermal(long nodes, int times) {
    ListingSpec s;
    s.kind = ListingKind::Thermal;
    s.nodes = nodes;
    s.solids = 5;
    s.times = times;
    return s;
}

// Temperature lines of block t: fixed 11-character fields.
std::vector<std::string> TemperatureLines(const std::vector<std::string>& lines, int t) {
    const auto at = TimeLines(lines);
    std::vector<std::string> out;
    std::size_t i = at[t - 1] + 2;
    EXPECT_EQ(lines[i], " NODE TEMP.  NODE TEMP.  NODE TEMP.  NODE TEMP.  NODE TEMP.");
    for (++i; i < lines.size() && !lines[i].empty(); ++i) {
        out.push_back(lines[i]);
    }
    return out;
}

TEST(ThermalTest, HeadAndDescription) {
    const auto lines = Lines(Generate(Thermal(6, 1)));
    EXPECT_EQ(lines[7], " DESCRIPTION OF THE STRUCTURE.");
    EXPECT_EQ(lines[8], "  * THERE ARE        6 NODES.");
    EXPECT_EQ(lines[9], "  * THERE ARE        5 SOLID ELEMENTS.");
    EXPECT_EQ(lines[10], " POSITION OF THE NODES.");
    EXPECT_EQ(lines[16], "      6        1.2500        0.0000");
    EXPECT_EQ(lines[17], "");
    EXPECT_EQ(lines[18].rfind("  TIME =", 0), 0u);
}

TEST(ThermalTest, FiveNodesALineInFixedFields) {
    for (const auto& [nodes, rows] : {std::pair<long, int>{12, 3}, {10, 2}, {1, 1}, {11, 3}}) {
        const auto lines = Lines(Generate(Thermal(nodes, 2)));
        ASSERT_EQ(TimeLines(lines).size(), 2u);
        for (int t = 1; t <= 2; ++t) {
            const auto temps = TemperatureLines(lines, t);
            ASSERT_EQ(temps.size(), static_cast<std::size_t>(rows)) << nodes;
            long node = 1;
            for (const std::string& line : temps) {
                ASSERT_EQ(line.size() % 11, 0u) << line;
                for (std::size_t f = 0; f < line.size(); f += 11, ++node) {
                    EXPECT_EQ(std::stol(line.substr(f, 5)), node);
                    EXPECT_EQ(line.substr(f + 5, 6),
                              FormatTemperature(TableValue(Table::Temperature, 0, node, t)));
                }
            }
            EXPECT_EQ(node, nodes + 1);
            if (nodes % 5 != 0) {
                EXPECT_EQ(temps.back().size(), static_cast<std::size_t>(11 * (nodes % 5)));
            }
        }
    }
}

TEST(ThermalTest, NodeNumbersWrapToFiveDigits) {
    const auto lines = Lines(Generate(Thermal(100002, 1)));
    const auto temps = TemperatureLines(lines, 1);
    ASSERT_EQ(temps.size(), 20001u);
    const std::string& last = temps.back();
    ASSERT_EQ(last.size(), 22u);
    EXPECT_EQ(last.substr(0, 5), "    1");
    EXPECT_EQ(last.substr(11, 5), "    2");
    EXPECT_EQ(last.substr(16, 6), FormatTemperature(TableValue(Table::Temperature, 0, 100002, 1)));
    EXPECT_EQ(temps[temps.size() - 2].substr(33, 5), "99999");
    EXPECT_EQ(temps[temps.size() - 2].substr(44, 5), "    0");  // node 100000
}

// --- size-driven listings -----------------------------------------------------------------

TEST(TargetBytesTest, StopsAtTheFirstBlockReachingTheSize) {
    ListingSpec structural = FullStructural(3);
    ListingSpec thermal = Thermal(40, 1);
    for (ListingSpec s : {structural, thermal}) {
        s.lineEnd = "\r\n";
        s.times = 1;  // ignored
        s.targetBytes = 123457;
        int blocks = 0;
        const std::string text = Generate(s, &blocks);
        EXPECT_GE(text.size(), s.targetBytes);
        EXPECT_GT(blocks, 1);
        EXPECT_EQ(TimeLines(Lines(text, "\r\n")).size(), static_cast<std::size_t>(blocks));

        ListingSpec fewer = s;
        fewer.targetBytes = 0;
        fewer.times = blocks - 1;
        EXPECT_LT(Generate(fewer).size(), s.targetBytes);
        fewer.times = blocks;
        EXPECT_EQ(Generate(fewer), text);
    }
}

TEST(TargetBytesTest, BlockBoundaryDecides) {
    ListingSpec s = FullStructural(2);
    s.times = 4;
    const std::uint64_t four = Generate(s).size();
    s.times = 0;
    for (const auto& [target, blocks] :
         {std::pair<std::uint64_t, int>{four, 4}, {four - 1, 4}, {four + 1, 5}}) {
        s.targetBytes = target;
        std::ostringstream out;
        EXPECT_EQ(WriteListing(s, out), blocks) << target;
    }
}

TEST(TargetBytesTest, AtLeastOneBlockEvenWhenTheHeadIsEnough) {
    ListingSpec s = FullStructural(2);
    s.targetBytes = 10;
    int blocks = 0;
    const std::string text = Generate(s, &blocks);
    EXPECT_EQ(blocks, 1);
    EXPECT_EQ(TimeLines(Lines(text)).size(), 1u);
}

// Counts bytes without keeping them.
class CountingBuf : public std::streambuf {
  public:
    std::uint64_t bytes = 0;

  protected:
    std::streamsize xsputn(const char*, std::streamsize n) override {
        bytes += static_cast<std::uint64_t>(n);
        return n;
    }
    int_type overflow(int_type c) override {
        ++bytes;
        return traits_type::not_eof(c);
    }
};

TEST(TargetBytesTest, NeverMoreThanTheBlockLimit) {
    ListingSpec s;
    s.nodes = 1;
    s.displacements = false;
    s.targetBytes = std::uint64_t{1} << 40;
    CountingBuf buf;
    std::ostream out(&buf);
    EXPECT_EQ(WriteListing(s, out), kMaxTimeBlocks);
    EXPECT_LT(buf.bytes, s.targetBytes);
}

// --- files and errors ---------------------------------------------------------------------

TEST(FileTest, FileHoldsExactlyTheStreamBytes) {
    ListingSpec s = FullStructural(3);
    s.lineEnd = "\r";
    const auto path = std::filesystem::temp_directory_path() / "velto_listinggen_test.out";
    EXPECT_EQ(WriteListingFile(s, path.string()), 3);
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::filesystem::remove(path);
    EXPECT_EQ(bytes, Generate(s));
}

TEST(FileTest, UnwritablePathThrows) {
    const auto path = std::filesystem::temp_directory_path() / "velto_no_such_dir" / "x.out";
    EXPECT_THROW(WriteListingFile(ListingSpec{}, path.string()), std::runtime_error);
}

TEST(FileTest, FailedStreamThrows) {
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
    rejects([](ListingSpec& s) {
        s.shells = 1;
        s.areaPoints = 0;
    });
}

}  // namespace
}  // namespace velto
