// velto-extract: the command-line twin of the VeltoExtract window.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "extract/cli/infocommand.h"

namespace {

constexpr const char* kUsage =
    "Usage: velto-extract info LISTING [--json]\n"
    "\n"
    "  info LISTING     show what a Velto result listing (*.out) holds: model size,\n"
    "                   result tables, result times and the variables it offers\n"
    "  --json           print the listing's catalogue as one JSON object\n"
    "\n"
    "Exit status: 0 when the listing was read without a message, 1 when a message\n"
    "was shown (messages go to standard error), 2 for a usage error.\n";

int UsageError(const std::string& why) {
    std::fprintf(stderr, "velto-extract: %s\n\n%s", why.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
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
    if (args[0] != "info") {
        return UsageError("unknown command '" + args[0] + "'");
    }
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
