#include "extract/reader/nodepositions.h"

#include <algorithm>

#include <cmath>

#include "common/error.h"
#include "common/linereader.h"
#include "common/text.h"
#include "extract/reader/scanning.h"

namespace velto {

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
    // Room for as many nodes as the rest of the file may hold lines, not for what a damaged
    // count claims: the lines that are not there end the reading.
    const auto lines =
        static_cast<std::size_t>(std::max<long long>(in.Length() - in.Position(), 0));
    positions.nodes.reserve(std::min(count, lines));
    positions.coordinates.reserve(std::min(count, lines) *
                                  static_cast<std::size_t>(positions.ndim));
    for (std::size_t k = 0; k < count; ++k) {
        if (in.AtEnd()) {
            RaiseAtLine(c, kTypeMismatch, lineNumber + 1, "the position of a node");
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
            RaiseAtLine(c, error.number() == kOverflow ? kOverflow : kTypeMismatch, lineNumber,
                        "the position of a node");
        }
    }
    return positions;
}

}  // namespace velto
