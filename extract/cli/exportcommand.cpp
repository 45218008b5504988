#include "extract/cli/exportcommand.h"

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "common/atomicsave.h"
#include "common/encoding.h"
#include "common/text.h"
#include "extract/cli/drawing.h"
#include "extract/cli/infocommand.h"
#include "extract/cli/terminal.h"
#include "extract/export/comparison.h"
#include "extract/export/curves.h"
#include "extract/export/earlysheet.h"
#include "extract/export/layout.h"
#include "extract/export/savecommand.h"
#include "extract/export/selection.h"
#include "extract/export/sheetwriter.h"
#include "extract/export/timeselection.h"
#include "extract/export/variablecatalogue.h"
#include "extract/session/extractsession.h"
#include "extract/session/history.h"

namespace velto {

namespace {

volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) {
    interrupted = 1;
}

// Ctrl+C during an export is the command line's way of quitting during a save: the extraction
// stops at its next time and no file is written. The check rides on the progress reports, which
// the extraction makes once per time.
class InterruptibleProgress final : public ProgressSink {
  public:
    explicit InterruptibleProgress(ProgressSink& inner) : inner_(inner) {}
    void UpdateProgress(Single fraction, std::string_view caption) override {
        inner_.UpdateProgress(fraction, caption);
        if (interrupted && session) {
            session->Abort();
        }
    }
    ExtractSession* session = nullptr;

  private:
    ProgressSink& inner_;
};

// A session driven from the terminal: progress and messages on standard error, Ctrl+C its stop.
struct TerminalSession {
    explicit TerminalSession(std::FILE* err)
        : terminal(err), messages(err, &terminal), progress(terminal), session(progress, messages) {
        progress.session = &session;
    }
    // False when the listing could not be read: its message has been shown, and nothing more
    // need be said of it.
    bool Open(const std::string& listing) {
        const int shown = messages.count();
        session.Open(listing);
        terminal.Clear();
        return messages.count() == shown;
    }
    TerminalProgress terminal;
    TerminalMessages messages;
    InterruptibleProgress progress;
    ExtractSession session;
};

// Ctrl+C stops the command rather than the program while it reads; whatever handled it before
// (removing a save in progress on the way out) takes over again afterwards, flags and all.
class InterruptScope {
  public:
    InterruptScope() {
        interrupted = 0;
        struct sigaction stop {};
        stop.sa_handler = OnInterrupt;
        sigemptyset(&stop.sa_mask);
        ::sigaction(SIGINT, &stop, &previous_);
    }
    ~InterruptScope() { ::sigaction(SIGINT, &previous_, nullptr); }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

  private:
    struct sigaction previous_ {};
};

// Raised when Ctrl+C comes while a workbook is written: nothing of it is kept.
struct Interrupted {};

// A workbook writer that Ctrl+C stops between cells: a large sheet takes long to write.
class InterruptibleSheet final : public SheetWriter {
  public:
    explicit InterruptibleSheet(SheetWriter& inner) : inner_(inner) {}
    void Open(const std::string& path, long rows, long columns) override {
        inner_.Open(path, rows, columns);
    }
    void StartSheet(std::string_view name) override {
        Check();
        inner_.StartSheet(name);
    }
    void PageSettings(const PageSetup& page, long columns) override {
        inner_.PageSettings(page, columns);
    }
    void Text(long row, long col, std::string_view text) override {
        Check();
        inner_.Text(row, col, text);
    }
    void Number(long row, long col, double value) override {
        Check();
        inner_.Number(row, col, value);
    }
    void ListingSingle(long row, long col, float value) override {
        Check();
        inner_.ListingSingle(row, col, value);
    }
    void Close() override {
        Check();
        inner_.Close();
    }
    static void Check() {
        if (interrupted) {
            throw Interrupted{};
        }
    }

  private:
    SheetWriter& inner_;
};

std::string LowerExtension(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return extension;
}

// Draws curves into a PNG or SVG file (by the extension of `output`), through the drawing
// module.
bool DrawCurveSet(const CurveSet& curves, const std::string& output, std::FILE* err) {
    std::string problem;
    const DrawCurvesEntry draw = LoadDrawing(problem);
    if (draw == nullptr) {
        std::fprintf(err, "velto-extract: cannot draw: %s\n", TerminalSafe(problem).c_str());
        return false;
    }
    std::string image;
    bool written = draw(curves, LowerExtension(output) == ".svg", image);
    if (written) {
        try {
            SaveBytesAtomically(output, image);
        } catch (const RuntimeError& error) {
            std::fprintf(err, "%s\n", SaveFailureLine(output, error).c_str());
            return false;
        }
    }
    if (!written) {
        std::fprintf(err, "velto-extract: cannot write %s\n", TerminalSafe(output).c_str());
        return false;
    }
    return true;
}

// Draws the curves of the session's last extraction.
bool DrawCurves(const ExtractSession& session, const SaveRequest& request,
                const std::string& output, std::FILE* out, std::FILE* err) {
    const CurveSet curves = CurvesOfExtraction(session.catalogue(), session.extractedRequest(),
                                               session.extraction(), request.vectorName);
    if (!DrawCurveSet(curves, output, err)) {
        return false;
    }
    std::fprintf(out, "%s: %zu %s of %s%s%s at %d times\n", TerminalSafe(output).c_str(),
                 curves.curves.size(), curves.curves.size() == 1 ? "curve" : "curves",
                 Cp1252ToUtf8(request.variable).c_str(), request.vectorName.empty() ? "" : " ",
                 Cp1252ToUtf8(request.vectorName).c_str(),
                 static_cast<int>(session.extractedRequest().Times.size()));
    if (curves.omitted > 0) {
        std::fprintf(out, "(the first %d %s are drawn; %d more are left out)\n", kMaxCurves,
                     curves.curvesAre.c_str(), curves.omitted);
    }
    return true;
}

// The format a file of the export is written in.
SheetFormat FormatOf(const ExportOptions& o) {
    return o.format.value_or(FormatOfExtension(o.output).value_or(SheetFormat::Xls));
}

// The export of every time, in order, asked for before its listing is read: its values can be
// read while the scan finds the times, and its .xls sheet begun into `sheet` as they are read,
// when it is one written so. None for a request the export itself will refuse.
std::optional<EarlyRequest> EarlyRequestOf(const ExportOptions& o, const Catalogue& c,
                                           std::shared_ptr<EarlySheet>& sheet) {
    if (o.times != "all") {
        return std::nullopt;
    }
    const std::vector<OfferedVariable> offered = OfferedVariables(c);
    const NamedChoice choice = ChooseByName(offered, o.variable, o.vector);
    if (!choice.problem.empty()) {
        return std::nullopt;
    }
    const OfferedVariable& variable = offered[static_cast<std::size_t>(choice.variable)];
    const auto [from, to, step] = RangeOf(o, variable);
    const std::optional<long long> count = VectorCount(variable.Name, from, to, step);
    if (!SelectionProblem(offered, variable.Name, from, to, step, 1).empty() ||
        !RangeProblem(variable.Name, from, to, step).empty() || !count || *count > c.Scanned.size) {
        return std::nullopt;
    }
    EarlyRequest early{variable.Name, choice.vector,
                       BuildVectorList(variable.Name, from, to, step).vectors, !o.columns};
    if (!o.plot) {
        SaveRequest request;
        request.fileName = o.output;
        request.variable = variable.Name;
        if (static_cast<std::size_t>(choice.vector) < variable.Vectors.size()) {
            request.vectorName = variable.Vectors[static_cast<std::size_t>(choice.vector)];
        }
        request.component = choice.vector;
        request.layout = o.columns ? TimeLayout::InColumns : TimeLayout::InRows;
        request.format = FormatOf(o);
        request.page = o.page;
        sheet = EarlySheet::Start(request, early);
    }
    return early;
}

// Something the user should know that does not stop the command (a listing that repeats times).
void Note(std::FILE* err, const std::string& what) {
    std::fprintf(err, "velto-extract: note: %s\n", TerminalSafe(Cp1252ToUtf8(what)).c_str());
}

// Values the file holds as 0 because the listing's lines lack them: said once, after the file.
void WarnOfMissingValues(std::FILE* err, const ExtractSession& session,
                         const std::string& prefix = "") {
    if (const std::string note = MissingValuesNote(session.catalogue(), session.extractedRequest(),
                                                   session.extraction());
        !note.empty()) {
        std::fprintf(err, "velto-extract: warning: %s%s\n",
                     TerminalSafe(Cp1252ToUtf8(prefix)).c_str(),
                     TerminalSafe(Cp1252ToUtf8(note)).c_str());
    }
}

int Refuse(std::FILE* err, const std::string& why, const char* command) {
    std::fprintf(err, "velto-extract: cannot %s: %s\n", command,
                 TerminalSafe(Cp1252ToUtf8(why)).c_str());
    return 1;
}

}  // namespace

RangeTexts RangeOf(const ExportOptions& o, const OfferedVariable& variable) {
    return {o.from.empty() ? "1" : o.from,
            o.to.empty() ? std::to_string(variable.Limit.value_or(1)) : o.to,
            o.step.empty() ? "1" : o.step};
}

int RunExport(const ExportOptions& o, std::FILE* out, std::FILE* err) {
    if (o.all) {
        return RunExportAll(o, out, err);
    }
    auto refuse = [&](const std::string& why) {
        return Refuse(err, why, o.plot ? "plot" : "export");
    };
    TerminalSession run(err);
    // Kept beyond the session: the scan's reading writes into it until the session takes it.
    std::shared_ptr<EarlySheet> sheet;
    run.session.ExportAfterOpen(
        [&o, &sheet](const Catalogue& c) { return EarlyRequestOf(o, c, sheet); });
    if (!run.Open(o.listing)) {
        return 1;
    }
    TerminalProgress& terminal = run.terminal;
    TerminalMessages& messages = run.messages;
    ExtractSession& session = run.session;
    if (const std::string note = session.RepeatedTimesNote(); !note.empty()) {
        Note(err, note);
    }

    if (const std::string problem = session.ChooseNamed(o.variable, o.vector); !problem.empty()) {
        return refuse(problem);
    }
    const OfferedVariable& variable = *session.variable();

    const int timeCount = static_cast<int>(session.times().available().size());
    std::vector<int> indices;
    int beyond = 0;
    ParseTimes(o.times, timeCount, indices, &beyond);
    if (beyond != 0) {
        return refuse(NoSuchTimeProblem(timeCount, beyond));
    }
    session.AddTimes(indices);
    const RangeTexts range = RangeOf(o, variable);
    session.SetRangeText(0, range.from);
    session.SetRangeText(1, range.to);
    session.SetRangeText(2, range.step);
    session.SetLayout(o.columns ? TimeLayout::InColumns : TimeLayout::InRows);
    session.SetPageSetup(o.page);
    const SheetFormat format = FormatOf(o);
    if (const std::string problem = session.RequestProblem(); !problem.empty()) {
        return refuse(problem);
    }
    const SaveRequest request = session.CurrentRequest();

    // Ctrl+C is held until the command has said what it did: a file already in the target's
    // place must not go unreported. Drawing is stopped as any program is.
    std::optional<InterruptScope> scope(std::in_place);
    const SaveResult result =
        o.plot ? session.Chart() : session.Save(o.output, format, nullptr, sheet.get());
    if (o.plot) {
        scope.reset();
    }
    terminal.Clear();
    const int shown = messages.count();
    const ExportRequest& read = session.extractedRequest();

    if (o.plot) {
        if (result.outcome == SaveOutcome::Aborted) {
            std::fprintf(err, "velto-extract: plot interrupted; nothing was written\n");
            return 1;
        }
        if (result.outcome != SaveOutcome::Extracted) {
            return refuse(result.problem.empty() ? "nothing to draw" : result.problem);
        }
        const bool drawn = DrawCurves(session, request, o.output, out, err);
        WarnOfMissingValues(err, session);
        return drawn && shown == 0 ? 0 : 1;
    }
    switch (result.outcome) {
        case SaveOutcome::Written:
            std::fprintf(
                out, "%s: %s%s%s, %s x %s\n", TerminalSafe(o.output).c_str(),
                Cp1252ToUtf8(request.variable).c_str(), request.vectorName.empty() ? "" : " ",
                Cp1252ToUtf8(request.vectorName).c_str(),
                CountOfItems(request.variable, static_cast<long>(read.Items.size())).c_str(),
                (std::to_string(read.Times.size()) + (read.Times.size() == 1 ? " time" : " times"))
                    .c_str());
            // Out before Ctrl+C is let go again: a Ctrl+C that ends the program then cannot take
            // the line that says the file is in place with it.
            std::fflush(out);
            WarnOfMissingValues(err, session);
            return shown == 0 ? 0 : 1;
        case SaveOutcome::Aborted:
            std::fprintf(err, "velto-extract: export interrupted; nothing was written\n");
            return 1;
        case SaveOutcome::NotWritten:
        case SaveOutcome::Extracted:
            if (!result.problem.empty()) {
                return refuse(result.problem);
            }
            return 1;
    }
    return 1;
}

int RunExportAll(const ExportOptions& o, std::FILE* out, std::FILE* err) {
    TerminalSession run(err);
    if (!run.Open(o.listing)) {
        return 1;
    }
    TerminalProgress& terminal = run.terminal;
    TerminalMessages& messages = run.messages;
    ExtractSession& session = run.session;
    if (messages.count() != 0 || !session.Recognised()) {
        return Refuse(err, "it is not a listing that can be read", "export");
    }
    if (session.variables().empty()) {
        return Refuse(err, "the listing holds no values to export", "export");
    }
    if (const std::string note = session.RepeatedTimesNote(); !note.empty()) {
        Note(err, note);
    }
    const int timeCount = static_cast<int>(session.times().available().size());
    std::vector<int> indices;
    int beyond = 0;
    ParseTimes(o.times, timeCount, indices, &beyond);
    if (beyond != 0) {
        return Refuse(err, NoSuchTimeProblem(timeCount, beyond), "export");
    }
    const TimeLayout layout = o.columns ? TimeLayout::InColumns : TimeLayout::InRows;

    const InterruptScope scope;
    int written = 0;
    int left = 0;
    try {
        AtomicSave save(o.output);
        std::unique_ptr<SheetWriter> workbook = MakeSheetWriter(SheetFormat::Xlsx);
        InterruptibleSheet interruptible(*workbook);
        SheetWriter* book = &interruptible;
        book->Open(save.WritePath(), 0, 0);
        std::vector<std::string> names;
        for (int v = 0; v < static_cast<int>(session.variables().size()); ++v) {
            const OfferedVariable offered = session.variables()[static_cast<std::size_t>(v)];
            const int vectors = std::max<int>(static_cast<int>(offered.Vectors.size()), 1);
            for (int k = 0; k < vectors; ++k) {
                const std::string vector =
                    offered.Vectors.empty() ? std::string() : offered.Vectors[k];
                const std::string name = WorkbookSheetName(offered.Name, vector, names);
                names.push_back(name);
                auto leaveOut = [&](const std::string& why) {
                    std::fprintf(err, "velto-extract: sheet \"%s\" left out: %s\n",
                                 TerminalSafe(Cp1252ToUtf8(name)).c_str(),
                                 TerminalSafe(Cp1252ToUtf8(why)).c_str());
                    ++left;
                };
                session.ChooseVariable(v);
                if (!offered.Vectors.empty()) {
                    session.ChooseVector(k);
                }
                session.ClearTimes();
                session.AddTimes(indices);
                session.SetRangeText(0, "1");
                session.SetRangeText(1, std::to_string(offered.Limit.value_or(1)));
                session.SetRangeText(2, "1");
                session.SetLayout(layout);
                std::string problem = session.RequestProblem();
                if (problem.empty()) {
                    problem = SheetLimitProblem(offered.Limit.value_or(1),
                                                static_cast<long long>(indices.size()), layout,
                                                SheetFormat::Xlsx);
                }
                if (!problem.empty()) {
                    leaveOut(problem);
                    continue;
                }
                const int shown = messages.count();
                const SaveResult result = session.Chart();
                terminal.Clear();
                if (result.outcome == SaveOutcome::Aborted) {
                    std::fprintf(err, "velto-extract: export interrupted; nothing was written\n");
                    return 1;
                }
                if (result.outcome != SaveOutcome::Extracted) {
                    leaveOut(!result.problem.empty()     ? result.problem
                             : messages.count() != shown ? "its values could not be read"
                                                         : "nothing to write");
                    continue;
                }
                book->StartSheet(name);
                book->PageSettings(o.page, ExtentOf(session.extractedRequest(), layout).columns);
                WriteSheetCells(session.catalogue(), session.extractedRequest(),
                                session.extraction(), vector, layout, *book);
                WarnOfMissingValues(err, session, "sheet \"" + name + "\": ");
                ++written;
            }
        }
        if (written == 0) {
            // Every sheet left out: the workbook that was there stays rather than an empty one.
            std::fprintf(err,
                         "velto-extract: cannot export: no sheet could be written; %s is "
                         "left as it was\n",
                         TerminalSafe(o.output).c_str());
            return 1;
        }
        book->Close();
        // A stop that comes while the workbook is zipped or put on the disk still holds.
        if (!save.Commit([] { return interrupted == 0; })) {
            throw Interrupted{};
        }
    } catch (const Interrupted&) {
        std::fprintf(err, "velto-extract: export interrupted; nothing was written\n");
        return 1;
    } catch (const RuntimeError& error) {
        std::fprintf(err, "%s\n", SaveFailureLine(o.output, error).c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(err, "%s\n",
                     SaveFailureLine(o.output, RuntimeError(UnexpectedErrorNumber(error))).c_str());
        return 1;
    }
    std::fprintf(out, "%s: %d %s at %zu times%s\n", TerminalSafe(o.output).c_str(), written,
                 written == 1 ? "sheet" : "sheets", indices.size(),
                 left > 0 ? (", " + std::to_string(left) + " left out").c_str() : "");
    return left == 0 && messages.count() == 0 ? 0 : 1;
}

std::string ReadPageOptions(const PageOptions& o, std::optional<SheetFormat> format,
                            PageSetup& page) {
    page = PageSetup{};
    if (!o.Given()) {
        return {};
    }
    if (!format) {
        return "--header, --footer, --column-width, --margins, --gridlines, --protect and "
               "--password are for spreadsheets, not for charts";
    }
    const struct {
        const std::optional<std::string>& given;
        std::optional<std::string>& text;
        const char* option;
    } texts[] = {{o.header, page.header, "--header"}, {o.footer, page.footer, "--footer"}};
    for (const auto& t : texts) {
        if (t.given) {
            t.text = TextToCp1252(*t.given);
            if (!t.text) {
                return std::string(t.option) +
                       " holds a character that the sheets' texts (Windows-1252) do not have";
            }
        }
    }
    if (o.columnWidth) {
        page.columnWidth = ParseColumnWidth(*o.columnWidth);
        if (!page.columnWidth) {
            return "--column-width takes a whole number of characters, like 12, not '" +
                   *o.columnWidth + "'";
        }
    }
    if (o.margins) {
        page.margins = ParseMargins(*o.margins);
        if (!page.margins) {
            return "--margins takes four numbers of inches, left,right,top,bottom, with a point "
                   "for decimals (0.5,0.5,0.75,0.75), not '" +
                   *o.margins + "'";
        }
    }
    page.gridLines = o.gridLines;
    page.protect = o.protect || o.password.has_value();
    if (o.password) {
        // Taken as typed: the rule for passwords allows plain ASCII only.
        page.password = *o.password;
        if (page.password.empty()) {
            return "--password needs a text; --protect alone protects without one";
        }
    }
    return PageSetupProblem(page, *format);
}

bool ComparableOutput(const std::string& output) {
    const std::string extension = LowerExtension(output);
    return extension == ".png" || extension == ".svg" || FormatOfExtension(output).has_value();
}

int RunCompare(const CompareOptions& o, std::FILE* out, std::FILE* err) {
    TerminalProgress terminal(err);
    TerminalMessages messages(err, &terminal);
    InterruptibleProgress progress(terminal);
    std::vector<ListingHistory> histories;
    ComparisonTable table;
    // The table or chart never takes a listing's place, whichever of them it is named like.
    std::vector<SaveProtection> protections(o.listings.size());
    for (std::size_t i = 0; i < o.listings.size(); ++i) {
        protections[i].Protect(o.listings[i]);
    }
    for (const std::string& listing : o.listings) {
        // Every listing is read before anything is written: one that cannot give the history
        // refuses the whole comparison, naming itself.
        HistoryReading reading;
        {
            const InterruptScope scope;
            reading = ReadHistory(listing, o.variable, o.vector, o.item, std::nullopt, progress,
                                  messages, [&](ExtractSession* s) { progress.session = s; });
        }
        terminal.Clear();
        if (reading.aborted) {
            std::fprintf(err, "velto-extract: compare interrupted; nothing was written\n");
            return 1;
        }
        if (!reading.problem.empty()) {
            return Refuse(err, FileNameToCp1252(listing) + ": " + reading.problem, "compare");
        }
        if (!reading.note.empty()) {
            Note(err, FileNameToCp1252(listing) + ": " + reading.note);
        }
        if (!reading.missing.empty()) {
            std::fprintf(err, "velto-extract: warning: %s: %s\n", TerminalSafe(listing).c_str(),
                         TerminalSafe(Cp1252ToUtf8(reading.missing)).c_str());
        }
        if (table.title.empty()) {
            table.title = reading.title;
            table.unit = reading.unit;
        }
        histories.push_back(std::move(reading.history));
    }
    const std::string title = std::move(table.title);
    const std::string unit = std::move(table.unit);
    table = CompareHistories(histories);
    table.title = title;
    table.unit = unit;
    // The times are chosen among every listing's, by value: one number is one moment of the fire
    // in every run, whatever its time step.
    if (const std::string problem = ChooseComparisonTimes(table, o.times); !problem.empty()) {
        return Refuse(err, problem, "compare");
    }

    const bool chart = !FormatOfExtension(o.output).has_value();
    if (chart) {
        const CurveSet curves = CurvesOfComparison(table);
        if (!DrawCurveSet(curves, o.output, err)) {
            return 1;
        }
        if (curves.omitted > 0) {
            std::fprintf(out, "(the first %d listings are drawn; %d more are left out)\n",
                         kMaxCurves, curves.omitted);
        }
    } else if (!WriteComparison(table, o.output, *FormatOfExtension(o.output), messages, o.page)) {
        return 1;
    }
    std::fprintf(out, "%s: %s from %zu listings at %zu times\n", TerminalSafe(o.output).c_str(),
                 Cp1252ToUtf8(title).c_str(), histories.size(), table.times.size());
    return messages.count() == 0 ? 0 : 1;
}

}  // namespace velto
