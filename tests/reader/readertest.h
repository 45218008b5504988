#pragma once

// Builds listings, line by line or generated, and opens them the way the window does.

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "extract/reader/catalogue.h"
#include "extract/reader/extraction.h"
#include "extract/reader/listingheader.h"
#include "tests/support/testsupport.h"
#include "tools/listinggen.h"

namespace velto::test {

// The head every listing starts with: banner, dimension and kind lines.
inline std::vector<std::string> Head(const std::string& kindLine, int ndim = 2) {
    return {" ****************",
            "      PROGRAM 'VELTO', 2026.1, FINITE ELEMENTS FOR STRUCTURES IN FIRE",
            " NDIM    " + std::to_string(ndim) + "     (NUMBER OF DIMENSIONS)", " " + kindLine, ""};
}

inline std::vector<std::string> operator+(std::vector<std::string> a,
                                          const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Progress that acts at every report, as a user at the window or another program on the disk.
class ActingProgress final : public ProgressSink {
  public:
    void UpdateProgress(Single, std::string_view) override {
        if (act) {
            act();
        }
    }
    std::function<void()> act;
};

// An opened listing, what its extractions are handed (the room of a streamed table and the values
// its scan read early, as `scan` asked for them), and a test's request of it and what that read.
struct Opened {
    Catalogue catalogue;
    ScanOptions scan;
    ExtractionOptions reading;
    ExportRequest request;
    ExtractionResult result;
    RecordingMessages messages;
    RecordingProgress progress;
};

// Opens a listing as the open command does: a fresh description named after the file, filled by
// ReadListingHeader.
inline void Open(Opened& o, const std::string& path) {
    o.catalogue = Catalogue();
    o.catalogue.ListingFile = path;
    o.reading.StreamBytes = o.scan.StreamBytes;
    o.reading.Early = ReadListingHeader(o.catalogue, o.progress, o.messages, o.scan);
}

// A three-dimensional static run with every structural table: four times, twelve fibres on
// three lines of five, five and two pairs, three beam points, four shell surfaces.
inline ListingSpec Frame3d() {
    return {.ndim = 3,
            .nodes = 9,
            .trusses = 4,
            .beams = 5,
            .shells = 3,
            .soils = 3,
            .beamPoints = 3,
            .areaPoints = 4,
            .fibers = 12,
            .stressTables = 3,
            .tangentTables = 2,
            .times = 4};
}

// A scratch folder and a listing in it, opened afresh by each Open... call.
class ListingTest : public ::testing::Test {
  protected:
    void OpenBytes(std::string text) {
        bytes = std::move(text);
        path = dir.File("listing.out");
        WriteBytes(path, bytes);
        o = Opened();
        Open(o, path);
    }
    void OpenLines(const std::vector<std::string>& lines, std::string_view end = "\n") {
        OpenBytes(Lines(lines, end));
    }
    void OpenSpec(const ListingSpec& spec) {
        std::ostringstream text;
        WriteListing(spec, text);
        OpenBytes(text.str());
    }

    ScratchDir dir;
    Opened o;
    std::string path;
    std::string bytes;
};

}  // namespace velto::test
