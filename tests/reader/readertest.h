#pragma once

// Builds listings line by line and opens them the way the window does.

#include <string>
#include <vector>

#include "extract/reader/catalogue.h"
#include "extract/reader/listingheader.h"
#include "tests/support/testsupport.h"

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

struct Opened {
    Catalogue catalogue;
    RecordingMessages messages;
    RecordingProgress progress;

    std::vector<std::string> texts() const {
        std::vector<std::string> all;
        for (const auto& m : messages.messages) {
            all.push_back(m.text);
        }
        return all;
    }
};

// Opens a listing as the open command does: ListingFile, ClearCatalogue, ReadListingHeader.
inline void Open(Opened& o, const std::string& path) {
    o.catalogue.ListingFile = path;
    ClearCatalogue(o.catalogue);
    ReadListingHeader(o.catalogue, o.progress, o.messages);
}

}  // namespace velto::test
