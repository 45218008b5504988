#include "extract/reader/extraction.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <limits>
#include <mutex>
#include <new>
#include <numeric>
#include <optional>
#include <span>
#include <thread>

#include "common/checked.h"
#include "common/encoding.h"
#include "common/error.h"
#include "common/linereader.h"
#include "common/text.h"
#include "extract/reader/earlyreading.h"
#include "extract/reader/rowgate.h"
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
    // What each value line says of itself, to be checked: the item's number first (the node or
    // element; fibres stand beside their values), the chosen point or surface second, and no
    // more words than the table has columns (a value split in two would move the rest).
    std::string_view variable;
    std::string_view itemWord;  // "Node", "Beam", "Fiber"
    bool numbered = false;
    Long point = 0;           // 0 when the lines name no point
    std::size_t columns = 0;  // 0 when not checked
    // Each value in a field of one width after the number (not the shells' labelled values, not
    // the fibres' pairs): a line tells its own columns.
    bool gridded = false;
    // A shell's values each follow their label ("NY=" before Ny): the word before the value
    // must be it, or a value lost or moved would give another force's value.
    std::string valueLabel;
};

// Where the tables of one time may lie: from its position on, within its block, or within the
// blocks after it while those before hold no table (see FindTable).
struct TimeBlocks {
    FilePosition start = 0;               // the line after the time's line
    std::span<const TimeStep> following;  // the times after it, in listing order
    bool complete = true;  // no time follows those; false while the scan may find more
    Single seconds = 0;    // the time itself, for what is said of a damaged table
};

// The words of a value line at the most, as the table's heading has columns; 0 for a table whose
// line is not checked (the eigen value's, printed on its heading line).
std::size_t ColumnsOf(const VariableSpec& v, const Catalogue& c) {
    switch (v.Naming) {
        case Vectors::Dofs:
            return 8;  // the node and seven degrees of freedom, whatever the dimension prints
        case Vectors::BeamPoints:
            return v.HeadingIn(c) == kBeamSpaceHeading ? 7 : 4;
        case Vectors::AreaPoints:
            return 14;  // element, surface, X, Y, and five named values
        case Vectors::TableLabels:
            return 10;  // five fibres and their values
        case Vectors::None:
            break;
    }
    return v.Heading == kSoilHeading ? 3 : v.Heading == kTrussHeading ? 2 : 0;
}

Settings SettingsFor(const Catalogue& c, std::string_view variable, int component) {
    const VariableSpec* v = FindVariable(variable);
    if (v == nullptr || v->Kind != Analysis::Structural) {
        Raise(kInvalidCall);
    }
    Settings s;
    s.variable = v->Name;
    s.itemWord = v->ItemWord;
    s.numbered = v->HasRange();
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
            s.point = component + 1;
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
    if (v->Naming == Vectors::AreaPoints) {
        // "Membrane Force Nxy" prints its values after "NXY=".
        const std::string_view name = v->Name;
        for (const char ch : name.substr(name.rfind(' ') + 1)) {
            s.valueLabel += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        }
        s.valueLabel += '=';
    }
    s.columns = ColumnsOf(*v, c);
    s.gridded = s.numbered && !s.fibres && v->Naming != Vectors::AreaPoints;
    return s;
}

// True when the line opens a result table of any kind (or is the eigen value's line), or is
// a line of a table's values: a whole number (a node, element or fibre), then more.
bool OfATable(std::string_view line) {
    for (const VariableSpec& v : AllVariables()) {
        if (Contains(line, v.Heading) ||
            (!v.SpaceHeading.empty() && Contains(line, v.SpaceHeading))) {
            return true;
        }
    }
    const std::string_view first = FindWord(line, 0);
    return !first.empty() && first.find_first_not_of("0123456789") == std::string_view::npos &&
           !FindWord(line, 1).empty();
}

// True when the lines from `from` up to the line that ends before `to` hold no table, neither
// its heading nor its values: a block in which the solver printed its time and then, having
// reduced its step, the next time line.
bool HoldsNoTable(LineReader& in, FilePosition from, FilePosition to) {
    in.Seek(from);
    while (in.Position() < to && !in.AtEnd()) {
        if (OfATable(in.ReadLine())) {
            return false;
        }
    }
    return true;
}

// Reads lines from a time's position until the heading of the wanted table, which must come
// before the next time that follows a table: a table missing from its time is an error, as one
// missing at the end of the listing is, so that neither the next time's values nor zeros stand
// in for its values. A time whose block holds no table at all (the solver reduced its step and
// printed another time line before any result) has the tables that follow it.
std::string_view FindTable(LineReader& in, std::string_view heading,
                           const std::optional<std::string>& label, const TimeBlocks& time) {
    std::size_t bound = 0;  // the time in `time.following` whose line the table must come before
    in.Seek(time.start);
    for (;;) {
        std::string_view line;
        if (!in.ReadLineContaining(heading, line)) {
            Raise(kInputPastEnd);
        }
        const FilePosition at = in.Position();
        if (bound < time.following.size() && at > time.following[bound].Position) {
            // Beyond the block: the table belongs to this time only when the blocks passed hold
            // no table at all.
            const FilePosition from = bound == 0 ? time.start : time.following[bound - 1].Position;
            if (!HoldsNoTable(in, from, time.following[bound].Position)) {
                Raise(kInputPastEnd);
            }
            ++bound;
            in.Seek(time.start);
            continue;
        }
        if (bound == time.following.size() && !time.complete) {
            Raise(kInputPastEnd);  // times the scan has not found yet may lie before it
        }
        if (!label || BeamTableLabel(line, heading) == *label) {
            return line;
        }
    }
}

// The chosen times are numbered as the value table numbers them, in a 16-bit Integer.
Integer ChosenTimes(const ExportRequest& r) {
    return CheckedNarrow<Integer>(static_cast<std::int64_t>(r.Times.size()));
}

const TimeStep& TimeOf(const Catalogue& c, const ExportRequest& r, Integer t) {
    if (t < 1 || static_cast<std::size_t>(t) > r.Times.size()) {
        Raise(kSubscriptOutOfRange);
    }
    Integer record = r.Times[static_cast<std::size_t>(t - 1)];
    if (record < 1 || static_cast<std::size_t>(record) > c.Times.size()) {
        Raise(kSubscriptOutOfRange);
    }
    return c.Times[static_cast<std::size_t>(record - 1)];
}

// Where the tables of a time may lie: its position and the times after it in the listing.
TimeBlocks BlocksOf(const Catalogue& c, const TimeStep& time) {
    const auto record = static_cast<std::size_t>(&time - c.Times.data()) + 1;
    return {time.Position, std::span<const TimeStep>(c.Times).subspan(record), true, time.Time};
}

// The window of times a table of `width` items holds: all of them, unless the rows are written
// out in time order as they are read.
Integer WindowFor(const ExportRequest& r, std::size_t width, const RowGate* rows,
                  const ExtractionOptions& options) {
    return rows != nullptr && rows->InTimeOrder()
               ? StreamWindow(width, ChosenTimes(r), options.StreamBytes)
               : 0;
}

// The table the extraction fills: the items the request names (every item of the table when it
// names none) at every chosen time.
ValueTable TableFor(const ExportRequest& r, Long items, const RowGate* rows,
                    const ExtractionOptions& options, std::size_t perItem = 1) {
    const Integer times = ChosenTimes(r);
    if (r.Items.empty()) {
        return ValueTable(items, times,
                          WindowFor(r, static_cast<std::size_t>(std::max<Long>(items, 0)) * perItem,
                                    rows, options),
                          perItem);
    }
    const ValueTable held(items, r.Items, 0);
    return ValueTable(items, r.Items, times,
                      WindowFor(r, held.Held().size() * perItem, rows, options), perItem);
}

// The same, with the rows the scan's early reading of this very request read, when it did: they
// stand for the chosen times that are the listing's first times in order. `early` is how many.
ValueTable TableTakingEarlyRows(const ExportRequest& r, Long items, const RowGate* gate,
                                ExtractionOptions& options, Integer& early) {
    early = 0;
    const std::shared_ptr<EarlyReading> reading = std::move(options.Early);
    if (!reading || r.Items.empty()) {
        return TableFor(r, items, gate, options);
    }
    const ValueTable held(items, r.Items, 0);
    const std::size_t width = held.Held().size();
    const Integer window = WindowFor(r, width, gate, options);
    const Integer rowsHeld = window > 0 ? window : ChosenTimes(r);
    SingleValues rows;
    Integer taken = reading->Take(r.Variable, r.Component, held.Held(), rows);
    taken = std::min(taken, rowsHeld);
    for (Integer t = 1; t <= taken; ++t) {
        if (r.Times[static_cast<std::size_t>(t - 1)] != t) {
            taken = t - 1;
        }
    }
    if (taken == 0) {
        return TableFor(r, items, gate, options);
    }
    if (rows.capacity() < width * static_cast<std::size_t>(rowsHeld)) {
        // Too little room for every time the table holds: its rows would have to be held twice.
        rows = {};
        return TableFor(r, items, gate, options);
    }
    ShrinkValues(rows, width * static_cast<std::size_t>(taken));
    early = taken;
    return ValueTable(items, r.Items, ChosenTimes(r), std::move(rows), window);
}

// Walks a table's value lines forward, reading only the lines that hold a wanted value and
// passing over the others without looking into them. Line 0 is the heading line.
class TableLines {
  public:
    TableLines(LineReader& in, std::string_view heading)
        : in_(in), line_(heading), start_(in.Position()) {}
    // The line `number` lines after the heading; never behind the last one asked for. A listing
    // that ends first holds a table cut short: that is the end-of-file error, so the items it
    // lacks are not given the last value read over again.
    std::string_view At(std::int64_t number) {
        if (number > at_) {
            if (blankless_) {
                // Line by line: a blank line is passed over uncounted.
                for (; at_ < number; ++at_) {
                    do {
                        lineStart_ = in_.Position();
                        line_ = Checked(in_.ReadLine());
                    } while (line_.find_first_not_of(" \t") == std::string_view::npos);
                }
            } else {
                if (number > at_ + 1) {
                    in_.SkipLines(number - at_ - 1);
                }
                lineStart_ = in_.Position();
                line_ = Checked(in_.ReadLine());
                at_ = number;
            }
        }
        return line_;
    }
    // Where the line last handed out starts.
    FilePosition LineStart() const { return lineStart_; }

    // Reads the table again from its heading, counting only the lines that are not blank: a
    // blank line inside a table is no value line, and a listing whose line ends were converted
    // twice (CR CR LF) reads an empty line after each.
    void CountWithoutBlankLines() {
        in_.Seek(start_);
        at_ = 0;
        blankless_ = true;
    }
    bool CountingWithoutBlankLines() const { return blankless_; }
    // Back to the heading, counting lines as before: a table's first lines are read once to
    // learn its columns and again for their values.
    void Rewind() {
        in_.Seek(start_);
        at_ = 0;
        line_ = {};
    }

  private:
    // A last line without its line end may be a value the solver is still printing: "-1.7" of
    // "-1.70480E-03".
    std::string_view Checked(std::string_view line) const {
        if (in_.LastLineUnended()) {
            Raise(kInputPastEnd);
        }
        return line;
    }

    LineReader& in_;
    std::string_view line_;
    std::int64_t at_ = 0;
    FilePosition start_;  // the line after the heading
    FilePosition lineStart_ = 0;
    bool blankless_ = false;
};

// Thrown for a value line that is not what its place in the table says: another item's, or one
// with more words than the table has columns. Its values would land on other items or vectors.
struct DamagedTableError {
    FilePosition line = 0;  // where the line starts
    Single time = 0;
    std::string_view variable;
    std::string what;  // "Node 9 stands where Node 8 belongs"
};

// A read error inside one time's table (its table missing, the listing ending inside it, a value
// that is no number), with the place it stood, so that the user is told where to look.
struct TableReadError : RuntimeError {
    enum class Where { kNoTable, kCut, kLine };
    TableReadError(int number, Where where, FilePosition line, Single time,
                   std::string_view variable)
        : RuntimeError(number), where(where), line(line), time(time), variable(variable) {}
    Where where;
    FilePosition line;  // where the line starts, for kLine
    Single time;
    std::string_view variable;
};

// A word that is a whole number (an item, a point), or -1.
long long WholeNumber(std::string_view word) {
    if (word.empty() || word.size() > 9) {
        return -1;
    }
    long long value = 0;
    for (const char ch : word) {
        if (ch < '0' || ch > '9') {
            return -1;
        }
        value = value * 10 + (ch - '0');
    }
    return value;
}

// True when the line of these words says it is the value line of `item` (of the chosen point)
// and holds no more words than the table has columns. Fibre lines hold five fibres, each number
// before its value: `pair` is the fibre's place in the line.
bool IsTheLineOf(const Settings& s, const LineWords& words, Long item, Long pair) {
    return !s.numbered || (WholeNumber(words.Word(static_cast<std::size_t>(2 * pair))) == item &&
                           (s.point == 0 || WholeNumber(words.Word(1)) == s.point) &&
                           (s.columns == 0 || !words.MoreWordsThan(s.columns)));
}

// What is wrong with a line that is not the value line of `item`.
// True when the chosen value stands after its label, where its values have one.
bool LabelledAsItsValue(const Settings& s, const LineWords& words) {
    return s.valueLabel.empty() || (s.word > 0 && words.Word(s.word - 1) == s.valueLabel);
}

std::string WhyNotTheLineOf(const Settings& s, std::string_view line, Long item, Long pair) {
    const std::string belongs = std::string(s.itemWord) + " " + std::to_string(item);
    const std::string_view number = FindWord(line, static_cast<std::size_t>(2 * pair));
    if (WholeNumber(number) != item) {
        return (number.empty() ? std::string("nothing stands")
                               : "\"" + std::string(number) + "\" stands") +
               " where " + belongs + " belongs";
    }
    if (s.point > 0 && WholeNumber(FindWord(line, 1)) != s.point) {
        return "point \"" + std::string(FindWord(line, 1)) + "\" of " + belongs +
               " stands where point " + std::to_string(s.point) + " belongs";
    }
    if (s.columns != 0 && LineWords(line).MoreWordsThan(s.columns)) {
        return "the line of " + belongs + " holds more words than the table has columns";
    }
    if (const LineWords words(line); !LabelledAsItsValue(s, words)) {
        const std::string_view found = s.word > 0 ? words.Word(s.word - 1) : std::string_view();
        return "\"" + std::string(found) + "\" stands where \"" + s.valueLabel +
               "\" belongs on the line of " + belongs;
    }
    return "the values of " + belongs +
           " do not stand in the table's columns (a value split, lost or pushed out of its field)";
}

// A line whose words a tab parts keeps no columns to compare: its values are read by their words.
bool HasTab(std::string_view line) {
    return line.find('\t') != std::string_view::npos;
}

// Where a word of a line ends, counted from the line's start; 0 for no word.
std::size_t EndOf(std::string_view line, std::string_view word) {
    return word.empty() ? 0 : static_cast<std::size_t>(word.data() - line.data()) + word.size();
}

// The word of a line that holds the number a value is counted from: the point's where the lines
// name one, else the item's. (A fibre's value follows its own number: see NumberEnd.)
std::size_t NumberWord(const Settings& s) {
    return s.point > 0 ? 1 : 0;
}

// Where the number before a pair's value ends: the item's, the point's or the fibre's.
std::size_t NumberEnd(const Settings& s, std::string_view line, const LineWords& words,
                      std::size_t pair) {
    return EndOf(line, words.Word(s.fibres ? 2 * pair : NumberWord(s)));
}

// How far the chosen value (of the pair's fibre), word `value` of the line, ends after the number
// before it: the item's, the point's, the fibre's. 0 when either is missing.
std::size_t ValueOffset(const Settings& s, std::string_view line, const LineWords& words,
                        std::size_t pair, std::string_view value) {
    const std::size_t numberEnd = NumberEnd(s, line, words, pair);
    const std::size_t valueEnd = EndOf(line, value);
    return numberEnd == 0 || valueEnd <= numberEnd ? 0 : valueEnd - numberEnd;
}

// How far a value word of a line ends after the number before it, which ends at `numberEnd`
// (ValueOffset, the number's end known); 0 when either is missing.
std::size_t OffsetAfter(std::size_t numberEnd, std::string_view line, std::string_view value) {
    const std::size_t valueEnd = EndOf(line, value);
    return numberEnd == 0 || valueEnd <= numberEnd ? 0 : valueEnd - numberEnd;
}

// Where the words of a line end: past its last word, 0 for a blank line.
std::size_t EndOfWords(std::string_view line) {
    const std::size_t last = line.find_last_not_of(" \t\r");
    return last == std::string_view::npos ? 0 : last + 1;
}

// The values a row lacked (a line with fewer words than the chosen vector needs), and the first
// item among them.
struct MissingInRow {
    long long count = 0;
    Long first = 0;
    void Add(Long item) { first = count++ == 0 ? item : first; }
};

// The line of the value line `index` (0-based) of a table whose first value line comes `lead`
// lines after the heading, `stride` lines apart. Counted wide: a damaged count must not wrap.
std::int64_t ValueLine(long lead, std::int64_t index, long stride) {
    return std::int64_t{lead} + index * std::int64_t{stride};
}

// The value lines of a structural table: fibres stand five to a line.
std::int64_t ValueLinesOf(const Settings& s) {
    return s.fibres ? (std::int64_t{s.items} + 4) / 5 : std::int64_t{s.items};
}

// Where the chosen value of a gridded line ends after its number, as the line's own fields say:
// each field is as wide as the nearest two word ends from the number on are apart, every other
// distance a multiple of it. 0 when the line tells nothing (fewer than two fields); `unsound`
// when its distances fit no one width, which no line the solver printed does.
std::size_t GridColumn(const Settings& s, std::string_view line, const LineWords& words,
                       bool& unsound, std::size_t& field) {
    const std::size_t number = NumberWord(s);
    // The distances between word ends; a line holds few words, so they are kept in place.
    std::array<std::size_t, 16> gaps{};
    std::size_t count = 0;
    std::size_t width = std::numeric_limits<std::size_t>::max();
    for (std::size_t end = EndOf(line, words.Word(number)); count < gaps.size(); ++count) {
        const std::size_t next = EndOf(line, words.Word(number + 1 + count));
        if (next == 0) {
            break;
        }
        gaps[count] = next - end;
        width = std::min(width, gaps[count]);
        end = next;
    }
    unsound = false;
    field = 0;
    if (count < 2) {
        return 0;
    }
    for (std::size_t k = 0; k < count; ++k) {
        unsound = unsound || gaps[k] % width != 0;
    }
    field = unsound ? 0 : width;
    return field * (s.word - number);
}

// What a table's first three value lines say of its columns.
struct TableColumns {
    // The column (as ValueOffset counts it) in which the chosen value of each pair ends, 0 where
    // the lines do not tell.
    std::array<std::size_t, 5> column{};
    // Where the field of the chosen value starts (the value before it ends; 0 right after the
    // number), when the lines tell; not for fibres, whose pairs are numbered.
    std::optional<std::size_t> fieldStart;
    std::array<bool, 3> unsound{};  // a gridded line whose fields fit no one width
};

// The one value that two of three agree on, 0 when no two do.
std::size_t Agreed(std::size_t a, std::size_t b, std::size_t c) {
    return (a != 0 && (a == b || a == c)) ? a : (b != 0 && b == c) ? b : 0;
}

// The value two of three agree on; without two, the first known one, which no other line
// contradicts (so a two-line table whose lines differ is still compared); 0 when none is known.
std::size_t Voted(std::size_t a, std::size_t b, std::size_t c) {
    const std::size_t agreed = Agreed(a, b, c);
    return agreed != 0 ? agreed : a != 0 ? a : b != 0 ? b : c;
}

// The columns most of the table's first three value lines agree on: the solver prints a table in
// fixed fields, and one damaged line among three is outvoted, the first one too. Where no two
// lines agree (a table of one or two lines, or damage on two), a gridded line's own fields say
// where its value ends. A line with a tab keeps no columns and does not vote.
TableColumns ValueColumns(const Settings& s, TableLines& table) {
    std::array<std::array<std::size_t, 5>, 3> seen{};
    std::array<std::size_t, 3> before{};  // where the value before the chosen one ends
    std::array<std::size_t, 3> grid{};
    std::array<std::size_t, 3> field{};
    std::array<bool, 3> unsound{};
    const bool firstValue = s.word == NumberWord(s) + 1;
    const std::int64_t lines = std::min<std::int64_t>(3, ValueLinesOf(s));
    for (std::int64_t i = 0; i < lines; ++i) {
        std::string_view line;
        try {
            line = table.At(ValueLine(s.lead, i, s.stride));
        } catch (const RuntimeError&) {
            break;  // a table cut short: said when a line the user chose is missing
        }
        if (HasTab(line)) {
            continue;
        }
        const LineWords words(line);
        for (std::size_t pair = 0; pair < (s.fibres ? 5u : 1u); ++pair) {
            seen[i][pair] =
                ValueOffset(s, line, words, pair, words.Word(s.fibres ? 2 * pair + 1 : s.word));
        }
        if (!s.fibres && !firstValue) {
            before[i] = ValueOffset(s, line, words, 0, words.Word(s.word - 1));
        }
        if (s.gridded) {
            grid[i] = GridColumn(s, line, words, unsound[i], field[i]);
        }
    }
    table.Rewind();
    TableColumns result;
    for (std::size_t pair = 0; pair < 5; ++pair) {
        const std::size_t a = seen[0][pair], b = seen[1][pair], c = seen[2][pair];
        std::size_t column = Agreed(a, b, c);
        if (pair == 0 && !s.fibres) {
            if (firstValue) {
                result.fieldStart = 0;
            } else if (const std::size_t start = Agreed(before[0], before[1], before[2])) {
                result.fieldStart = start;
            }
        }
        if (column == 0 && pair == 0 && s.gridded) {
            column = Voted(grid[0], grid[1], grid[2]);
            // The field before it, by the line whose fields gave the column.
            for (std::size_t i = 0; i < 3 && !firstValue; ++i) {
                if (grid[i] != 0 && grid[i] == column) {
                    result.fieldStart = column - field[i];
                    break;
                }
            }
            result.unsound = unsound;
        }
        result.column[pair] = column != 0 ? column : Voted(a, b, c);
    }
    return result;
}

// The value of a word of a value line; an empty word leaves the value as it is, and is counted.
void Store(Single& value, std::string_view word, MissingInRow& missing, Long item) {
    if (!word.empty()) {
        value = ListingValue(word);
    } else {
        missing.Add(item);
    }
}

// Thrown when the listing is no longer the one that was scanned: cut short, or another file.
struct ListingChangedError {
    bool shorter = true;
};

// The file at the listing's name is still the one scanned: the same file, not rewritten in place,
// not cut short (grown by a solver still writing it is fine).
void RequireTheScannedListing(const Catalogue& c, ExtractionResult& result) {
    if (!c.Scanned.known) {
        return;
    }
    // A solver appending meanwhile may be caught between moving the times and the size.
    const Catalogue::Stamp now = SettledStampOf(c.ListingFile, c.Scanned);
    if (!now.known) {
        return;  // the reading says what became of it
    }
    // Rewritten in place without growing: its modification time moves, unless it was set back,
    // and its change time moves whatever was done.
    if (now.device != c.Scanned.device || now.inode != c.Scanned.inode ||
        (now.size == c.Scanned.size &&
         (now.modifiedNs != c.Scanned.modifiedNs || now.changedNs != c.Scanned.changedNs))) {
        result.ListingChanged = true;
        throw ListingChangedError{false};
    }
    if (now.size < c.Scanned.size) {
        result.ListingChanged = true;
        throw ListingChangedError{};
    }
    // Grown: by a solver still writing it, or written over with another run that is longer.
    if (now.size > c.Scanned.size && EndsDigest(c.ListingFile, c.Scanned.size) != c.Scanned.ends) {
        result.ListingChanged = true;
        throw ListingChangedError{false};
    }
}

// Before anything is read or held: every chosen time must still lie inside the listing (a listing
// cut short, or rewritten by a solver still running, no longer matches the scan), and the items
// to hold must be few enough for the listing to print them at all (each takes at least a byte),
// so a damaged count can never make us claim memory the listing could not fill.
void CheckListingStillFits(const Catalogue& c, const ExportRequest& r, ExtractionResult& result,
                           const LineReader& in, Long items) {
    RequireTheScannedListing(c, result);
    const Integer times = ChosenTimes(r);
    for (Integer t = 1; t <= times; ++t) {
        if (TimeOf(c, r, t).Position > in.Length() + 1) {
            result.ListingChanged = true;
            throw ListingChangedError{};
        }
    }
    if (static_cast<FilePosition>(items) > in.Length()) {
        Raise(kInputPastEnd);
    }
}

// Runs the reading of a part of one extraction with its own reader. A listing that ends before
// the length it had when the reading began was cut short meanwhile (a solver that rewrites it):
// what was read is no longer the listing's, and is reported as such rather than as a missing
// table.
template <typename Body>
void WhileTheListingHolds(const LineReader& in, Body&& body) {
    try {
        body();
    } catch (const RuntimeError&) {
        if (in.Shrunk()) {
            throw ListingChangedError{};
        }
        throw;
    }
}

// Below this many values an extraction is read on one thread: a second would cost more to start
// than it saves.
constexpr std::size_t kValuesWorthASecondThread = 1 << 16;

// Reads every chosen time with `readTime(in, t, row)`. The times are tables of their own, so a
// large extraction reads every other time on a second thread with a reader of its own (each core
// parses its values while the other does, and the rows come in order at the pace of both for a
// writer that takes them in order); the calling thread reports progress and watches for an abort.
// A failure comes out as reading the times in order would give it: the earliest time's. Each row
// read is handed on through `rows` when given; a gate closed by the writer ends the reading.
template <typename ReadTime>
void ReadTimes(const Catalogue& c, const ExportRequest& r, ExtractionResult& result,
               const std::atomic<bool>& stop, LineReader& in, ProgressSink& progress, RowGate* rows,
               Integer early, ReadTime readTime) {
    const Integer times = ChosenTimes(r);
    const std::string caption = "Reading " + r.Variable + "...";
    // The first `early` rows were read while the listing was scanned.
    for (Integer t = 1; t <= early && rows != nullptr; ++t) {
        rows->Open(t);
    }
    const std::size_t values =
        result.Values.Held().size() * static_cast<std::size_t>(times - early);
    const bool shared = times - early >= 2 && values >= kValuesWorthASecondThread &&
                        std::thread::hardware_concurrency() >= 2;
    const Integer step = shared ? 2 : 1;

    // The earliest time that failed so far: no thread reads beyond it.
    std::atomic<Integer> failedAt{std::numeric_limits<Integer>::max()};
    std::mutex missingMutex;  // the values the lines lacked, counted from both threads
    std::atomic<bool> helperStops{false};
    struct Failure {
        Integer at = std::numeric_limits<Integer>::max();
        std::exception_ptr error;
    };
    // A table that holds a window of times only reads a time into the row of the time a window
    // before it, once the writer is done with that one.
    const Integer window = result.Values.Window();
    auto readEvery = [&](LineReader& reader, Integer first, bool reporting, Failure& failure) {
        // Counted wider than a time's Integer: the step past the last of 32766 times is beyond
        // what one holds.
        for (int next = first; next <= times && next < failedAt; next += step) {
            const auto t = static_cast<Integer>(next);
            if (rows != nullptr && rows->Closed()) {
                return;
            }
            if (window > 0 && t > window) {
                if (rows == nullptr || !rows->WaitWritten(t - window, t)) {
                    return;
                }
                // What the time before left there must not stand for a value this one lacks.
                const std::span<Single> room = result.Values.Row(t);
                std::fill(room.begin(), room.end(), Single{0});
            }
            if (reporting) {
                if (stop) {
                    return;
                }
                progress.UpdateProgress(static_cast<Single>(t) / static_cast<Single>(times),
                                        caption);
            } else if (helperStops) {
                return;
            }
            try {
                WhileTheListingHolds(reader, [&] {
                    const MissingInRow missing =
                        readTime(reader, TimeOf(c, r, t), result.Values.Row(t));
                    if (missing.count > 0) {
                        const std::lock_guard lock(missingMutex);
                        ExtractionResult::Missing& all = result.MissingValues;
                        if (all.count == 0 || t < all.time) {
                            all.time = t;
                            all.item = missing.first;
                        }
                        all.count += missing.count;
                    }
                });
            } catch (...) {
                failure = {t, std::current_exception()};
                for (Integer seen = failedAt;
                     t < seen && !failedAt.compare_exchange_weak(seen, t);) {
                }
                if (rows != nullptr) {
                    rows->Failed(t);  // wakes a reader waiting to read beyond it
                }
                return;
            }
            if (rows != nullptr) {
                rows->Open(t);
            }
        }
    };

    Failure theirs;
    std::thread helper;
    if (shared) {
        helper = std::thread([&] {
            try {
                LineReader twin(LineReader::SameFile{}, in);
                readEvery(twin, early + 2, false, theirs);
            } catch (...) {
                theirs = {static_cast<Integer>(early + 2), std::current_exception()};
                if (rows != nullptr) {
                    rows->Failed(theirs.at);
                }
            }
        });
    }
    Failure mine;
    readEvery(in, early + 1, true, mine);
    if (helper.joinable()) {
        helperStops = stop.load();
        if (helperStops && window > 0) {
            // The helper may be waiting for the writer, and the writer for a time no one reads
            // any more: nothing is written of a stopped extraction.
            rows->Close();
        }
        helper.join();
    }
    const Failure& first = theirs.at < mine.at ? theirs : mine;
    if (first.error && !stop) {
        std::rethrow_exception(first.error);
    }
    if (mine.error) {
        std::rethrow_exception(mine.error);
    }
    // Rewritten while it was read: what was read may be half of each.
    RequireTheScannedListing(c, result);
}

// Finds a time's table and reads it with `body(table)`, giving a read error the place it stood.
template <typename Body>
MissingInRow InTable(LineReader& reader, std::string_view heading,
                     const std::optional<std::string>& label, const TimeBlocks& time,
                     std::string_view variable, Body&& body) {
    using Where = TableReadError::Where;
    std::string_view headingLine;
    try {
        headingLine = FindTable(reader, heading, label, time);
    } catch (const RuntimeError& error) {
        if (error.number() != kInputPastEnd) {
            throw;
        }
        throw TableReadError(kInputPastEnd, Where::kNoTable, 0, time.seconds, variable);
    }
    TableLines table(reader, headingLine);
    try {
        return body(table);
    } catch (const RuntimeError& error) {
        const int number = error.number();
        if (number != kInputPastEnd && number != kTypeMismatch && number != kOverflow) {
            throw;
        }
        throw TableReadError(number, number == kInputPastEnd ? Where::kCut : Where::kLine,
                             table.LineStart(), time.seconds, variable);
    }
}

// The vectors one extraction reads of a structural table: their settings in the order asked
// (each item's values stand so in a row), and the order in which their lines come in the table
// (the points along a beam, the surfaces of a shell: one line each), so that a table is walked
// forward once whichever order they were asked in.
struct Reading {
    std::vector<Settings> vectors;
    std::vector<std::size_t> inLineOrder;
};

Reading ReadingFor(const Catalogue& c, const ExportRequest& r) {
    Reading reading;
    if (r.Components.empty()) {
        reading.vectors.push_back(SettingsFor(c, r.Variable, r.Component));
    }
    for (const int component : r.Components) {
        reading.vectors.push_back(SettingsFor(c, r.Variable, component));
    }
    reading.inLineOrder.resize(reading.vectors.size());
    std::iota(reading.inLineOrder.begin(), reading.inLineOrder.end(), std::size_t{0});
    std::stable_sort(reading.inLineOrder.begin(), reading.inLineOrder.end(),
                     [&](std::size_t a, std::size_t b) {
                         return reading.vectors[a].lead < reading.vectors[b].lead;
                     });
    return reading;
}

// True when the vectors stand in one table: the fibres' tables are one per chosen table.
bool InOneTable(const Reading& reading) {
    return std::all_of(reading.vectors.begin(), reading.vectors.end(), [&](const Settings& s) {
        return s.heading == reading.vectors.front().heading &&
               s.label == reading.vectors.front().label;
    });
}

// Reads the values of the held items at one time of a structural listing into `row` (each
// item's vectors side by side); returns the values the lines lacked. Each line read must say it
// is the item's: when one does not, the table is read again without its blank lines, and a line
// that still does not is an error.
MissingInRow ReadStructuralTable(TableLines& table, const Reading& reading,
                                 const std::vector<Long>& held, const TimeBlocks& time,
                                 std::span<Single> row) {
    const std::size_t perItem = reading.vectors.size();
    for (;;) {
        MissingInRow missing;
        // Where each pair's value ends after its number, as the table's first lines say: the
        // solver prints a table in fixed fields, so a value that ends elsewhere on another line
        // was split by a blank or pushed out of its field, and the word in its place is another
        // value or a piece of one. Counted from the number, which a large model may widen.
        std::vector<TableColumns> columns(perItem);
        for (std::size_t v = 0; v < perItem; ++v) {
            if (reading.vectors[v].numbered && !held.empty()) {
                columns[v] = ValueColumns(reading.vectors[v], table);
            }
        }
        // Only the lines of the items held are read: a few nodes of a large model cost a few
        // lines per time, and what lies beyond the last of them is never reached. The vectors of
        // an item that share its line (the DOFs) split it into words once.
        bool damaged = false;
        for (std::size_t k = 0; k < held.size() && !damaged; ++k) {
            const Long item = held[k];
            std::int64_t split = -1;  // the line `words` holds
            LineWords words{std::string_view()};
            bool tab = false;
            bool itsLine = false;
            std::size_t numberEnd = 0;  // where the number the values are counted from ends
            for (const std::size_t v : reading.inLineOrder) {
                const Settings& s = reading.vectors[v];
                // Fibres stand five (fibre, value) pairs a line.
                const Long pair = s.fibres ? (item - 1) % 5 : 0;
                const std::size_t word = s.fibres ? static_cast<std::size_t>(2 * pair + 1) : s.word;
                const std::size_t column = columns[v].column[pair];
                const std::int64_t index = s.fibres ? (item - 1) / 5 : item - 1;
                const std::int64_t number = ValueLine(s.lead, index, s.stride);
                const std::string_view line = table.At(number);
                if (number != split) {
                    // Vectors that share a line differ in their word alone: what the line says
                    // of itself is looked at once.
                    words = LineWords(line);
                    split = number;
                    tab = HasTab(line);
                    itsLine = IsTheLineOf(s, words, item, pair);
                    numberEnd = NumberEnd(s, line, words, static_cast<std::size_t>(pair));
                }
                const std::string_view value = words.Word(word);
                // A value that ends in another column was split or pushed; a line that lacks the
                // value yet has words reaching its column lost one before it, and the rest moved.
                const bool moved =
                    (index < 3 && columns[v].unsound[static_cast<std::size_t>(index)]) ||
                    (column != 0 && !tab &&
                     (!value.empty() ? OffsetAfter(numberEnd, line, value) != column
                                     : EndOfWords(line) >
                                           numberEnd + columns[v].fieldStart.value_or(column - 1)));
                if (!itsLine || moved || (!s.valueLabel.empty() && !LabelledAsItsValue(s, words))) {
                    if (table.CountingWithoutBlankLines()) {
                        throw DamagedTableError{table.LineStart(), time.seconds, s.variable,
                                                WhyNotTheLineOf(s, line, item, pair)};
                    }
                    damaged = true;
                    break;
                }
                Store(row[k * perItem + v], value, missing, item);
            }
        }
        if (!damaged) {
            return missing;
        }
        std::fill(row.begin(), row.end(), Single{0});
        table.CountWithoutBlankLines();
    }
}

MissingInRow ReadStructuralRow(LineReader& reader, const Reading& reading,
                               const std::vector<Long>& held, const TimeBlocks& time,
                               std::span<Single> row) {
    const Settings& first = reading.vectors.front();
    return InTable(
        reader, first.heading, first.label, time, first.variable,
        [&](TableLines& table) { return ReadStructuralTable(table, reading, held, time, row); });
}

void ReadStructural(const Catalogue& c, const ExportRequest& r, ExtractionResult& result,
                    const std::atomic<bool>& stop, ProgressSink& progress, RowGate* rows,
                    ExtractionOptions& options) {
    const Reading reading = ReadingFor(c, r);
    LineReader in(c.ListingFile);
    CheckListingStillFits(c, r, result, in, reading.vectors.front().items);
    Integer early = 0;
    const std::size_t perItem = reading.vectors.size();
    result.Values =
        perItem == 1 ? TableTakingEarlyRows(r, reading.vectors.front().items, rows, options, early)
                     : TableFor(r, reading.vectors.front().items, rows, options, perItem);
    result.ReadDuringScan = early;
    const std::vector<Long>& held = result.Values.Held();

    if (InOneTable(reading)) {
        ReadTimes(c, r, result, stop, in, progress, rows, early,
                  [&](LineReader& reader, const TimeStep& time, std::span<Single> row) {
                      return ReadStructuralRow(reader, reading, held, BlocksOf(c, time), row);
                  });
        return;
    }
    // Tables of their own (a fibre table per beam point): each read where it stands, its values
    // put beside the others'.
    std::vector<Reading> alone(perItem);
    for (std::size_t v = 0; v < perItem; ++v) {
        alone[v].vectors = {reading.vectors[v]};
        alone[v].inLineOrder = {0};
    }
    ReadTimes(c, r, result, stop, in, progress, rows, early,
              [&](LineReader& reader, const TimeStep& time, std::span<Single> row) {
                  MissingInRow missing;
                  std::vector<Single> one(held.size());
                  for (std::size_t v = 0; v < perItem; ++v) {
                      const MissingInRow lacked =
                          ReadStructuralRow(reader, alone[v], held, BlocksOf(c, time), one);
                      for (std::size_t k = 0; k < held.size(); ++k) {
                          row[k * perItem + v] = one[k];
                      }
                      missing.first = missing.count == 0  ? lacked.first
                                      : lacked.count == 0 ? missing.first
                                                          : std::min(missing.first, lacked.first);
                      missing.count += lacked.count;
                  }
                  return missing;
              });
}

constexpr std::string_view kFieldCounts[] = {"one", "two", "three", "four", "five"};

// Reads the temperatures of the held nodes at one time into `row`, as ReadStructuralRow reads
// values: five nodes a line, each a field of 11 characters, 5 of node number (checked) and 6 of
// temperature.
MissingInRow ReadTemperatureTable(TableLines& table, const std::vector<Long>& held, Long nodes,
                                  const TimeBlocks& time, std::span<Single> row) {
    auto field = [](std::string_view line, std::size_t start, std::size_t width) {
        std::string_view text = start < line.size() ? line.substr(start, width) : "";
        text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
        return text;
    };
    for (;;) {
        MissingInRow missing;
        std::size_t k = 0;
        for (; k < held.size(); ++k) {
            const Long node = held[k];
            const std::string_view line = table.At(ValueLine(1, (node - 1) / 5, 1));
            const auto start = static_cast<std::size_t>(11 * ((node - 1) % 5));
            const std::string_view number = field(line, start, 5);
            // Anything beyond the line's last field was pushed there: a value too wide for its
            // field moves the rest of the line on. The table's last line may hold fewer than
            // five nodes.
            const Long fields = std::clamp<Long>(nodes - (node - 1) / 5 * 5, 1, 5);
            const auto end = static_cast<std::size_t>(11 * fields);
            const bool pushed = line.size() > end && line.find_first_not_of(' ', end) != line.npos;
            if (WholeNumber(number) != node || pushed) {
                if (table.CountingWithoutBlankLines()) {
                    throw DamagedTableError{
                        table.LineStart(), time.seconds, "Temperature",
                        pushed ? "the line holds more than " +
                                     std::string(kFieldCounts[fields - 1]) + " nodes' fields"
                        : number.empty()
                            ? "nothing stands where Node " + std::to_string(node) + " belongs"
                            : "\"" + std::string(number) + "\" stands where Node " +
                                  std::to_string(node) + " belongs"};
                }
                break;
            }
            const std::string_view temperature = field(line, start + 5, 6);
            if (temperature.empty()) {
                missing.Add(node);
                row[k] = 0;
            } else {
                row[k] = ListingValue(temperature);
            }
        }
        if (k == held.size()) {
            return missing;
        }
        std::fill(row.begin(), row.end(), Single{0});
        table.CountWithoutBlankLines();
    }
}

MissingInRow ReadTemperatureRow(LineReader& reader, const std::vector<Long>& held, Long nodes,
                                const TimeBlocks& time, std::span<Single> row) {
    return InTable(
        reader, kTemperatureHeading, std::nullopt, time, "Temperature",
        [&](TableLines& table) { return ReadTemperatureTable(table, held, nodes, time, row); });
}

void ReadTemperatures(const Catalogue& c, const ExportRequest& r, ExtractionResult& result,
                      const std::atomic<bool>& stop, ProgressSink& progress, RowGate* rows,
                      ExtractionOptions& options) {
    LineReader in(c.ListingFile);
    CheckListingStillFits(c, r, result, in, c.NodeCount);
    Integer early = 0;
    result.Values = TableTakingEarlyRows(r, c.NodeCount, rows, options, early);
    result.ReadDuringScan = early;
    const std::vector<Long>& held = result.Values.Held();

    ReadTimes(c, r, result, stop, in, progress, rows, early,
              [&](LineReader& reader, const TimeStep& time, std::span<Single> row) {
                  return ReadTemperatureRow(reader, held, c.NodeCount, BlocksOf(c, time), row);
              });
}

// "frame.out, line 12 (Displacements at 0.5 s)": the listing's name, the number of the line that
// starts at `line` (none when negative), the table and the time.
std::string PlaceOf(const Catalogue& c, FilePosition line, std::string_view variable, Single time) {
    std::string where = FileNameToCp1252(std::filesystem::path(c.ListingFile).filename().string());
    if (line >= 0) {
        try {
            where += ", line " + std::to_string(LineNumberAt(c.ListingFile, line));
        } catch (const RuntimeError&) {
            // The file is gone meanwhile: said without its line.
        }
    }
    char seconds[32];
    const char* end = std::to_chars(seconds, seconds + sizeof seconds, time).ptr;
    return where + " (" + std::string(variable) + " at " +
           std::string(seconds, static_cast<std::size_t>(end - seconds)) + " s)";
}

// Runs an extraction and turns its failure into the message the user sees.
template <typename Body>
void Guarded(const Catalogue& c, ExtractionResult& result, MessageSink& messages, Body&& body) {
    try {
        body();
        return;
    } catch (const TableReadError& error) {
        using Where = TableReadError::Where;
        const std::string where =
            PlaceOf(c, error.where == Where::kLine ? error.line : -1, error.variable, error.time);
        messages.ShowMessage(
            std::to_string(error.number()) + ": " + error.description() + " in " + where +
                (error.where == Where::kNoTable ? ": the time holds no such table"
                 : error.where == Where::kCut   ? ": the listing ends inside the table"
                                                : ""),
            MessageIcon::None, kExtractTitle);
    } catch (const RuntimeError& error) {
        messages.ShowMessage(std::to_string(error.number()) + ": " + error.description(),
                             MessageIcon::None, kExtractTitle);
    } catch (const std::bad_alloc&) {
        messages.ShowMessage(std::to_string(kOutOfMemory) + ": " + ErrorDescription(kOutOfMemory),
                             MessageIcon::None, kExtractTitle);
    } catch (const DamagedTableError& damaged) {
        messages.ShowMessage(PlaceOf(c, damaged.line, damaged.variable, damaged.time) + ": " +
                                 damaged.what + "; the listing is damaged there.",
                             MessageIcon::Critical, kExtractTitle);
    } catch (const ListingChangedError& changed) {
        result.ListingChanged = true;
        messages.ShowMessage(changed.shorter
                                 ? std::to_string(kInputPastEnd) + ": " +
                                       ErrorDescription(kInputPastEnd) +
                                       ". The listing is shorter than when it was opened: open it "
                                       "again."
                                 : std::string("The listing has changed since it was opened: "
                                               "open it again."),
                             MessageIcon::Critical, kExtractTitle);
    }
    result.ExtractionFailed = true;
}

}  // namespace

std::string BeamTableLabel(std::string_view headingLine, std::string_view heading) {
    std::string label = ReplaceAll(TrimBlanks(headingLine), heading, "Beam");
    label = ReplaceAll(label, ",", "");
    label = ReplaceAll(label, "POINT", "(Point");
    label += ")";
    return label;
}

struct EarlyReading::Plan {
    bool temperatures = false;  // a thermal listing's table, else `settings`' structural one
    Long nodes = 0;
    Reading settings;
    std::vector<Long> held;
    std::string variable;
    int component = 0;
    Integer window = 0;  // the times a streamed table holds, 0 for every time
    std::function<bool(const TimeStep&, std::span<const Single>, std::size_t)> onRow;
};

std::unique_ptr<EarlyReading> EarlyReading::Start(const Catalogue& c, const EarlyRequest& request,
                                                  const LineReader& scanning,
                                                  std::size_t streamBytes) {
    auto plan = std::make_unique<Plan>();
    const VariableSpec* spec = FindVariable(request.Variable);
    plan->temperatures = spec != nullptr && spec->Kind == Analysis::Thermal;
    Long items = c.NodeCount;
    plan->nodes = c.NodeCount;
    if (!plan->temperatures) {
        try {
            plan->settings = {{SettingsFor(c, request.Variable, request.Component)}, {0}};
        } catch (const RuntimeError&) {
            return nullptr;  // the extraction says what is wrong with it
        }
        items = plan->settings.vectors.front().items;
    }
    const ValueTable held(items, request.Vectors, 0);
    if (held.Held().empty() || static_cast<FilePosition>(held.Held().size()) > scanning.Length()) {
        return nullptr;
    }
    plan->held = held.Held();
    plan->variable = request.Variable;
    plan->component = request.Component;
    plan->onRow = request.OnRow;
    if (request.Streamed) {
        plan->window =
            StreamWindow(plan->held.size(), std::numeric_limits<Integer>::max(), streamBytes);
    }
    try {
        return std::unique_ptr<EarlyReading>(new EarlyReading(std::move(plan), scanning));
    } catch (...) {
        // No descriptor or thread to spare: the extraction reads it all after the scan.
        return nullptr;
    }
}

EarlyReading::EarlyReading(std::unique_ptr<Plan> plan, const LineReader& scanning)
    : plan_(std::move(plan)), reader_(LineReader::SameFile{}, scanning) {
    thread_ = std::thread([this] { Run(); });
}

EarlyReading::~EarlyReading() {
    Stop();
}

void EarlyReading::Stop() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void EarlyReading::Found(const TimeStep& time) {
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        times_.push_back(time);
        // Waking the reading costs the scan a system call: a reading that has caught up waits
        // for a few times to read in one go.
        wake = wakeAt_ != 0 && times_.size() >= wakeAt_;
    }
    if (wake) {
        changed_.notify_all();
    }
}

void EarlyReading::ScanEnded() {
    {
        const std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

void EarlyReading::Run() {
    Read();
    {
        const std::lock_guard lock(mutex_);
        done_ = true;
    }
    changed_.notify_all();
}

void EarlyReading::Finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done_; });
}

bool EarlyReading::WaitFinished(std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience, [&] { return done_; });
}

void EarlyReading::Read() {
    const std::size_t width = plan_->held.size();
    // The times after the one read, copied: the scan grows its list meanwhile. A few are enough
    // for a time whose block holds no table; with more such blocks in a row the extraction reads
    // the time after the scan.
    std::vector<TimeStep> following;
    following.reserve(kFollowingKept);
    try {
        for (std::size_t k = 0; k < static_cast<std::size_t>(std::numeric_limits<Integer>::max());
             ++k) {
            TimeStep time;
            bool complete = false;
            std::size_t room = 0;  // rows to claim before the first is read
            {
                // A time's table is bounded by the next time: wait for it, or for the end. The
                // first waits for a few more, whose blocks measure the room to claim.
                std::unique_lock lock(mutex_);
                const std::size_t need = k == 0 ? kTimesToMeasure : k + 2;
                wakeAt_ = k == 0 ? need : need + kTimesPerWaking;
                changed_.wait(lock, [&] { return stop_ || ended_ || times_.size() >= need; });
                wakeAt_ = 0;
                if (stop_ || times_.size() <= k) {
                    return;
                }
                time = times_[k];
                const std::size_t until = std::min(times_.size(), k + 1 + kFollowingKept);
                following.assign(times_.begin() + static_cast<std::ptrdiff_t>(k + 1),
                                 times_.begin() + static_cast<std::ptrdiff_t>(until));
                complete = ended_ && until == times_.size();
                if (k == 0) {
                    // As many times as blocks of the measured ones' mean size fill the listing,
                    // and half as many more, for a first block longer than the rest.
                    const std::size_t last = std::min(times_.size(), kTimesToMeasure) - 1;
                    const auto measured = static_cast<FilePosition>(last);
                    const FilePosition span = times_[last].Position - time.Position;
                    const FilePosition blocks =
                        span > 0 ? (reader_.Length() - time.Position) * measured / span + 1 : 1;
                    room = static_cast<std::size_t>(std::min<FilePosition>(
                        blocks + blocks / 2, std::numeric_limits<Integer>::max()));
                    if (plan_->window > 0) {
                        // No more than the table will hold: the rest are read as they are
                        // written out.
                        room = std::min(room, static_cast<std::size_t>(plan_->window));
                    }
                }
            }
            if (k == 0) {
                // Claimed, not touched: it costs no memory until it is read into. It is never
                // grown, which would hold every row twice for a moment: a listing that holds
                // more times than it makes room for has the rest read after the scan.
                rows_.reserve(room * width);
            }
            if (rows_.size() + width > rows_.capacity()) {
                return;
            }
            const std::size_t at = rows_.size();
            rows_.resize(at + width);
            try {
                bool lacking = false;
                WhileTheListingHolds(reader_, [&] {
                    const TimeBlocks blocks{time.Position, following, complete, time.Time};
                    const std::span<Single> row = std::span<Single>(rows_).subspan(at, width);
                    lacking = (plan_->temperatures ? ReadTemperatureRow(reader_, plan_->held,
                                                                        plan_->nodes, blocks, row)
                                                   : ReadStructuralRow(reader_, plan_->settings,
                                                                       plan_->held, blocks, row))
                                  .count > 0;
                });
                if (lacking) {
                    throw lacking;  // the extraction reads it again and counts what it lacks
                }
            } catch (...) {
                // The extraction reads this time again and says what is wrong.
                ShrinkValues(rows_, at);
                return;
            }
            read_ = static_cast<Integer>(k + 1);
            if (plan_->onRow) {
                std::size_t found = 0;
                {
                    const std::lock_guard lock(mutex_);
                    found = times_.size();
                }
                if (!plan_->onRow(time, std::span<const Single>(rows_).subspan(at, width), found)) {
                    plan_->onRow = nullptr;
                }
            }
        }
    } catch (...) {
        // Out of memory: what was read stands.
    }
}

Integer EarlyReading::Take(std::string_view variable, int component, const std::vector<Long>& held,
                           SingleValues& rows) {
    Stop();
    if (variable != plan_->variable || component != plan_->component || held != plan_->held) {
        return 0;
    }
    rows = std::move(rows_);
    ShrinkValues(rows, static_cast<std::size_t>(read_) * held.size());
    return read_;
}

void ExtractStructuralValues(const Catalogue& c, const ExportRequest& request,
                             ExtractionResult& result, const std::atomic<bool>& stop,
                             ProgressSink& progress, MessageSink& messages, RowGate* rows,
                             ExtractionOptions* options) {
    ExtractionOptions defaults;
    result = ExtractionResult();
    Guarded(c, result, messages, [&] {
        ReadStructural(c, request, result, stop, progress, rows, options ? *options : defaults);
    });
}

void ExtractTemperatures(const Catalogue& c, const ExportRequest& request, ExtractionResult& result,
                         const std::atomic<bool>& stop, ProgressSink& progress,
                         MessageSink& messages, RowGate* rows, ExtractionOptions* options) {
    ExtractionOptions defaults;
    result = ExtractionResult();
    Guarded(c, result, messages, [&] {
        ReadTemperatures(c, request, result, stop, progress, rows, options ? *options : defaults);
    });
}

}  // namespace velto
