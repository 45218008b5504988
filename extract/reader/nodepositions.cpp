#include "extract/reader/nodepositions.h"

#include <cmath>
#include <filesystem>
#include <string>

#include "common/encoding.h"
#include "common/error.h"
#include "common/linereader.h"
#include "common/text.h"

namespace velto {

namespace {

[[noreturn]] void RefuseLine(const Catalogue& c, int number, long long line) {
    throw RuntimeError(
        number, ErrorDescription(number) + " in " +
                    FileNameToCp1252(std::filesystem::path(c.ListingFile).filename().string()) +
                    ", line " + std::to_string(line) + " (the position of a node)");
}

}  // namespace

NodePositions ReadNodePositions(const Catalogue& c) {
    NodePositions positions;
    positions.ndim = c.Ndim == 3 ? 3 : 2;
    LineReader in(c.ListingFile);
    long long lineNumber = 0;
    std::string_view line;
    bool found = false;
    while (!found && !in.AtEnd()) {
        line = in.ReadLine();
        ++lineNumber;
        found = Contains(line, "POSITION OF THE NODES");
    }
    if (!found || c.NodeCount < 1) {
        return positions;
    }
    const auto count = static_cast<std::size_t>(c.NodeCount);
    positions.nodes.reserve(count);
    positions.coordinates.reserve(count * static_cast<std::size_t>(positions.ndim));
    for (std::size_t k = 0; k < count; ++k) {
        if (in.AtEnd()) {
            RefuseLine(c, kTypeMismatch, lineNumber + 1);
        }
        line = in.ReadLine();
        ++lineNumber;
        try {
            const double number = ListingNumber(WordAt(line, 0));
            // A node is numbered by a whole number from 1.
            if (!(number >= 1 && number < 1e15) || number != std::floor(number)) {
                Raise(kTypeMismatch);
            }
            positions.nodes.push_back(static_cast<Long>(number));
            for (int d = 1; d <= positions.ndim; ++d) {
                positions.coordinates.push_back(
                    ListingNumber(WordAt(line, static_cast<std::size_t>(d))));
            }
        } catch (const RuntimeError& error) {
            // A word missing is no subscript of ours: the line is not a position.
            RefuseLine(c, error.number() == kOverflow ? kOverflow : kTypeMismatch, lineNumber);
        }
    }
    return positions;
}

}  // namespace velto
