// velto-extract: the command-line twin of the VeltoExtract window.

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "common/atomicsave.h"
#include "common/hugeroom.h"

#include "extract/cli/exportcommand.h"
#include "extract/cli/followcommand.h"
#include "extract/cli/infocommand.h"

namespace {

constexpr const char* kUsage =
    "Usage: velto-extract info LISTING [--json]\n"
    "       velto-extract info --follow LISTING [--idle SECONDS]\n"
    "       velto-extract export LISTING -o FILE --variable NAME [--vector NAME]\n"
    "                    [--from N] [--to N] [--step N] [--times SPEC] [--columns]\n"
    "                    [--format xls|xlsx|csv] [PAGE]\n"
    "       velto-extract export LISTING -o BOOK.xlsx --all [--times SPEC] [--columns]\n"
    "                    [PAGE]\n"
    "       velto-extract plot LISTING -o CURVES.png|svg --variable NAME [--vector NAME]\n"
    "                    [--from N] [--to N] [--step N] [--times SPEC]\n"
    "       velto-extract compare LISTING... -o FILE --variable NAME [--vector NAME]\n"
    "                    --item N [--times SPEC] [PAGE]\n"
    "       velto-extract follow LISTING --variable NAME [--vector NAME]\n"
    "                    [--from N] [--to N] [--step N] [-o FILE.csv] [--idle SECONDS]\n"
    "\n"
    "  info LISTING     show what a Velto result listing (*.out) holds: model size,\n"
    "                   result tables, result times and the variables it offers\n"
    "    --json         print the listing's catalogue as one JSON object\n"
    "    --follow       follow a listing the solver is still writing: a line for each\n"
    "                   time as its results complete (\"Time 3: 180 s\"), until it ends\n"
    "                   as follow does\n"
    "\n"
    "  export LISTING   write one variable to a spreadsheet, as the window's Save does\n"
    "    -o FILE        the spreadsheet to write (replaced only once the new one is complete)\n"
    "    --variable     a variable the listing offers, e.g. \"Displacements\" (see info)\n"
    "    --vector       one of its vectors, e.g. DOF2 (default: the first)\n"
    "    --from, --to, --step\n"
    "                   the node, element or fibre range (default: 1, the last, 1)\n"
    "    --times SPEC   all (default), or record numbers and ranges: 1,4,10-12\n"
    "    --columns      times in columns (default: times in rows)\n"
    "    --format       xls (Excel 2.1 worksheet), xlsx (Excel workbook) or csv\n"
    "                   (default: by the extension of FILE, else xls)\n"
    "    --all          every variable and vector, each on a sheet of its own\n"
    "                   (\"Displacements DOF2\"), in one .xlsx workbook\n"
    "\n"
    "  plot LISTING     draw the same selection as curves against time (one per vector,\n"
    "                   the first 20), as PNG or SVG by the extension of CURVES\n"
    "\n"
    "  compare LISTING...\n"
    "                   one item's history in several listings (runs of one model):\n"
    "                   a table (.xlsx, .xls or .csv: \"Time\", then a column per listing)\n"
    "                   or a chart (.png or .svg: a curve per listing)\n"
    "    --item N       the node, element or fibre\n"
    "\n"
    "  follow LISTING   follow a listing the solver is still writing: the rows\n"
    "                   export --format csv writes, the heading lines first, then a row\n"
    "                   for each time as soon as its results are complete, those there\n"
    "                   already first; --variable, --vector, --from, --to, --step as\n"
    "                   for export. Ends when the analysis reaches the end time of its\n"
    "                   input file (NAME.in beside NAME.out), on Ctrl+C or SIGTERM\n"
    "                   (every row written is whole), or after --idle. A listing cut\n"
    "                   short, replaced or written over is said and followed again\n"
    "                   from its start (the heading lines and rows again).\n"
    "    -o FILE.csv    the rows go to this file, begun anew, instead of standard output\n"
    "    --idle SECONDS end once the listing has not changed for this long\n"
    "\n"
    "  PAGE             how an .xls or .xlsx sheet is printed and guarded (not for .csv):\n"
    "    --header TEXT, --footer TEXT\n"
    "                   the page header and footer, at most 255 characters; Excel's\n"
    "                   codes apply (&P the page number, &D the date, && an ampersand)\n"
    "    --column-width N\n"
    "                   every column of the table N characters wide (1 to 127 in .xls,\n"
    "                   to 255 in .xlsx)\n"
    "    --margins L,R,T,B\n"
    "                   the page margins in inches, with a point: 0.5,0.5,0.75,0.75\n"
    "    --gridlines    print the grid lines\n"
    "    --protect      protect the sheet: its cells cannot be changed until the\n"
    "                   protection is lifted (LibreOffice ignores it in an .xls)\n"
    "    --password TEXT\n"
    "                   .xlsx only: protect it with this password (1 to 15 printable\n"
    "                   ASCII characters); the file keeps Excel's 16-bit hash of it,\n"
    "                   which guards against mistakes, not against anyone who wants in\n"
    "\n"
    "Exit status: 0 when the work was done (a warning, such as values missing from the\n"
    "listing's lines, may still be printed), 1 when an error was shown or the export\n"
    "was refused (messages go to standard error), 2 for a usage error. Ctrl+C stops\n"
    "an export; nothing is written then. It ends a follow with status 0, the rows\n"
    "written so far kept whole. After --, every word is a name, also one that starts\n"
    "with a dash.\n";

int UsageError(const std::string& why) {
    std::fprintf(stderr, "velto-extract: %s\n\n%s", why.c_str(), kUsage);
    return 2;
}

// Walks the words after the command: options that take a value ("--to 9" or "--to=9"), flags,
// and the other words, in order. Returns a usage error's text, or an empty one.
using Valued = std::map<std::string, std::function<void(const std::string&)>>;

// Where an option's value goes.
std::function<void(const std::string&)> Into(std::string& text) {
    return [&text](const std::string& value) { text = value; };
}

// Adds the page options of export and compare to the options a command takes.
void AddPageOptions(Valued& valued, std::map<std::string, bool*>& flags, velto::PageOptions& page) {
    auto into = [](std::optional<std::string>& text) {
        return [&text](const std::string& value) { text = value; };
    };
    valued.emplace("--header", into(page.header));
    valued.emplace("--footer", into(page.footer));
    valued.emplace("--column-width", into(page.columnWidth));
    valued.emplace("--margins", into(page.margins));
    valued.emplace("--password", into(page.password));
    flags.emplace("--gridlines", &page.gridLines);
    flags.emplace("--protect", &page.protect);
}

std::string WalkOptions(const std::vector<std::string>& args, const Valued& valued,
                        const std::map<std::string, bool*>& flags,
                        std::vector<std::string>& words) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--") {
            // Every word after it is a name, also one that starts with a dash.
            words.insert(words.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                         args.end());
            return {};
        }
        std::string arg = args[i];
        std::string value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            inlineValue = true;
        }
        if (const auto option = valued.find(arg); option != valued.end()) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    return "option '" + arg + "' needs a value";
                }
                value = args[++i];
            }
            option->second(value);
        } else if (const auto flag = flags.find(arg); flag != flags.end() && !inlineValue) {
            *flag->second = true;
        } else if (arg.rfind("-", 0) == 0 && arg != "-") {
            return "unknown option '" + args[i] + "'";
        } else {
            words.push_back(arg);
        }
    }
    return {};
}

// The options that choose what an export reads, shared by export, plot and follow.
void AddSelectionOptions(Valued& valued, velto::ExportOptions& o) {
    valued.emplace("-o", Into(o.output));
    valued.emplace("--output", Into(o.output));
    valued.emplace("--variable", Into(o.variable));
    valued.emplace("--vector", Into(o.vector));
    valued.emplace("--from", Into(o.from));
    valued.emplace("--to", Into(o.to));
    valued.emplace("--step", Into(o.step));
}

// Reads --idle's value when given; a usage error's text, or an empty one.
std::string ReadIdle(const std::optional<std::string>& text, std::optional<double>& seconds) {
    if (text) {
        seconds = velto::ParseIdleSeconds(*text);
        if (!seconds) {
            return "--idle takes a number of seconds above 0, with a point for decimals, not '" +
                   *text + "'";
        }
    }
    return {};
}

int Info(const std::vector<std::string>& args) {
    bool json = false;
    bool follow = false;
    std::optional<std::string> idle;
    std::vector<std::string> words;
    if (const std::string problem =
            WalkOptions(args, {{"--idle", [&](const std::string& value) { idle = value; }}},
                        {{"--json", &json}, {"--follow", &follow}}, words);
        !problem.empty()) {
        return UsageError(problem);
    }
    if (follow && json) {
        return UsageError("--follow prints a line for each time, not JSON");
    }
    if (idle && !follow) {
        return UsageError("--idle is for --follow");
    }
    std::optional<double> idleSeconds;
    if (const std::string problem = ReadIdle(idle, idleSeconds); !problem.empty()) {
        return UsageError(problem);
    }
    if (words.size() > 1) {
        return UsageError("more than one listing given");
    }
    // An empty word names no file: a script's variable that was never set.
    if (words.empty() || words.front().empty()) {
        return UsageError("no listing given");
    }
    if (follow) {
        return velto::RunInfoFollow(words.front(), idleSeconds, stdout, stderr);
    }
    return velto::RunInfo(words.front(), json, stdout, stderr);
}

int Follow(const std::vector<std::string>& args) {
    velto::FollowCommandOptions o;
    std::optional<std::string> idle;
    std::vector<std::string> words;
    Valued valued{{"--idle", [&](const std::string& value) { idle = value; }}};
    AddSelectionOptions(valued, o.selection);
    if (const std::string problem = WalkOptions(args, valued, {}, words); !problem.empty()) {
        return UsageError(problem);
    }
    if (words.size() > 1) {
        return UsageError("more than one listing given");
    }
    if (words.empty() || words.front().empty()) {
        return UsageError("no listing given");
    }
    o.selection.listing = words.front();
    if (o.selection.variable.empty()) {
        return UsageError("no variable given (--variable NAME)");
    }
    if (!o.selection.output.empty() &&
        velto::FormatOfExtension(o.selection.output) != velto::SheetFormat::Csv) {
        return UsageError("follow writes CSV rows: the output must end in .csv");
    }
    if (const std::string problem = ReadIdle(idle, o.idleSeconds); !problem.empty()) {
        return UsageError(problem);
    }
    return velto::RunFollow(o, stdout, stderr);
}

int Export(const std::vector<std::string>& args, bool plot = false) {
    velto::ExportOptions o;
    o.plot = plot;
    std::optional<std::string> format;
    std::vector<std::string> words;
    Valued valued{{"--times", Into(o.times)},
                  {"--format", [&](const std::string& value) { format = value; }}};
    AddSelectionOptions(valued, o);
    std::map<std::string, bool*> flags{{"--columns", &o.columns}, {"--all", &o.all}};
    velto::PageOptions page;
    AddPageOptions(valued, flags, page);
    const std::string problem = WalkOptions(args, valued, flags, words);
    if (!problem.empty()) {
        return UsageError(problem);
    }
    if (words.size() > 1) {
        return UsageError("more than one listing given");
    }
    if (format) {
        o.format = velto::ParseSheetFormat(*format);
        if (!o.format) {
            return UsageError("--format takes xls, xlsx or csv, not '" + *format + "'");
        }
    }
    if (words.empty() || words.front().empty()) {
        return UsageError("no listing given");
    }
    o.listing = words.front();
    if (o.output.empty()) {
        return UsageError("no output file given (-o FILE)");
    }
    if (o.all && (plot || !o.variable.empty() || !o.vector.empty() || !o.from.empty() ||
                  !o.to.empty() || !o.step.empty())) {
        return UsageError(plot ? "--all is for export"
                               : "--all exports every variable and item: --variable, --vector, "
                                 "--from, --to and --step do not go with it");
    }
    if (o.all && o.format.value_or(velto::FormatOfExtension(o.output).value_or(
                     velto::SheetFormat::Xls)) != velto::SheetFormat::Xlsx) {
        return UsageError("--all writes a workbook of sheets: the output must be .xlsx");
    }
    if (o.variable.empty() && !o.all) {
        return UsageError("no variable given (--variable NAME)");
    }
    // A plot draws a chart; --all writes a workbook whatever the format says.
    std::optional<velto::SheetFormat> sheet;
    if (!plot) {
        sheet = o.all ? velto::SheetFormat::Xlsx
                      : o.format.value_or(
                            velto::FormatOfExtension(o.output).value_or(velto::SheetFormat::Xls));
    }
    if (const std::string why = velto::ReadPageOptions(page, sheet, o.page); !why.empty()) {
        return UsageError(why);
    }
    std::vector<int> indices;
    if (!velto::ParseTimes(o.times, 0, indices)) {
        return UsageError("--times takes 'all' or numbers and ranges like 1,4,10-12");
    }
    return velto::RunExport(o, stdout, stderr);
}

int Compare(const std::vector<std::string>& args) {
    velto::CompareOptions o;
    Valued valued{{"-o", Into(o.output)},           {"--output", Into(o.output)},
                  {"--variable", Into(o.variable)}, {"--vector", Into(o.vector)},
                  {"--item", Into(o.item)},         {"--times", Into(o.times)}};
    std::map<std::string, bool*> flags;
    velto::PageOptions page;
    AddPageOptions(valued, flags, page);
    const std::string problem = WalkOptions(args, valued, flags, o.listings);
    if (!problem.empty()) {
        return UsageError(problem);
    }
    if (o.listings.empty() ||
        std::find(o.listings.begin(), o.listings.end(), "") != o.listings.end()) {
        return UsageError("no listing given");
    }
    if (o.output.empty()) {
        return UsageError("no output file given (-o FILE)");
    }
    if (!velto::ComparableOutput(o.output)) {
        return UsageError("the output must end in .xlsx, .xls, .csv, .png or .svg");
    }
    if (o.variable.empty()) {
        return UsageError("no variable given (--variable NAME)");
    }
    if (o.item.empty()) {
        return UsageError("no item given (--item N)");
    }
    // A table in the format of its extension; a chart (.png, .svg) has none.
    if (const std::string why =
            velto::ReadPageOptions(page, velto::FormatOfExtension(o.output), o.page);
        !why.empty()) {
        return UsageError(why);
    }
    if (o.item.find_first_not_of("0123456789") != std::string::npos) {
        return UsageError("--item takes a node, element or fibre number, not '" + o.item + "'");
    }
    std::vector<int> indices;
    if (!velto::ParseTimes(o.times, 0, indices)) {
        return UsageError("--times takes 'all' or numbers and ranges like 1,4,10-12");
    }
    return velto::RunCompare(o, stdout, stderr);
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) {
        return UsageError("no command given");
    }
    if (args[0] == "--help" || args[0] == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args[0] == "--version") {
        std::printf("velto-extract %s\n", VELTO_VERSION);
        return 0;
    }
    // "velto-extract compare --help" asks for the help, not for a listing named so.
    if (std::find(args.begin() + 1, args.end(), "--help") != args.end()) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args[0] == "info") {
        return Info(args);
    }
    if (args[0] == "export") {
        return Export(args);
    }
    if (args[0] == "plot") {
        return Export(args, true);
    }
    if (args[0] == "compare") {
        return Compare(args);
    }
    if (args[0] == "follow") {
        return Follow(args);
    }
    return UsageError("unknown command '" + args[0] + "'");
}

}  // namespace

int main(int argc, char** argv) {
    // Killed, hung up on or interrupted mid-save, we leave no half-written file behind.
    velto::RemoveSavesInProgressOnTermination();
    velto::ShareOneHeapUnderAMemoryCap();
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "velto-extract: out of memory\n");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "velto-extract: %s\n", error.what());
    }
    return 1;
}
