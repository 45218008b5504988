#include "extract/reader/extraction.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>

#include "common/checked.h"
#include "common/error.h"
#include "common/linereader.h"
#include "common/text.h"
#include "extract/reader/variables.h"

namespace velto {

namespace {

// Where one variable's values stand in a time block, for the chosen vector: the heading line that
// opens its table, how many lines after the heading the first value line comes (lead), how many
// lines separate one item's value line from the next (stride), and the word that holds the
// value. Fibre tables hold five (fibre, value) pairs per line instead of one value.
struct Settings {
    Long items = 0;
    std::string_view heading;
    long lead = 0;
    long stride = 0;
    std::size_t word = 0;
    bool fibres = false;
    std::optional<std::string> label;  // fibre tables: the chosen table's label
};

Settings SettingsFor(const Catalogue& c, std::string_view variable, int component) {
    const VariableSpec* v = FindVariable(variable);
    if (v == nullptr || v->Kind != Analysis::Structural) {
        Raise(kInvalidCall);
    }
    Settings s;
    s.items = v->HasRange() ? CountIn(c, v->Items) : 1;
    s.heading = v->HeadingIn(c);
    s.lead = v->Lead;
    s.stride = CountIn(c, v->Stride);
    s.word = v->Word;
    switch (v->Naming) {
        case Vectors::None:
            break;
        case Vectors::Dofs:
            s.word = static_cast<std::size_t>(static_cast<long>(v->Word) + component);
            break;
        case Vectors::BeamPoints:
        case Vectors::AreaPoints:
            s.lead += component;
            break;
        case Vectors::TableLabels: {
            // The chosen table, not merely the first of its kind after the time line: a block
            // holds one such table per beam element and point.
            const std::vector<std::string>& labels = c.*(v->Labels);
            if (component < 0 || static_cast<std::size_t>(component) >= labels.size()) {
                Raise(kSubscriptOutOfRange);
            }
            s.label = labels[static_cast<std::size_t>(component)];
            break;
        }
    }
    s.fibres = v->Layout == ValueLayout::FibrePairs;
    return s;
}

// Reads lines until the heading of the wanted table. The search is not bounded by the time's
// block, but the end of the listing is: a table that never comes is an error, so missing values
// never pass silently as zeros.
std::string_view FindTable(LineReader& in, const Settings& s) {
    std::string_view line;
    for (;;) {
        if (!in.ReadLineContaining(s.heading, line)) {
            Raise(kInputPastEnd);
        }
        if (!s.label || BeamTableLabel(line, s.heading) == *s.label) {
            return line;
        }
    }
}

// Reads `count` more lines to reach the next value line. A listing that ends first holds a table
// cut short: that is the end-of-file error, so the items it lacks are not given the last value
// read over again.
void Skip(LineReader& in, std::string_view& line, long count) {
    for (long i = 0; i < count; ++i) {
        line = in.ReadLine();
    }
}

// The chosen times are numbered as the value table numbers them, in a 16-bit Integer.
Integer ChosenTimes(const Catalogue& c) {
    return CheckedNarrow<Integer>(static_cast<std::int64_t>(c.SelectedTimes.size()));
}

const TimeStep& TimeOf(const Catalogue& c, Integer t) {
    if (t < 1 || static_cast<std::size_t>(t) > c.SelectedTimes.size()) {
        Raise(kSubscriptOutOfRange);
    }
    Integer record = c.SelectedTimes[static_cast<std::size_t>(t - 1)];
    if (record < 1 || static_cast<std::size_t>(record) > c.Times.size()) {
        Raise(kSubscriptOutOfRange);
    }
    return c.Times[static_cast<std::size_t>(record - 1)];
}

// The highest item number the request holds, within the table's items (all of them when the
// request names none): what lies beyond it in a table is never written, so it is not read.
Long LastChosenItem(const Catalogue& c, Long items) {
    if (c.SelectedVectors.empty()) {
        return items;
    }
    Long last = 0;
    for (const Long v : c.SelectedVectors) {
        last = std::max(last, v);
    }
    return std::min(last, items);
}

// Thrown when the listing is no longer the one that was scanned: cut short, or another file.
struct ListingChangedError {
    bool shorter = true;
};

// The file at the listing's name is still the one scanned: the same file, not rewritten in place
// (grown by a solver still writing it is fine; shorter is caught where it is read).
void RequireTheScannedListing(Catalogue& c) {
    if (!c.Scanned.known) {
        return;
    }
    const Catalogue::Stamp now = StampOf(c.ListingFile);
    if (!now.known) {
        return;  // the reading says what became of it
    }
    if (now.device != c.Scanned.device || now.inode != c.Scanned.inode ||
        (now.size == c.Scanned.size && now.modifiedNs != c.Scanned.modifiedNs)) {
        c.ListingChanged = true;
        throw ListingChangedError{false};
    }
}

// Before anything is read or held: every chosen time must still lie inside the listing (a listing
// cut short, or rewritten by a solver still running, no longer matches the scan), and the items
// to hold must be few enough for the listing to print them at all (each takes at least a byte),
// so a damaged count can never make us claim memory the listing could not fill.
void CheckListingStillFits(Catalogue& c, const LineReader& in, Long items) {
    RequireTheScannedListing(c);
    const Integer times = ChosenTimes(c);
    for (Integer t = 1; t <= times; ++t) {
        if (TimeOf(c, t).Position > in.Length() + 1) {
            c.ListingChanged = true;
            throw ListingChangedError{};
        }
    }
    if (static_cast<FilePosition>(items) > in.Length()) {
        Raise(kInputPastEnd);
    }
}

// Runs the reading of one extraction. A listing that ends before the length it had when the
// reading began was cut short meanwhile (a solver that rewrites it): what was read is no longer
// the listing's, and is reported as such rather than as a missing table.
template <typename Body>
void WhileTheListingHolds(Catalogue& c, const LineReader& in, Body&& body) {
    try {
        body();
        // Rewritten while it was read: what was read may be half of each.
        RequireTheScannedListing(c);
    } catch (const RuntimeError&) {
        if (in.Shrunk()) {
            c.ListingChanged = true;
            throw ListingChangedError{};
        }
        throw;
    }
}

void ReadStructural(Catalogue& c, std::string_view variable, int component,
                    ProgressSink& progress) {
    Settings s = SettingsFor(c, variable, component);
    LineReader in(c.ListingFile);
    CheckListingStillFits(c, in, s.items);
    const Integer times = ChosenTimes(c);
    c.ExtractedValues = ValueTable(s.items, times);
    const std::string caption = "Reading " + std::string(variable) + "...";
    // Only the lines up to the last chosen item are read: a few nodes of a large model cost a
    // few lines per time, not the whole table. The fibre layout prints five fibres per line.
    const Long last = LastChosenItem(c, s.items);
    const Long valueLines = s.fibres ? last / 5 + (last % 5 != 0 ? 1 : 0) : last;

    WhileTheListingHolds(c, in, [&] {
        for (Integer t = 1; t <= times; ++t) {
            if (c.AbortSave) {
                return;
            }
            in.Seek(TimeOf(c, t).Position);
            std::string_view line = FindTable(in, s);
            progress.UpdateProgress(static_cast<Single>(t) / static_cast<Single>(times), caption);
            Skip(in, line, s.lead);
            for (Long i = 1; i <= valueLines; ++i) {
                // Only lines that hold a wanted value are read: the last item's table may end the
                // listing.
                if (i > 1) {
                    Skip(in, line, s.stride);
                }
                if (s.fibres) {
                    for (Long m = 1; m <= 5; ++m) {
                        std::string_view word = FindWord(line, static_cast<std::size_t>(2 * m - 1));
                        if (!word.empty()) {
                            c.ExtractedValues.At(CheckedAdd<Long>(CheckedMul<Long>(i - 1, 5), m),
                                                 t) = ToSingle(Val(word));
                        }
                    }
                } else {
                    std::string_view word = FindWord(line, s.word);
                    if (!word.empty()) {
                        c.ExtractedValues.At(i, t) = ToSingle(Val(word));
                    }
                }
            }
        }
    });
}

void ReadTemperatures(Catalogue& c, std::string_view variable, ProgressSink& progress) {
    LineReader in(c.ListingFile);
    CheckListingStillFits(c, in, c.NodeCount);
    const Integer times = ChosenTimes(c);
    c.ExtractedValues = ValueTable(c.NodeCount, times);
    const std::string caption = "Reading " + std::string(variable) + "...";
    // As far as the last chosen node, five nodes a line.
    const Long nodes = LastChosenItem(c, c.NodeCount);
    const Long tableLines = nodes / 5 + (nodes % 5 != 0 ? 1 : 0);
    const Long lastLineNodes = nodes % 5 == 0 ? 5 : nodes % 5;

    WhileTheListingHolds(c, in, [&] {
        for (Integer t = 1; t <= times; ++t) {
            if (c.AbortSave) {
                return;
            }
            in.Seek(TimeOf(c, t).Position);
            std::string_view line;
            if (!in.ReadLineContaining(kTemperatureHeading, line)) {
                Raise(kInputPastEnd);
            }
            progress.UpdateProgress(static_cast<Single>(t) / static_cast<Single>(times), caption);
            Long k = 1;
            for (Long l = 1; l <= tableLines; ++l) {
                line = in.ReadLine();
                const Long fields = l == tableLines ? lastLineNodes : 5;
                for (Long j = 1; j <= fields; ++j) {
                    // Each node is a field of 11 characters: 5 of node number, 6 of temperature.
                    std::size_t start = static_cast<std::size_t>(11 * (j - 1) + 5);
                    std::string_view field = start < line.size() ? line.substr(start, 6) : "";
                    c.ExtractedValues.At(k, t) = ToSingle(Val(field));
                    ++k;
                }
            }
        }
    });
}

// Runs an extraction and turns its failure into the message the user sees.
template <typename Body>
void Guarded(MessageSink& messages, Body&& body) {
    try {
        body();
    } catch (const RuntimeError& error) {
        messages.ShowMessage(std::to_string(error.number()) + ": " + error.description(),
                             MessageIcon::None, kExtractTitle);
    } catch (const std::bad_alloc&) {
        messages.ShowMessage(std::to_string(kOutOfMemory) + ": " + ErrorDescription(kOutOfMemory),
                             MessageIcon::None, kExtractTitle);
    } catch (const ListingChangedError& changed) {
        messages.ShowMessage(changed.shorter
                                 ? std::to_string(kInputPastEnd) + ": " +
                                       ErrorDescription(kInputPastEnd) +
                                       ". The listing is shorter than when it was opened: open it "
                                       "again."
                                 : std::string("The listing has changed since it was opened: "
                                               "open it again."),
                             MessageIcon::Critical, kExtractTitle);
    }
}

}  // namespace

std::string BeamTableLabel(std::string_view headingLine, std::string_view heading) {
    std::string label = ReplaceAll(TrimBlanks(headingLine), heading, "Beam");
    label = ReplaceAll(label, ",", "");
    label = ReplaceAll(label, "POINT", "(Point");
    label += ")";
    return label;
}

void ExtractStructuralValues(Catalogue& c, std::string_view variable, int component,
                             ProgressSink& progress, MessageSink& messages) {
    c.ExtractedValues = ValueTable();
    c.ListingChanged = false;
    Guarded(messages, [&] { ReadStructural(c, variable, component, progress); });
}

void ExtractTemperatures(Catalogue& c, std::string_view variable, ProgressSink& progress,
                         MessageSink& messages) {
    c.ExtractedValues = ValueTable();
    c.ListingChanged = false;
    Guarded(messages, [&] { ReadTemperatures(c, variable, progress); });
}

}  // namespace velto
