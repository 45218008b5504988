#pragma once

// Pieces the structural and thermal scans share. Internal to the reader.

#include <functional>
#include <string_view>

#include "common/linereader.h"
#include "extract/reader/catalogue.h"
#include "extract/reader/earlyreading.h"
#include "extract/reader/sinks.h"

namespace velto {

// Reports progress as the reader's position over the file's length.
class ProgressReporter {
  public:
    ProgressReporter(const LineReader& in, ProgressSink& sink) : in_(in), sink_(sink) {}
    void operator()(std::string_view caption);

  private:
    const LineReader& in_;
    ProgressSink& sink_;
};

// Runs a reading step and turns its run-time error (exhausted memory, or any other failure) into
// the "Read File Error " message, critical, with the extraction tool's title.
void ReportingReadErrors(MessageSink& messages, const std::function<void()>& body);

// A count the model description declares ("THERE ARE ... NODES."), as the scan keeps it. A
// listing declares only what its model holds, so a count below 1 is a damaged line: it raises the
// invalid-call error (5), its description naming the count and `what` ("nodes"), rather than
// offering a range such as "Nodes 1..-5".
Long DeclaredCount(Long count, std::string_view what);

// The time of a result from its line (one holding "  TIME ="), its tables starting at `next`.
// A time that is no number raises its error (13: type mismatch), which names the listing's line.
TimeStep TimeOfLine(const Catalogue& c, std::string_view line, FilePosition next);

// Raises error `number` naming the listing and the line that holds what failed: "Type mismatch in
// fire.out, line 812 (the time of a result)".
[[noreturn]] void RaiseAtLine(const Catalogue& c, int number, long long line,
                              std::string_view what);

// Raises the overflow error (6) once a listing holds `count` times, more than the tools count.
void CountTimes(std::size_t count);

// The time part of a listing: from where `in` stands to the end, every line holding "  TIME ="
// gives one record of Times (its value, and the position of the line after it), but a last line
// without its line end, which the solver may still be printing. Times is set
// when the end is reached. The count stands one ahead in a 16-bit Integer: 32767 times raise
// the overflow error, leaving Times as it was. Each time found is told to `early`, when given.
void ReadTimes(Catalogue& c, LineReader& in, ProgressReporter& report,
               EarlyReading* early = nullptr);

}  // namespace velto
