#include "extract/export/layout.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>

#include "common/atomicsave.h"
#include "common/checked.h"
#include "common/error.h"
#include "extract/export/excelfile.h"
#include "extract/export/timeselection.h"
#include "extract/reader/variables.h"

namespace velto {

namespace {

// Thrown when the user stops a save while the file is being written.
struct SaveAborted {};

constexpr std::string_view kWritingCaption = "Writing spreadsheet...";

// Passes the cells on to the writer, reporting progress as the rows go by and stopping the save
// when the user asks: a large sheet takes a while to write, and a stop must hold until the file
// takes the target's place.
class WatchedSheet final : public SheetWriter {
  public:
    WatchedSheet(SheetWriter& inner, const Catalogue& c, ProgressSink* progress, long rows)
        : inner_(inner), c_(c), progress_(progress), rows_(std::max(rows, 1L)) {}
    void Open(const std::string& path, long rows, long columns) override {
        inner_.Open(path, rows, columns);
    }
    void Text(long row, long col, std::string_view text) override {
        Reached(row);
        inner_.Text(row, col, text);
    }
    void Number(long row, long col, double value) override {
        Reached(row);
        inner_.Number(row, col, value);
    }
    void ListingSingle(long row, long col, float value) override {
        Reached(row);
        inner_.ListingSingle(row, col, value);
    }
    void Close() override { inner_.Close(); }

  private:
    void Reached(long row) {
        if (row == row_) {
            return;
        }
        row_ = row;
        if (progress_ != nullptr && (row % 64 == 0 || row == rows_)) {
            progress_->UpdateProgress(static_cast<Single>(row) / static_cast<Single>(rows_),
                                      kWritingCaption);
        }
        if (c_.AbortSave) {
            throw SaveAborted{};
        }
    }

    SheetWriter& inner_;
    const Catalogue& c_;
    ProgressSink* progress_;
    long rows_;
    long row_ = 0;
};

// Writes the sheet through an AtomicSave: false when the user stopped it (nothing written).
bool WriteReplacing(const Catalogue& c, const std::string& fileName, std::string_view variable,
                    std::string_view vectorName, TimeLayout layout, SheetFormat format,
                    ProgressSink* progress) {
    AtomicSave save(fileName);
    try {
        std::unique_ptr<SheetWriter> sheet = MakeSheetWriter(format);
        const SheetExtent extent = ExtentOf(c, layout);
        WatchedSheet watched(*sheet, c, progress, extent.rows);
        watched.Open(save.WritePath(), extent.rows, extent.columns);
        WriteSheetCells(c, variable, vectorName, layout, watched);
        watched.Close();
    } catch (const SaveAborted&) {
        return false;
    }
    // A stop that comes while the file is completed (an xlsx is zipped at the end) still holds:
    // a last progress report lets it reach us before the file takes the target's place.
    return save.Commit([&] {
        if (progress != nullptr) {
            progress->UpdateProgress(1, kWritingCaption);
        }
        return !c.AbortSave;
    });
}

}  // namespace

SheetExtent ExtentOf(const Catalogue& c, TimeLayout layout) {
    const long vectors = static_cast<long>(c.SelectedVectors.size());
    const long times = static_cast<long>(c.SelectedTimes.size());
    const long across = layout == TimeLayout::InRows ? vectors : times;
    const long down = layout == TimeLayout::InRows ? times : vectors;
    // The variable and vector rows use two columns whatever the table's width.
    return {down + 3, std::max(across + 1, 2L)};
}

std::string SheetLimitProblem(long long vectors, long long times, TimeLayout layout,
                              SheetFormat format) {
    const SheetLimits limits = LimitsOf(format);
    const long long across = layout == TimeLayout::InRows ? vectors : times;
    const long long down = layout == TimeLayout::InRows ? times : vectors;
    if (limits.columns > 0 && across > limits.columns - 1) {
        return "The maximum number of columns in Excel is " + std::to_string(limits.columns) +
               ". Cannot create file.";
    }
    if (limits.rows > 0 && down + 3 > limits.rows) {
        return "The maximum number of rows in Excel is " + std::to_string(limits.rows) +
               ". Cannot create file.";
    }
    return {};
}

std::string SheetLimitProblem(const Catalogue& c, TimeLayout layout, SheetFormat format) {
    return SheetLimitProblem(static_cast<long long>(c.SelectedVectors.size()),
                             static_cast<long long>(c.SelectedTimes.size()), layout, format);
}

void WriteSheetCells(const Catalogue& c, std::string_view variable, std::string_view vectorName,
                     TimeLayout layout, SheetWriter& sheet) {
    const VariableSpec* spec = FindVariable(variable);
    const std::string item = spec != nullptr ? std::string(spec->ItemWord) : std::string();
    const Long vectors = static_cast<Long>(c.SelectedVectors.size());
    const Integer times = CheckedNarrow<Integer>(static_cast<std::int64_t>(c.SelectedTimes.size()));
    auto label = [&](Long v) { return item + " " + std::to_string(v); };
    auto vector = [&](Long i) {
        if (i < 1 || static_cast<std::size_t>(i) > c.SelectedVectors.size()) {
            Raise(kSubscriptOutOfRange);
        }
        return c.SelectedVectors[static_cast<std::size_t>(i - 1)];
    };
    auto time = [&](Integer j) {
        if (j < 1 || static_cast<std::size_t>(j) > c.SelectedTimes.size()) {
            Raise(kSubscriptOutOfRange);
        }
        Integer record = c.SelectedTimes[static_cast<std::size_t>(j - 1)];
        if (record < 1 || static_cast<std::size_t>(record) > c.Times.size()) {
            Raise(kSubscriptOutOfRange);
        }
        return c.Times[static_cast<std::size_t>(record - 1)].Time;
    };

    sheet.Text(1, 1, "Variable");
    sheet.Text(1, 2, variable);
    sheet.Text(2, 1, "Vector");
    sheet.Text(2, 2, vectorName);
    if (layout == TimeLayout::InRows) {
        sheet.Text(3, 1, "Time");
        for (Long i = 1; i <= vectors; ++i) {
            sheet.Text(3, i + 1, label(vector(i)));
        }
        for (Integer j = 1; j <= times; ++j) {
            sheet.ListingSingle(j + 3, 1, time(j));
            for (Long i = 1; i <= vectors; ++i) {
                sheet.ListingSingle(j + 3, i + 1, c.ExtractedValues.At(vector(i), j));
            }
        }
    } else {
        sheet.Text(3, 1, item);
        for (Integer j = 1; j <= times; ++j) {
            sheet.ListingSingle(3, j + 1, time(j));
        }
        for (Long i = 1; i <= vectors; ++i) {
            sheet.Text(i + 3, 1, label(vector(i)));
            for (Integer j = 1; j <= times; ++j) {
                sheet.ListingSingle(i + 3, j + 1, c.ExtractedValues.At(vector(i), j));
            }
        }
    }
}

namespace {

// Runs of blanks folded, and the characters Excel refuses in a sheet name as "_".
std::string SheetWords(std::string_view text) {
    std::string words;
    for (const char ch : text) {
        if (ch == ' ' && (words.empty() || words.back() == ' ')) {
            continue;
        }
        words += std::string_view("[]:*?/\\").find(ch) == std::string_view::npos ? ch : '_';
    }
    while (!words.empty() && words.back() == ' ') {
        words.pop_back();
    }
    return words;
}

// A beam table's label in few characters: "Beam    10 (Point  2)" as "B10 P2".
std::string ShortTableLabel(const std::string& label) {
    unsigned beam = 0;
    unsigned point = 0;
    char end = 0;
    if (std::sscanf(label.c_str(), "Beam %u (Point %u%c", &beam, &point, &end) == 3 && end == ')') {
        return "B" + std::to_string(beam) + " P" + std::to_string(point);
    }
    return label;
}

}  // namespace

std::string WorkbookSheetName(std::string_view variable, std::string_view vector,
                              const std::vector<std::string>& taken) {
    // The vector tells the sheets of one variable apart: it is kept whole, and the variable's
    // name is cut to make room.
    const std::string tail = ShortTableLabel(SheetWords(vector));
    const std::string head = SheetWords(variable);
    constexpr std::size_t kLongest = 31;
    auto named = [&](const std::string& number) {
        const std::string ending = (tail.empty() ? "" : " " + tail) + number;
        std::string stem = head.substr(0, kLongest - std::min(ending.size(), kLongest));
        while (!stem.empty() && stem.back() == ' ') {
            stem.pop_back();
        }
        return (stem + ending).substr(0, kLongest);
    };
    // Excel tells sheet names apart without regard to case, as the lists find their entries.
    std::string candidate = named("");
    for (int n = 2; FindListString(taken, candidate) >= 0; ++n) {
        candidate = named(" (" + std::to_string(n) + ")");
    }
    return candidate;
}

bool WriteSpreadsheet(const Catalogue& c, const std::string& fileName, std::string_view variable,
                      std::string_view vectorName, TimeLayout layout, MessageSink& messages,
                      SheetFormat format, ProgressSink* progress) {
    const std::string problem = SheetLimitProblem(c, layout, format);
    if (!problem.empty()) {
        messages.ShowMessage(problem, MessageIcon::Critical, kExtractTitle);
        return false;
    }
    std::string text;
    try {
        return WriteReplacing(c, fileName, variable, vectorName, layout, format, progress);
    } catch (const RuntimeError& error) {
        text = SaveFailureText(error);
    } catch (const std::bad_alloc&) {
        text = ErrorDescription(kOutOfMemory);
    } catch (const std::exception&) {
        text = ErrorDescription(kInternalError);
    }
    messages.ShowMessage(text, MessageIcon::Critical, kExtractTitle);
    return false;
}

}  // namespace velto
