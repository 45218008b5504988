// velto-extract: the command-line twin of the VeltoExtract window.

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "common/atomicsave.h"

#include "extract/cli/exportcommand.h"
#include "extract/cli/infocommand.h"

namespace {

constexpr const char* kUsage =
    "Usage: velto-extract info LISTING [--json]\n"
    "       velto-extract export LISTING -o FILE --variable NAME [--vector NAME]\n"
    "                    [--from N] [--to N] [--step N] [--times SPEC] [--columns]\n"
    "                    [--format xls|xlsx|csv]\n"
    "       velto-extract plot LISTING -o CURVES.png|svg --variable NAME [--vector NAME]\n"
    "                    [--from N] [--to N] [--step N] [--times SPEC]\n"
    "\n"
    "  info LISTING     show what a Velto result listing (*.out) holds: model size,\n"
    "                   result tables, result times and the variables it offers\n"
    "    --json         print the listing's catalogue as one JSON object\n"
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
    "\n"
    "  plot LISTING     draw the same selection as curves against time (one per vector,\n"
    "                   the first 20), as PNG or SVG by the extension of CURVES\n"
    "\n"
    "Exit status: 0 when the work was done without a message, 1 when a message was\n"
    "shown or the export was refused (messages go to standard error), 2 for a usage\n"
    "error. Ctrl+C stops an export; nothing is written then.\n";

int UsageError(const std::string& why) {
    std::fprintf(stderr, "velto-extract: %s\n\n%s", why.c_str(), kUsage);
    return 2;
}

int Info(const std::vector<std::string>& args) {
    bool json = false;
    std::string listing;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--json") {
            json = true;
        } else if (args[i].rfind("-", 0) == 0 && args[i] != "-") {
            return UsageError("unknown option '" + args[i] + "'");
        } else if (listing.empty()) {
            listing = args[i];
        } else {
            return UsageError("more than one listing given");
        }
    }
    if (listing.empty()) {
        return UsageError("no listing given");
    }
    return velto::RunInfo(listing, json, stdout, stderr);
}

int Export(const std::vector<std::string>& args, bool plot = false) {
    velto::ExportOptions o;
    o.plot = plot;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            inlineValue = true;
        }
        auto take = [&](std::string& into) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    return false;
                }
                value = args[++i];
            }
            into = value;
            return true;
        };
        bool ok = true;
        if (arg == "-o" || arg == "--output") {
            ok = take(o.output);
        } else if (arg == "--variable") {
            ok = take(o.variable);
        } else if (arg == "--vector") {
            ok = take(o.vector);
        } else if (arg == "--from") {
            ok = take(o.from);
        } else if (arg == "--to") {
            ok = take(o.to);
        } else if (arg == "--step") {
            ok = take(o.step);
        } else if (arg == "--times") {
            ok = take(o.times);
        } else if (arg == "--format") {
            std::string name;
            ok = take(name);
            if (ok) {
                o.format = velto::ParseSheetFormat(name);
                if (!o.format) {
                    return UsageError("--format takes xls, xlsx or csv, not '" + name + "'");
                }
            }
        } else if (arg == "--columns" && !inlineValue) {
            o.columns = true;
        } else if (arg.rfind("-", 0) == 0 && arg != "-") {
            return UsageError("unknown option '" + args[i] + "'");
        } else if (o.listing.empty()) {
            o.listing = arg;
        } else {
            return UsageError("more than one listing given");
        }
        if (!ok) {
            return UsageError("option '" + arg + "' needs a value");
        }
    }
    if (o.listing.empty()) {
        return UsageError("no listing given");
    }
    if (o.output.empty()) {
        return UsageError("no output file given (-o FILE)");
    }
    if (o.variable.empty()) {
        return UsageError("no variable given (--variable NAME)");
    }
    std::vector<int> indices;
    if (!velto::ParseTimes(o.times, 0, indices)) {
        return UsageError("--times takes 'all' or numbers and ranges like 1,4,10-12");
    }
    return velto::RunExport(o, stdout, stderr);
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
    if (args[0] == "info") {
        return Info(args);
    }
    if (args[0] == "export") {
        return Export(args);
    }
    if (args[0] == "plot") {
        return Export(args, true);
    }
    return UsageError("unknown command '" + args[0] + "'");
}

}  // namespace

int main(int argc, char** argv) {
    // Killed, hung up on or interrupted mid-save, we leave no half-written file behind.
    velto::RemoveSavesInProgressOnTermination();
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "velto-extract: out of memory\n");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "velto-extract: %s\n", error.what());
    }
    return 1;
}
