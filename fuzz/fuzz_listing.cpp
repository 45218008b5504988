// Opens the input as a listing the way the open command does, then extracts every variable the
// listing offers as the save command would (first vector, the whole range, up to kMaxTimes
// times). The readers and the command promise never to throw, to report progress between 0 and
// 1, and to store only finite values; anything else stops the run.

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "extract/export/savecommand.h"
#include "extract/export/variablecatalogue.h"
#include "extract/reader/catalogue.h"
#include "extract/reader/extraction.h"
#include "extract/reader/listingheader.h"
#include "fuzz/inputfile.h"

namespace {

using namespace velto;

// A few times exercise the seeks between result blocks as well as many would.
constexpr Integer kMaxTimes = 8;

// Extraction reads a value line per item at every chosen time, so its cost grows with the item
// count. A legitimate count of millions (in an input made long with -max_len) would cost seconds
// per input under the sanitizers and end the run as a timeout that finds nothing; such models are
// the benchmarks' business. For inputs of a few kilobytes the extraction's own check (no more
// items than the listing has bytes) already keeps counts small.
constexpr Long kMaxItems = 100000;

class CheckedProgress final : public ProgressSink {
  public:
    void UpdateProgress(Single fraction, std::string_view caption) override {
        if (!(fraction >= 0 && fraction <= 1) || caption.empty()) {
            std::abort();
        }
    }
};

class CheckedMessages final : public MessageSink {
  public:
    void ShowMessage(std::string_view text, MessageIcon, std::string_view caption) override {
        if (text.empty() || caption != kExtractTitle) {
            std::abort();
        }
        ++count;
    }
    int count = 0;
};

// The range limit is the item count the extraction sizes its table by.
bool TooLarge(const OfferedVariable& variable) {
    return variable.Limit && *variable.Limit > kMaxItems;
}

// What a scan leaves, whatever the listing: time records in file order inside the file.
void CheckCatalogue(const Catalogue& c, std::size_t size) {
    FilePosition previous = 0;
    for (const TimeStep& time : c.Times) {
        if (time.Position <= previous || time.Position > static_cast<FilePosition>(size) + 1) {
            std::abort();
        }
        previous = time.Position;
    }
}

void Extract(const Catalogue& c, const OfferedVariable& variable) {
    SaveRequest request;
    request.variable = variable.Name;
    request.vectorName = variable.Vectors.empty() ? std::string() : variable.Vectors.front();
    request.to = std::to_string(variable.Limit.value_or(1));
    for (Integer t = 1; static_cast<std::size_t>(t) <= c.Times.size() && t <= kMaxTimes; ++t) {
        request.times.push_back(t);
    }
    CheckedProgress progress;
    CheckedMessages messages;
    ExportRequest chosen;
    ExtractionResult read;
    const std::atomic<bool> never{false};
    const SaveResult result =
        ExtractForRequest(c, request, chosen, read, never, progress, messages);
    if (result.outcome != SaveOutcome::Extracted) {
        return;
    }
    const ValueTable& values = read.Values;
    if (messages.count == 0 && static_cast<std::size_t>(values.Times()) != chosen.Times.size()) {
        std::abort();
    }
    for (Long item = 1; item <= values.Items(); ++item) {
        for (Integer t = 1; t <= values.Times(); ++t) {
            if (!std::isfinite(values.At(item, t))) {
                std::abort();
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile file;
    // A fresh catalogue each time: what one input leaves behind must not steer the next.
    Catalogue c;
    c.ListingFile = file.Write(data, size);
    CheckedProgress progress;
    CheckedMessages messages;
    ReadListingHeader(c, progress, messages);
    CheckCatalogue(c, size);

    for (const OfferedVariable& variable : OfferedVariables(c)) {
        if (!TooLarge(variable)) {
            Extract(c, variable);
        }
    }
    return 0;
}
