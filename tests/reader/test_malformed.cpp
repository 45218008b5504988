#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "extract/export/savecommand.h"
#include "extract/export/timeselection.h"
#include "extract/export/variablecatalogue.h"
#include "tests/reader/readertest.h"
#include "tests/support/biffcells.h"
#include "tools/listinggen.h"

namespace velto {
namespace {

// Listings cut short at every line and inside lines, and listings with bytes changed at random:
// opening them and exporting every variable they then offer must end with a catalogue and
// messages, never with a crash, a hang, an exception or a file that is not a whole worksheet.
class Malformed : public ::testing::Test {
  protected:
    static std::string Generated(const ListingSpec& spec) {
        test::ScratchDir scratch;
        std::string path = scratch.File("listing.out");
        WriteListingFile(spec, path);
        return test::ReadBytes(path);
    }

    // Opens the bytes as a listing and exports every variable, all items, all times.
    void Try(const std::string& bytes) {
        ++cases;
        const std::string path = dir.File("case.out");
        test::WriteBytes(path, bytes);
        test::Opened o;
        test::Open(o, path);
        const Catalogue& c = o.catalogue;
        for (std::size_t i = 1; i < c.Times.size(); ++i) {
            ASSERT_LT(c.Times[i - 1].Position, c.Times[i].Position);
        }
        if (!c.Times.empty()) {
            ASSERT_LE(c.Times.back().Position, static_cast<FilePosition>(bytes.size()) + 1);
        }
        TimeSelection times;
        times.SetAvailable(ResultTimes(c.Times));
        times.AddAll();
        // Every variable is read; one of them, in turn, is also written (a write waits for the
        // disk, and the writing does not depend on what was read).
        const std::vector<OfferedVariable> offered = OfferedVariables(c);
        for (std::size_t i = 0; i < offered.size(); ++i) {
            const OfferedVariable& v = offered[i];
            SaveRequest request;
            request.fileName = dir.File("case.xls");
            request.variable = v.Name;
            request.vectorName = v.Vectors.empty() ? "" : v.Vectors.front();
            request.to = std::to_string(std::min<Long>(v.Limit.value_or(1), 300));
            request.times = times.SelectedTimes();
            test::RecordingMessages messages;
            NullProgress progress;
            const std::atomic<bool> never{false};
            if (i != static_cast<std::size_t>(cases) % offered.size()) {
                ExtractForRequest(o.catalogue, request, o.request, o.result, never, progress,
                                  messages);
            } else if (SaveExport(o.catalogue, request, o.request, o.result, never, progress,
                                  messages)
                           .outcome == SaveOutcome::Written) {
                ASSERT_TRUE(test::ReadBiffSheet(request.fileName).complete) << v.Name;
            }
        }
    }

    // The listing cut at every line end and every eleventh byte, then with bytes changed at
    // random 300 times.
    void Batter(const ListingSpec& spec, unsigned seed, const char* kind) {
        const std::string bytes = Generated(spec);
        for (std::size_t at = 0; at <= bytes.size(); ++at) {
            const bool lineBoundary = at == 0 || bytes[at - 1] == '\n' || bytes[at - 1] == '\r';
            if (lineBoundary || at % 11 == 0) {
                Try(bytes.substr(0, at));
            }
        }
        std::mt19937 random(seed);
        const std::string alphabet =
            std::string("0123456789 .-+E\r\nTIME=ABC\t", 26) + std::string("\0\xff\xb2", 3);
        for (int k = 0; k < 300; ++k) {
            std::string changed = bytes;
            const int changes = 1 + static_cast<int>(random() % 8);
            for (int i = 0; i < changes; ++i) {
                changed[random() % changed.size()] = alphabet[random() % alphabet.size()];
            }
            Try(changed);
        }
        RecordProperty("cases", cases);
        std::printf("malformed %s cases: %d\n", kind, cases);
    }

    test::ScratchDir dir;
    int cases = 0;
};

TEST_F(Malformed, StructuralListing) {
    Batter({.nodes = 6,
            .trusses = 2,
            .beams = 2,
            .shells = 1,
            .soils = 1,
            .beamPoints = 2,
            .areaPoints = 2,
            .fibers = 7,
            .stressTables = 2,
            .tangentTables = 1,
            .times = 2},
           2026, "structural");
}

TEST_F(Malformed, ThermalListing) {
    Batter({.kind = ListingKind::Thermal, .lineEnd = "\r\n", .nodes = 12, .solids = 4, .times = 3},
           7, "thermal");
}

}  // namespace
}  // namespace velto
