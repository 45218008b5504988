// Whether a listing holds an analysis that ran to its end time, written whole: what --resume
// asks of a file whose solver may have completed after its batch ended.

#include <gtest/gtest.h>

#include <sstream>

#include "extract/reader/listingend.h"
#include "tests/support/testsupport.h"
#include "tools/listinggen.h"

namespace velto {
namespace {

TEST(ListingEnd, OnlyAWholeAnalysisThatReachedItsEndTime) {
    test::ScratchDir dir;
    const std::string path = dir.File("run.out");
    for (const ListingKind kind :
         {ListingKind::Thermal, ListingKind::Static, ListingKind::Dynamic}) {
        for (const std::string lineEnd : {"\n", "\r\n"}) {
            ListingSpec spec{.kind = kind, .lineEnd = lineEnd, .times = 4, .timeStep = 25};
            if (kind == ListingKind::Thermal) {
                spec.nodes = 23;  // a last line of three nodes
                spec.solids = 10;
            } else {
                spec.beams = 3;
            }
            std::ostringstream text;
            WriteListing(spec, text);
            const std::string whole = text.str();
            const std::string label =
                std::to_string(static_cast<int>(kind)) + (lineEnd == "\n" ? " LF" : " CR LF");
            test::WriteBytes(path, whole);
            EXPECT_TRUE(ListingReachesEnd(path, 100)) << label;
            // A last step beyond the end time (the steps need not divide it) has reached it.
            EXPECT_TRUE(ListingReachesEnd(path, 90)) << label << ": stepped past its end";
            EXPECT_FALSE(ListingReachesEnd(path, 120)) << label << ": stopped before its end";
            // Cut anywhere in its last block, as a solver still writing it leaves it (short of
            // the last LF of a CR LF: a lone CR ends a line too).
            const std::size_t ended = whole.size() - (lineEnd.size() - 1);
            for (std::size_t cut = whole.rfind("  TIME ="); cut < ended; ++cut) {
                test::WriteBytes(path, whole.substr(0, cut));
                EXPECT_FALSE(ListingReachesEnd(path, 100)) << label << " cut at " << cut;
            }
        }
    }
    EXPECT_FALSE(ListingReachesEnd(dir.File("missing.out"), 100));
    test::WriteBytes(path, "not a listing\n");
    EXPECT_FALSE(ListingReachesEnd(path, 100));
}

}  // namespace
}  // namespace velto
