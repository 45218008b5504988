#include "extract/reader/scanning.h"

#include <algorithm>
#include <new>

#include "common/checked.h"
#include "common/error.h"
#include "common/text.h"
#include "extract/reader/listingheader.h"

namespace velto {

void ProgressReporter::operator()(std::string_view caption) {
    FilePosition length = in_.Length();
    Single fraction = 0;
    if (length > 0) {
        fraction =
            static_cast<Single>(static_cast<double>(in_.Position()) / static_cast<double>(length));
    }
    sink_.UpdateProgress(std::min<Single>(fraction, 1), caption);
}

void ReportingReadErrors(MessageSink& messages, const std::function<void()>& body) {
    try {
        body();
    } catch (const RuntimeError& error) {
        messages.ShowMessage(ReadFileErrorText(error.number(), error.description()),
                             MessageIcon::Critical, kExtractTitle);
    } catch (const std::bad_alloc&) {
        messages.ShowMessage(ReadFileErrorText(kOutOfMemory, ErrorDescription(kOutOfMemory)),
                             MessageIcon::Critical, kExtractTitle);
    } catch (const std::exception&) {
        messages.ShowMessage(ReadFileErrorText(kInternalError, ErrorDescription(kInternalError)),
                             MessageIcon::Critical, kExtractTitle);
    }
}

void ReadTimes(Catalogue& c, LineReader& in, ProgressReporter& report) {
    Integer n = 1;
    while (!in.AtEnd()) {
        if (c.Times.size() < static_cast<std::size_t>(n)) {
            c.Times.resize(static_cast<std::size_t>(n));
        }
        std::string_view line;
        if (in.ReadLineContaining("  TIME =", line)) {
            TimeStep& record = c.Times[static_cast<std::size_t>(n - 1)];
            record.Position = in.Position();
            record.Time = ToSingle(Val(WordAt(line, 2)));
            n = CheckedAdd<Integer>(n, 1);
        }
        report("Reading times...");
    }
    c.TimeCount = static_cast<Integer>(n - 1);
}

}  // namespace velto
