#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/harness/harness.h"
#include "tools/listinggen.h"

namespace velto {
namespace {

using test::CommandRun;
using test::Extract;

// The text of a JSON member's value, up to the next comma or closing bracket.
std::string Member(const std::string& json, const std::string& key, std::size_t from = 0) {
    std::size_t at = json.find("\"" + key + "\":", from);
    if (at == std::string::npos) {
        return "<missing>";
    }
    at += key.size() + 3;
    return json.substr(at, json.find_first_of(",}]", at) - at);
}

class ExtractInfo : public ::testing::Test {
  protected:
    std::string Listing(const ListingSpec& spec, const std::string& name = "run.out") {
        std::string path = dir.File(name);
        WriteListingFile(spec, path);
        return path;
    }
    test::ScratchDir dir;
};

TEST_F(ExtractInfo, JsonHoldsTheCatalogueAndNothingGoesToStandardError) {
    // Times 0.1, 0.2, 0.3: none of them exact in binary.
    std::string path = Listing({.ndim = 3,
                                .nodes = 50000,
                                .beams = 2,
                                .beamPoints = 2,
                                .stressTables = 1,
                                .timeStep = 0.1});
    CommandRun run = Extract(dir, "info '" + path + "' --json");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    const std::string& j = run.out;
    ASSERT_EQ(j.back(), '\n');
    EXPECT_EQ(j.front(), '{');
    EXPECT_EQ(Member(j, "ListingFile"), "\"" + path + "\"");
    EXPECT_EQ(Member(j, "NodeCount"), "50000");
    EXPECT_EQ(Member(j, "TimeCount"), "3");
    EXPECT_EQ(Member(j, "StressTables"), "[\"Beam     1 (Point  1)\"");
    // Every printed time reads back as the Single the scan stored.
    std::size_t from = 0;
    for (int t = 1; t <= 3; ++t) {
        from = j.find("\"Time\":", from) + 1;
        std::string text = Member(j, "Time", from - 1);
        float value = 0;
        std::from_chars(text.data(), text.data() + text.size(), value);
        EXPECT_EQ(value, static_cast<float>(0.1 * t)) << text;
    }
    // The node range is the full count, not narrowed to 16 bits.
    std::size_t displacements = j.find("{\"Name\":\"Displacements\"");
    ASSERT_NE(displacements, std::string::npos);
    EXPECT_EQ(Member(j, "Limit", displacements), "50000");
    std::size_t eigen = j.find("{\"Name\":\"Eigen Values\"");
    EXPECT_EQ(Member(j, "Limit", eigen), "null");
}

TEST_F(ExtractInfo, MessagesGoToStandardErrorWithExitStatusOne) {
    CommandRun run = Extract(dir, "info '" + Listing({.kind = ListingKind::Torsion}) + "' --json");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Cannot read but temperature files\n");
    EXPECT_EQ(Member(run.out, "AnalysisKind"), "3");
    EXPECT_NE(run.out.find("\"Variables\":[]}"), std::string::npos) << run.out;

    // A damaged count is said, and nothing is offered from it; the summary shows no count.
    std::string bytes = test::ReadBytes(Listing({.nodes = 30, .beams = 2}));
    bytes.replace(bytes.find("THERE ARE       30 NODES"), 24, "THERE ARE       -5 NODES");
    test::WriteBytes(dir.File("damaged.out"), bytes);
    run = Extract(dir, "info '" + dir.File("damaged.out") + "'");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "Read File Error 5: Invalid procedure call or argument: the listing "
              "declares -5 nodes\n");
    EXPECT_TRUE(test::Says(run.out, {"Nodes:     -\n", "Times:     0\n"})) << run.out;
    // The first line names the file, whose temporary folder may hold any digits.
    EXPECT_EQ(run.out.find("-5", run.out.find('\n')), std::string::npos) << run.out;
    // A file that is not a listing: no line of the summary has anything to show.
    test::WriteBytes(dir.File("passwd"), "root:x:0:0:root:/root:/bin/bash\n");
    run = Extract(dir, "info '" + dir.File("passwd") + "'");
    EXPECT_TRUE(test::Says(run.out, {"Version:   -\n", "Analysis:  -\n", "Problem:   -\n"}));
}

// A file of the kernel's own is a regular file to stat but no listing, and reading some of them
// waits for the kernel (/proc/kmsg for its next message): refused at once, never waited on. A
// name longer than the system takes says so.
TEST_F(ExtractInfo, KernelFilesAndOverlongNamesAreRefusedAtOnce) {
    auto refused = [](const std::string& name) {
        return "Read File Error 75: Path/File access error (" + name +
               " is a file of the kernel's own)\n";
    };
    CommandRun run = Extract(dir, "info /proc/self/status", "timeout 60");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, refused("/proc/self/status"));
    // A part longer than a file system's names, and a whole longer than any path.
    std::string deep;
    while (deep.size() <= PATH_MAX) {
        deep += "/d";
    }
    for (const std::string& command :
         {"info '" + dir.File(std::string(300, 'n') + ".out") + "'", "info '" + deep + "'",
          "export '" + deep + "' -o '" + dir.File("x.csv") + "' --variable Temperature"}) {
        run = Extract(dir, command);
        EXPECT_EQ(run.status, 1) << command.substr(0, 40);
        EXPECT_EQ(run.err, "Read File Error 75: Path/File access error (the name is too long)\n")
            << command.substr(0, 40);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("x.csv")));
    const int kmsg = ::open("/proc/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (kmsg < 0) {
        GTEST_SKIP() << "/proc/kmsg cannot be read here (" << std::strerror(errno)
                     << "): only root reads it";
    }
    ::close(kmsg);
    run = Extract(dir, "info /proc/kmsg", "timeout 60");
    EXPECT_EQ(run.status, 1) << "124: still waiting after a minute";
    EXPECT_EQ(run.err, refused("/proc/kmsg"));
}

// The human summary shows the panel's lines (their values are SummaryLines'), the times and the
// variables. A listing's name reaches the terminal as its characters, never as control sequences:
// an accented name reads as it is, an escape sequence in a name is shown escaped, and the JSON
// holds the name as UTF-8 whatever its bytes.
TEST_F(ExtractInfo, HumanSummaryAndFileNamesReachTheTerminalAsText) {
    const std::string hostile =
        Listing({.kind = ListingKind::Thermal, .nodes = 30, .solids = 20, .times = 5},
                "b\xC3\xA9ton \x1b]0;owned\x07\xff.out");
    CommandRun run = Extract(dir, "info '" + hostile + "'");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(test::Says(
        run.out, {"b\xC3\xA9ton \\x1b]0;owned\\x07\\xff.out\n", "Nodes:     30\n", "Beams:     -\n",
                  "Times:     5 (60 .. 300)\n", "  Temperature (Nodes 1..30)\n"}));
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    run = Extract(dir, "info --json '" + hostile + "'");
    EXPECT_NE(run.out.find("b\xC3\xA9ton \\u001b]0;owned\\u0007\xC3\xBF.out\""), std::string::npos)
        << run.out;
    // After --, a name that starts with a dash is a name.
    Listing({.kind = ListingKind::Thermal, .nodes = 3, .times = 2}, "-lead.out");
    const std::string in = "cd '" + dir.path().string() + "' && ";
    run = Extract(dir, "info -- -lead.out", in);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(test::Says(run.out, {"File:      -lead.out\n"})) << run.out;
    run = Extract(dir, "export -o x.csv --variable Temperature -- -lead.out", in);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(dir.File("x.csv")));
}

// Every command's usage errors: exit status 2 and the usage text, nothing on standard output,
// nothing written.
TEST_F(ExtractInfo, UsageErrorsExitWithTwo) {
    const std::string listing = "'" + Listing({.times = 2}) + "' ";
    const std::string out = "-o '" + dir.File("x.xls") + "' ";
    for (const std::string& args : std::vector<std::string>{
             "",
             "info",
             "info --bogus x.out",
             "frobnicate x.out",
             "info a b",
             "export " + listing + "--variable Displacements",
             "export " + listing + out,
             "export " + listing + out + "--variable",
             "export " + listing + out + "--variable Displacements --times 2-1",
             "export " + listing + out + "--variable Displacements --times a",
             "export " + listing + out + "--variable Displacements --colour",
             "export " + listing + out + "--variable Displacements --format xl",
             "export " + listing + out + "--all",
             "export " + listing + "--all -o x.xlsx --from 2",
             "export " + listing + "--all -o x.xlsx --variable Displacements",
             "compare " + listing + "-o t.txt --variable Temperature --item 1",
             "compare " + listing + "-o t.csv --variable Temperature --item 1x",
             "compare " + listing + "-o t.csv --variable Temperature",
             "compare " + listing + "-o t.csv --item 1",
         }) {
        CommandRun run = Extract(dir, args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_NE(run.err.find("Usage: velto-extract"), std::string::npos) << args;
        EXPECT_EQ(run.out, "") << args;
    }
    // An empty word for the listing (a script's variable never set) names none.
    for (const std::string& args : std::vector<std::string>{
             "info ''",
             "export '' " + out + "--variable Displacements",
             "plot '' -o x.svg --variable Displacements",
             "compare " + listing + "'' -o t.csv --variable Temperature --item 1",
         }) {
        CommandRun run = Extract(dir, args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_TRUE(run.err.starts_with("velto-extract: no listing given\n\nUsage:")) << run.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("x.xls")));
    CommandRun run =
        Extract(dir, "export " + listing + out + "--variable Displacements --format ods");
    EXPECT_NE(run.err.find("--format takes xls, xlsx or csv, not 'ods'"), std::string::npos)
        << run.err;
}

}  // namespace
}  // namespace velto
