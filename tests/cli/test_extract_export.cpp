#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "common/atomicsave.h"
#include "extract/cli/exportcommand.h"
#include "tests/harness/harness.h"
#include "tools/listinggen.h"

namespace velto {
namespace {

using test::CommandRun;
using test::Extract;

class ExtractExport : public ::testing::Test {
  protected:
    void SetUp() override {
        UseListing("frame.out", {.nodes = 30, .beams = 6, .stressTables = 3, .times = 6});
    }
    CommandRun Export(const std::string& options) {
        return Extract(dir, "export '" + listing + "' " + options);
    }
    bool Exists(const std::string& name) const { return std::filesystem::exists(dir.File(name)); }
    // Replaces the listing by one of this shape.
    void UseListing(const std::string& name, const ListingSpec& spec) {
        listing = dir.File(name);
        WriteListingFile(spec, listing);
    }

    test::ScratchDir dir;
    std::string listing;
};

TEST_F(ExtractExport, SelectionsTheWindowWouldRefuseAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"--variable Temperature", "does not offer \"Temperature\""},
        {"--variable Displacements --vector DOF4", "\"Displacements\" has no vector \"DOF4\""},
        {"--variable 'Truss Axial Force'", "(it offers: Displacements, Eigen Values, Beam"},
        // The range rules are the session's; here only that the defaults fill what is not given
        // (a time beyond the listing is refused in DamagedListingsAndHugeRequestsWriteNothing).
        {"--variable Displacements --from 0", "From must lie in 1..30 (Nodes)"},
    };
    for (const auto& [options, reason] : cases) {
        CommandRun run = Export("-o '" + dir.File("refused.xls") + "' " + options);
        EXPECT_EQ(run.status, 1) << options;
        EXPECT_EQ(run.err.rfind("velto-extract: cannot export: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(reason), std::string::npos) << options << "\n" << run.err;
        EXPECT_FALSE(Exists("refused.xls")) << options;
    }
}

// The drawing is a module of its own that only `plot` loads: reading and exporting start
// without Qt and its GUI libraries. A display that is set but gone (a stale ssh -X session) is
// no concern of a file.
TEST_F(ExtractExport, OnlyPlotLoadsQtAndDrawsHeadless) {
    const std::string libraries = "LD_DEBUG=libs";
    for (const std::string& command :
         {"info '" + listing + "'",
          "export '" + listing + "' -o '" + dir.File("d.csv") + "' --variable Displacements"}) {
        CommandRun run = Extract(dir, command, libraries);
        EXPECT_EQ(run.status, 0) << command << "\n" << run.err;
        EXPECT_NE(run.err.find("libstdc++"), std::string::npos) << "no loader trace";
        EXPECT_EQ(run.err.find("libQt6"), std::string::npos) << command;
    }
    CommandRun run = Extract(dir,
                             "plot '" + listing + "' -o '" + dir.File("curves.svg") +
                                 "' --variable Displacements --vector DOF2 --times 2-5",
                             libraries + " DISPLAY=:99 WAYLAND_DISPLAY=wayland-9");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("libQt6Charts"), std::string::npos);
    EXPECT_NE(run.out.find("20 curves of Displacements DOF2 at 4 times"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("(the first 20 nodes are drawn; 10 more are left out)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(test::ReadBytes(dir.File("curves.svg")).find("Node 20"), std::string::npos);
    run = Extract(dir, "plot '" + listing + "' -o '" + dir.File("curves.png") +
                           "' --variable 'Eigen Values'");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(test::ReadBytes(dir.File("curves.png")).substr(1, 3), "PNG");
}

// A comparison reads every listing first: one that cannot give the history refuses it, naming
// itself and why, and the file at the target stays.
TEST_F(ExtractExport, CompareRefusesBeforeAnythingIsWritten) {
    const std::string frame = listing;
    UseListing("small.out", {.nodes = 12, .times = 2});
    test::WriteBytes(dir.File("t.csv"), "earlier");
    const std::pair<const char*, const char*> cases[] = {
        {"--variable Displacements --item 20", "small.out: the item must lie in 1..12 (Nodes)"},
        {"--variable 'Beam Stresses' --item 3", "small.out: the listing does not offer"},
    };
    for (const auto& [options, reason] : cases) {
        const CommandRun run = Extract(dir, "compare '" + frame + "' '" + listing + "' -o '" +
                                                dir.File("t.csv") + "' " + options);
        EXPECT_EQ(run.status, 1) << options;
        EXPECT_NE(run.err.find("cannot compare: " + dir.File(reason)), std::string::npos)
            << run.err;
        EXPECT_EQ(test::ReadBytes(dir.File("t.csv")), "earlier");
    }
    // The times count the rows of the table, every time either listing holds: 6 here.
    const CommandRun beyond =
        Extract(dir, "compare '" + frame + "' '" + listing + "' -o '" + dir.File("t.csv") +
                         "' --variable Displacements --item 3 --times 4,7");
    EXPECT_EQ(beyond.status, 1);
    EXPECT_NE(beyond.err.find("cannot compare: the comparison has 6 times; there is no time 7"),
              std::string::npos)
        << beyond.err;
    EXPECT_EQ(test::ReadBytes(dir.File("t.csv")), "earlier");
    // A listing named like a table is never the table's target, first or not.
    std::filesystem::copy_file(listing, dir.File("run.csv"));
    const CommandRun overwrite =
        Extract(dir, "compare '" + dir.File("run.csv") + "' '" + frame + "' -o '" +
                         dir.File("run.csv") + "' --variable Displacements --item 1");
    EXPECT_EQ(overwrite.status, 1);
    EXPECT_NE(overwrite.err.find("is the listing the values are read from"), std::string::npos)
        << overwrite.err;
    EXPECT_EQ(test::ReadBytes(dir.File("run.csv")), test::ReadBytes(listing));
}

// The rows of a CSV sheet below its first `skip` rows, each split at its commas.
std::vector<std::vector<std::string>> CsvRows(const std::string& path, std::size_t skip) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream text(test::ReadBytes(path));
    std::string line;
    for (std::size_t n = 0; std::getline(text, line); ++n) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (n >= skip) {
            std::vector<std::string> cells;
            std::istringstream fields(line);
            for (std::string cell; std::getline(fields, cell, ',');) {
                cells.push_back(cell);
            }
            if (!line.empty() && line.back() == ',') {
                cells.emplace_back();
            }
            rows.push_back(std::move(cells));
        }
    }
    return rows;
}

// A time is a moment of the fire. Two runs with other time steps are compared at the same
// seconds, in the order of time however --times names them. The generator's values follow the
// time (up to their last printed digit), so each row's cells agree; a time one run lacks is an
// empty cell.
TEST_F(ExtractExport, RunsAreComparedAtTheSameSeconds) {
    UseListing("fine.out", {.nodes = 8, .times = 6, .timeStep = 60});
    const std::string fine = listing;
    UseListing("coarse.out", {.nodes = 8, .times = 3, .timeStep = 120});
    const std::string table = dir.File("node5.csv");
    CommandRun run = Extract(dir, "compare '" + fine + "' '" + listing + "' -o '" + table +
                                      "' --variable Displacements --vector DOF2 --item 5"
                                      " --times 6,1,4,2");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = CsvRows(table, 1);
    ASSERT_EQ(rows.size(), 4u);
    const std::vector<std::string> seconds = {"60", "120", "240", "360"};
    for (std::size_t r = 0; r < rows.size(); ++r) {
        ASSERT_EQ(rows[r].size(), 3u) << r;
        EXPECT_EQ(rows[r][0], seconds[r]);
        ASSERT_FALSE(rows[r][1].empty());
        if (r == 0) {
            EXPECT_EQ(rows[r][2], "");
        } else {
            ASSERT_FALSE(rows[r][2].empty());
            // Read by the C rules: the test program may run in a decimal-comma locale.
            double a = 0, b = 0;
            std::from_chars(rows[r][1].data(), rows[r][1].data() + rows[r][1].size(), a);
            std::from_chars(rows[r][2].data(), rows[r][2].data() + rows[r][2].size(), b);
            ASSERT_NE(a, 0);
            EXPECT_NEAR(a, b, 1e-4 * std::abs(a)) << seconds[r];
        }
    }
}

// A listing that gives a time twice (an analysis restarted from it) offers it once, read from
// the block written last, in the summary, the export and the comparison alike, and says so.
TEST_F(ExtractExport, ARepeatedTimeIsReadFromItsLastBlock) {
    UseListing("plain.out", {.nodes = 8, .times = 3, .timeStep = 60});
    const std::string plain = listing;
    std::string bytes = test::ReadBytes(plain);
    const std::string last = "TIME =     180.0000 SEC.";
    ASSERT_NE(bytes.find(last), std::string::npos);
    bytes.replace(bytes.find(last), last.size(), "TIME =      60.0000 SEC.");
    listing = dir.File("restarted.out");
    test::WriteBytes(listing, bytes);
    const std::string note =
        "velto-extract: note: The listing gives the time 60 s more than once: the result "
        "written last for it is used";

    CommandRun run = Extract(dir, "info '" + listing + "'");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Times:     2 (60 .. 120), 1 of them given by more than one block\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.err.rfind(note, 0), 0u) << run.err;

    for (const auto& [path, name] : {std::pair{plain, "plain.csv"}, {listing, "restarted.csv"}}) {
        run = Extract(dir, "export '" + path + "' -o '" + dir.File(name) +
                               "' --variable Displacements --vector DOF2");
        EXPECT_EQ(run.status, 0) << run.err;
    }
    EXPECT_EQ(run.err.rfind(note, 0), 0u) << run.err;
    const auto plainRows = CsvRows(dir.File("plain.csv"), 3);
    const auto rows = CsvRows(dir.File("restarted.csv"), 3);
    ASSERT_EQ(plainRows.size(), 3u);
    ASSERT_EQ(rows.size(), 2u);
    // 60 s holds what the last block holds (written for 180 s in the plain listing).
    EXPECT_EQ(rows[0][0], "60");
    EXPECT_EQ(std::vector(rows[0].begin() + 1, rows[0].end()),
              std::vector(plainRows[2].begin() + 1, plainRows[2].end()));
    EXPECT_EQ(rows[1], plainRows[1]);

    run = Extract(dir, "compare '" + listing + "' -o '" + dir.File("c.csv") +
                           "' --variable Displacements --vector DOF2 --item 4");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("restarted.out: The listing gives the time 60 s"), std::string::npos)
        << run.err;
    const auto compared = CsvRows(dir.File("c.csv"), 1);
    ASSERT_EQ(compared.size(), 2u);
    EXPECT_EQ(compared[0][1], rows[0][4]);
}

// A damaged table is refused with the line that shows it, and nothing is written; values that
// a short line lacks stand as 0, and the command says so once.
TEST_F(ExtractExport, DamagedTablesAreRefusedAndMissingValuesSaid) {
    UseListing("plain.out", {.nodes = 8, .times = 3});
    std::string bytes = test::ReadBytes(listing);
    // Node 3's line at 120 s, the second time.
    const std::size_t second = bytes.find("  TIME =     120.0000");
    const std::size_t node3 = bytes.find("\n      3 ", second) + 1;
    const std::size_t end = bytes.find('\n', node3);
    std::string shortened = bytes;
    shortened.erase(node3 + 20, end - node3 - 20);  // node 3, DOF1 only
    test::WriteBytes(dir.File("short.out"), shortened);
    std::string deleted = bytes;
    deleted.erase(node3, end - node3 + 1);
    test::WriteBytes(dir.File("deleted.out"), deleted);
    test::WriteBytes(dir.File("d.csv"), "earlier");

    CommandRun run =
        Extract(dir, "export '" + dir.File("short.out") + "' -o '" + dir.File("s.csv") +
                         "' --variable Displacements --vector DOF2");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err,
              "velto-extract: warning: 1 value is missing from the listing's lines and "
              "stands as 0; the first is Node 3 at 120 s.\n");
    run = Extract(dir, "export '" + dir.File("deleted.out") + "' -o '" + dir.File("d.csv") +
                           "' --variable Displacements --vector DOF2");
    EXPECT_EQ(run.status, 1);
    const std::size_t line = static_cast<std::size_t>(
        std::count(deleted.begin(), deleted.begin() + static_cast<std::ptrdiff_t>(node3), '\n') +
        1);
    EXPECT_NE(run.err.find("deleted.out, line " + std::to_string(line) +
                           " (Displacements at 120 s): \"4\" stands where Node 3 belongs"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(test::ReadBytes(dir.File("d.csv")), "earlier");
}

// A workbook of every variable leaves out, by name, a sheet the format cannot hold, and still
// writes the others; --all goes only with the options that do not choose a variable.
TEST_F(ExtractExport, WorkbookOfEveryVariableNamesWhatItLeavesOut) {
    // Not one sheet fits: the workbook already there stays.
    WriteListingFile({.kind = ListingKind::Thermal, .nodes = 16400, .solids = 1, .times = 1},
                     dir.File("hot.out"));
    test::WriteBytes(dir.File("all.xlsx"), "earlier");
    CommandRun run = Extract(
        dir, "export '" + dir.File("hot.out") + "' -o '" + dir.File("all.xlsx") + "' --all");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no sheet could be written"), std::string::npos) << run.err;
    EXPECT_EQ(test::ReadBytes(dir.File("all.xlsx")), "earlier");

    UseListing("wide.out", {.nodes = 16400, .times = 1});
    run = Export("-o '" + dir.File("all.xlsx") + "' --all");
    EXPECT_EQ(run.status, 1);
    std::string leftOut;
    for (const char* vector : {"DOF1", "DOF2", "DOF3"}) {
        leftOut += "velto-extract: sheet \"Displacements " + std::string(vector) +
                   "\" left out: The maximum number of columns in Excel is 16384. Cannot "
                   "create file.\n";
    }
    EXPECT_EQ(run.err, leftOut);
    EXPECT_NE(run.out.find("1 sheet at 1 times, 3 left out"), std::string::npos) << run.out;
    EXPECT_NE(test::ReadBytes(dir.File("all.xlsx")), "earlier");
}

// A damaged listing's counts and a hostile --times text must not make the export claim memory:
// each is refused before anything of its size is held, within a memory cap far below it. A value
// that cannot be read fails the export too: a sheet would show zeros for every value after it as
// if the listing held them. The file already at the target stays as it was.
TEST_F(ExtractExport, DamagedListingsAndHugeRequestsWriteNothing) {
    std::string bytes = test::ReadBytes(listing);
    const std::size_t second = bytes.find("  TIME =", bytes.find("  TIME =") + 1);
    test::WriteBytes(dir.File("cut.out"), bytes.substr(0, bytes.find('\n', second) + 1));
    const std::string nodes = "THERE ARE       30 NODES";
    ASSERT_NE(bytes.find(nodes), std::string::npos);
    bytes.replace(bytes.find(nodes), nodes.size(), "THERE ARE 2147483647 NODES");
    test::WriteBytes(dir.File("damaged.out"), bytes);
    std::string times;
    for (int i = 0; i < 12000; ++i) {
        times += (i ? "," : "") + std::string("1-1000000");
    }
#if defined(__SANITIZE_ADDRESS__)
    const std::string cap;  // the sanitizer's shadow memory does not fit under a cap
#else
    const std::string cap = "ulimit -v 1500000; ";
#endif
    const struct {
        std::string listing, target, options, err, limit = "";
    } cases[] = {
        {"cut.out", "x.csv", "",
         "62: Input past end of file in cut.out (Displacements at 120 s): the time holds no such "
         "table\n"},
        // A listing that cannot be read is said once, not refused again for what it lacks.
        {"missing.out", "x.csv", "",
         "Read File Error 53: File not found (" + dir.File("missing.out") + ")\n"},
        {"damaged.out", "x.csv", "", "62: Input past end of file\n"},
        {"damaged.out", "x.xls", "",
         "The maximum number of columns in Excel is 256. Cannot create file.\n"},
        {"frame.out", "x.xls", " --times " + times,
         "velto-extract: cannot export: the listing has 6 times; there is no time 7\n"},
        // A file-size limit fails the write as a full disk does, rather than killing the save.
        {"frame.out", "x.csv", "",
         "velto-extract: cannot write " + dir.File("x.csv") +
             ": the file would exceed the file-size limit\n",
         "ulimit -f 1; "},
    };
    test::WriteBytes(dir.File("x.csv"), "earlier");
    for (const auto& k : cases) {
        const CommandRun run =
            Extract(dir,
                    "export '" + dir.File(k.listing) + "' -o '" + dir.File(k.target) +
                        "' --variable Displacements" + k.options,
                    cap + k.limit);
        EXPECT_EQ(run.status, 1) << k.listing << k.options.substr(0, 40);
        EXPECT_EQ(run.err, k.err);
    }
    // The workbook library packs a sheet it could write only in part, cut at the limit, as if
    // whole: the save fails alike.
    WriteListingFile({.kind = ListingKind::Thermal, .nodes = 4000, .solids = 1, .times = 2},
                     dir.File("wide.out"));
    const CommandRun cut = Extract(dir,
                                   "export '" + dir.File("wide.out") + "' -o '" +
                                       dir.File("x.xlsx") + "' --variable Temperature",
                                   "ulimit -f 100; ");
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.err, "velto-extract: cannot write " + dir.File("x.xlsx") +
                           ": the file would exceed the file-size limit\n");
    EXPECT_EQ(test::ReadBytes(dir.File("x.csv")), "earlier");
    EXPECT_FALSE(Exists("x.xls"));
    EXPECT_FALSE(Exists("x.xlsx"));
    EXPECT_EQ(test::Entries(dir.path()).size(), 7u);  // no save's private folder left behind
}

// Ctrl+C while the file is written stops the export with nothing written; SIGTERM and SIGHUP end
// it as they would, but take its unfinished file along. The export runs in a child process,
// which sends itself the signal at the last moment: the file is whole in its private folder and
// about to take the target's place.
int signalAtCommit = 0;

void RaiseAtCommit(const char* step, const std::string&) {
    if (std::string_view(step) == "written") {
        ::raise(signalAtCommit);
    }
}

TEST_F(ExtractExport, SignalsWhileWritingLeaveNothingBehind) {
    std::filesystem::create_directory(dir.File("out"));
    for (const auto& [signal, all] : {std::pair{SIGINT, false}, std::pair{SIGINT, true},
                                      std::pair{SIGTERM, false}, std::pair{SIGHUP, true}}) {
        ExportOptions o;
        o.listing = listing;
        o.output = dir.File("out/values.xlsx");
        o.variable = all ? "" : "Displacements";
        o.all = all;
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            signalAtCommit = signal;
            SetSaveStepHookForTesting(RaiseAtCommit);
            RemoveSavesInProgressOnTermination();
            std::FILE* err = std::fopen(dir.File("err.txt").c_str(), "w");
            std::FILE* out = std::fopen("/dev/null", "w");
            const int status = RunExport(o, out, err);
            std::fclose(err);
            ::_exit(status);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (signal == SIGINT) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
            EXPECT_EQ(test::ReadBytes(dir.File("err.txt")),
                      "velto-extract: export interrupted; nothing was written\n");
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        }
        EXPECT_TRUE(std::filesystem::is_empty(dir.File("out"))) << "after signal " << signal;
    }
}

// Every failed save on the command line names the program, the file and why, in the same words
// for export (a sheet or --all) and compare (a table or a chart): a folder in the way, a name too
// long, a full disk, the file-size limit, a file of another user in a sticky folder. Never the
// workbook library's own lines nor the path the file was written through, and nothing is left
// behind.
TEST_F(ExtractExport, EveryFailedSaveSaysWhichFileAndWhy) {
    // Runs long enough that their table is more than the file-size limit of a block lets by.
    const std::string run1 = dir.File("run1.out");
    const std::string run2 = dir.File("run2.out");
    WriteListingFile({.nodes = 4, .times = 60}, run1);
    WriteListingFile({.nodes = 4, .times = 60}, run2);
    const struct {
        const char* ext;
        std::string options;
    } commands[] = {
        {".xlsx", "export '" + listing + "' --variable Displacements -o "},
        {".csv", "export '" + listing + "' --variable Displacements --format csv -o "},
        {".xlsx", "export '" + listing + "' --all -o "},
        {".xls", "compare '" + run1 + "' '" + run2 + "' --variable Displacements --item 3 -o "},
        {".png", "compare '" + run1 + "' '" + run2 + "' --variable Displacements --item 3 -o "},
    };
    const bool root = ::geteuid() == 0;
    const test::SmallDisk disk(dir.File("disk"));
    if (disk.problem().empty()) {
        ASSERT_TRUE(test::SmallDisk::Fill(dir.File("disk/filler")));
    }
    std::filesystem::create_directory(dir.File("share"));
    ::chmod(dir.File("share").c_str(), 01777);
    ::chmod(dir.path().c_str(), 0755);
    const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    for (const auto& [ext, options] : commands) {
        const std::string box = dir.File(std::string("box") + ext);
        std::filesystem::create_directory(box);
        const std::string theirs = dir.File(std::string("share/theirs") + ext);
        test::WriteBytes(theirs, "their file");
        ::chmod(theirs.c_str(), 0666);
        const struct {
            std::string target, cause, environment = "";
        } cases[] = {
            {box, "it is a folder"},
            {dir.File(std::string(NAME_MAX + 1 - std::strlen(ext), 'n') + ext),
             "the name is too long"},
            {dir.File(std::string("limited") + ext), "the file would exceed the file-size limit",
             "ulimit -f 1; "},
            {dir.File(std::string("disk/full") + ext), "no space left on the device"},
            {theirs, "it belongs to another user, and in this folder only its owner may replace it",
             asNobody},
        };
        for (const auto& k : cases) {
            if (!root && (k.environment == asNobody || !disk.problem().empty())) {
                continue;  // only root makes a file of another user's, or mounts a small disk
            }
            const CommandRun run = Extract(dir, options + "'" + k.target + "'", k.environment);
            EXPECT_EQ(run.status, 1) << options << k.target;
            EXPECT_EQ(run.err, "velto-extract: cannot write " + k.target + ": " + k.cause + "\n")
                << options;
            EXPECT_EQ(run.out, "");
        }
        EXPECT_TRUE(std::filesystem::is_empty(box));
        EXPECT_EQ(test::ReadBytes(theirs), "their file");
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().string().find(".saving-"), std::string::npos) << entry.path();
    }
    if (disk.problem().empty()) {
        EXPECT_EQ(test::Entries(dir.File("disk")), std::vector<std::string>{"filler"});
    }
}

// An xlsx export under a memory cap (ulimit -v) that leaves too little room for the workbook
// library ends with "Out of memory" and exit status 1, never in a crash inside the library, and
// leaves the previous file as it was and nothing beside it. Caps a few megabytes apart are
// tried up to the first the export fits under.
TEST_F(ExtractExport, UnderAMemoryCapAnXlsxExportEndsOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under a cap";
#endif
    const std::string target = dir.File("capped.xlsx");
    test::WriteBytes(target, "earlier");
    std::vector<std::string> entries = test::Entries(dir.path());
    entries.insert(entries.end(), {"stderr.txt", "stdout.txt"});
    int outOfMemory = 0;
    bool written = false;
    for (int megabytes = 8; !written && megabytes <= 512; megabytes += 2) {
        const CommandRun run =
            Extract(dir, "export '" + listing + "' -o '" + target + "' --variable Displacements",
                    "ulimit -v " + std::to_string(megabytes * 1024) + "; ");
        written = run.status == 0;
        if (run.status == 127 ||
            (run.status == 1 && run.err.find("7: Out of memory") != std::string::npos &&
             !run.err.starts_with("velto-extract: cannot write"))) {
            continue;  // too little room to start the program, or to read the listing
        }
        ASSERT_TRUE(run.status == 0 || run.status == 1)
            << run.status << " under a cap of " << megabytes << " MiB: " << run.err;
        if (!written) {
            EXPECT_EQ(run.err, "velto-extract: cannot write " + target + ": Out of memory\n")
                << megabytes << " MiB";
            EXPECT_EQ(test::ReadBytes(target), "earlier");
            EXPECT_EQ(test::Entries(dir.path()), entries) << megabytes << " MiB";
            ++outOfMemory;
        }
    }
    EXPECT_TRUE(written) << "not even under a cap of 512 MiB";
    EXPECT_GT(outOfMemory, 0) << "no cap left the workbook too little room";
}

// --format goes before the extension, wherever it stands; a name without one of ours is xls.
TEST_F(ExtractExport, FormatFollowsTheExtensionUnlessGiven) {
    const auto starts = [&](const std::string& name, const std::string& options) {
        const CommandRun run = Extract(dir, "export '" + listing + "' --output='" + dir.File(name) +
                                                "' --variable=Displacements --to 3 " + options);
        EXPECT_EQ(run.status, 0) << run.err;
        return test::ReadBytes(dir.File(name)).substr(0, 4);
    };
    const std::string xls("\x09\x00\x04\x00", 4);
    EXPECT_EQ(starts("c.txt", ""), xls);
    EXPECT_EQ(starts("f.xls", "--format=CSV"), "Vari");
    EXPECT_EQ(starts("g.csv", "--format xls"), xls);
}

// The SHA-256 of a file, or of a workbook's parts (each name and its bytes, in the order the
// workbook keeps them) but the one that holds the moment it was saved.
std::string Digest(const std::string& path) {
    const std::string digest = test::CommandOutput(
        "python3 -c 'import hashlib, sys, zipfile\n"
        "data = open(sys.argv[1], \"rb\").read()\n"
        "if data[:2] == b\"PK\":\n"
        "    book = zipfile.ZipFile(sys.argv[1])\n"
        "    data = b\"\".join(n.encode() + book.read(n) for n in book.namelist()\n"
        "                     if n != \"docProps/core.xml\")\n"
        "print(hashlib.sha256(data).hexdigest())' '" +
        path + "'");
    return digest.substr(0, digest.find('\n'));
}

// Without page settings every file is what the exports wrote before there were any, byte for
// byte: the digests were taken from the program as it stood then, run on these very listings.
// A sheet of many values is written while it is read, by a path of its own.
TEST_F(ExtractExport, WithoutPageSettingsTheFilesAreAsBefore) {
    const std::string frame = listing;
    UseListing("many.out", {.nodes = 255, .times = 260});
    const std::string many = listing;
    UseListing("small.out", {.nodes = 12, .times = 2});
    const struct {
        std::string args;
        const char* file;
        const char* digest;
    } cases[] = {
        {"export '" + frame + "' --variable Displacements --vector DOF2", "rows.xls",
         "46e662aaf13f68090d7d14cca765b7a70b6f23d535244350cce12cd5ecbb28d8"},
        {"export '" + frame + "' --variable 'Beam Stresses' --columns", "columns.xls",
         "eb5777cb29dc5304af9ecd5c34d50b32909223896f30e4f279406b40df54ab4a"},
        {"export '" + frame + "' --variable 'Beam Stresses' --columns", "columns.xlsx",
         "eafe9bb7c3d45a4733c5dc90f2fd6c000f0dda0eeb098844d43083255c57babb"},
        {"export '" + frame + "' --variable 'Beam Stresses' --columns", "columns.csv",
         "8c158c7199139ea1799c3f1f784c4d3dde86de2bfbf0c7d25dea992ce5a558e0"},
        {"export '" + frame + "' --variable Displacements --vector DOF2", "rows.xlsx",
         "531d9c9c3d0540e834865097fdb1836ec5cdc81f9bfd310aa97e173fa0194287"},
        {"export '" + frame + "' --variable Displacements --vector DOF2", "rows.csv",
         "929b221bd7ff9bc517409ed74ce39d854defde5e146345630eb46ec576933ab1"},
        {"export '" + many + "' --variable Displacements", "many.xls",
         "7cebe5f0d792e1f911d5744b890baf9a6ed1f468a00e25cca92a3a5d8a3422c0"},
        {"export '" + many + "' --variable Displacements", "many.xlsx",
         "93768bf38c8fb0d688da396a91c9a7d63b70424a26236ef263fc6c2471ae95a0"},
        {"export '" + frame + "' --all", "all.xlsx",
         "901d54d0a7acd9a0947f8714c89d0d9de178c66bf4910b65393f02f8eac3b4c6"},
        {"compare '" + frame + "' '" + listing + "' --variable Displacements --item 3",
         "compare.xls", "0593218ce9d2df4802921055a83ab580d303b389977f6ff8c74d254fb374faa5"},
        {"compare '" + frame + "' '" + listing + "' --variable Displacements --item 3",
         "compare.xlsx", "b9c30da7c4bc040af1104121b4acacadd9f9ffe2d34445708642bffae14d439f"},
    };
    for (const auto& c : cases) {
        const CommandRun run = Extract(dir, c.args + " -o '" + dir.File(c.file) + "'");
        ASSERT_EQ(run.status, 0) << c.args << "\n" << run.err;
        EXPECT_EQ(Digest(dir.File(c.file)), c.digest) << c.file;
    }
}

// A row per node holds what a row per time holds, turned: for a range of nodes that starts past
// the first, and for every sixth node, each row under its own node's label.
TEST_F(ExtractExport, ARowPerNodeIsARowPerTimeTurned) {
    auto cells = [](const std::string& text) {
        std::vector<std::vector<std::string>> rows;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            std::vector<std::string>& row = rows.emplace_back();
            std::istringstream fields(line);
            for (std::string field; std::getline(fields, field, ',');) {
                row.push_back(field);
            }
        }
        return rows;
    };
    for (const char* nodes : {"--from 4 --to 9", "--from 5 --to 29 --step 6"}) {
        SCOPED_TRACE(nodes);
        const std::string options = std::string("--variable Displacements --vector DOF2 ") + nodes;
        ASSERT_EQ(Export("-o '" + dir.File("times.csv") + "' " + options).status, 0);
        ASSERT_EQ(Export("-o '" + dir.File("nodes.csv") + "' --columns " + options).status, 0);
        const auto byTime = cells(test::ReadBytes(dir.File("times.csv")));
        const auto byNode = cells(test::ReadBytes(dir.File("nodes.csv")));
        ASSERT_EQ(byTime.size(), 3u + 6);  // three heading rows and the six times
        ASSERT_EQ(byNode.size(), 3u + byTime[2].size() - 1);
        for (std::size_t t = 3; t < byTime.size(); ++t) {
            for (std::size_t n = 0; n < byTime[t].size(); ++n) {
                // Row t, column n of one is row n, column t - 2 of the other: the time column
                // and the heading row swap places, the node's label heads its row.
                const std::string& turned =
                    n == 0 ? byNode[2].at(t - 2) : byNode.at(n + 2).at(t - 2);
                EXPECT_EQ(turned, byTime[t][n]) << "time row " << t << ", column " << n;
            }
        }
        for (std::size_t n = 1; n < byTime[2].size(); ++n) {
            EXPECT_EQ(byNode.at(n + 2).at(0), byTime[2][n]);
        }
    }
}

// The page options reach every way a sheet is written: a small export, one written while it is
// read, a comparison, and each sheet of a workbook of every variable. The .xls records follow the
// font; the margins are read by the C rules, also in the decimal-comma run of this suite.
TEST_F(ExtractExport, PageOptionsReachEverySheet) {
    using namespace std::string_literals;
    const std::string frame = listing;
    UseListing("many.out", {.nodes = 255, .times = 260});
    const std::string many = listing;
    const std::string page = " --header H --column-width 12 --margins 0.5,0.5,1.25,1";
    auto margin = [](char record, double inches) {
        std::string bytes = std::string(1, record) + "\0\x08\0"s;
        const auto bits = std::bit_cast<std::uint64_t>(inches);
        for (int i = 0; i < 8; ++i) {
            bytes += static_cast<char>(bits >> (8 * i));
        }
        return bytes;
    };
    // The records after the font: the header, the margins, the width of columns 1..last.
    auto records = [&](char last) {
        return "\x14\0\x02\0\x01H"s + margin('\x26', 0.5) + margin('\x27', 0.5) +
               margin('\x28', 1.25) + margin('\x29', 1) + "\x24\0\x04\0\0"s + last + "\0\x0C"s +
               "\x04\0"s;
    };
    const struct {
        std::string args;
        const char* file;
        std::string records;
    } sheets[] = {
        {"export '" + frame + "' --variable Displacements", "small.xls", records('\x1E')},
        {"export '" + many + "' --variable Displacements", "many.xls", records('\xFF')},
        {"compare '" + frame + "' '" + many + "' --variable Displacements --item 3", "compare.xls",
         records('\x02')},
    };
    for (const auto& s : sheets) {
        const CommandRun run = Extract(dir, s.args + page + " -o '" + dir.File(s.file) + "'");
        ASSERT_EQ(run.status, 0) << s.args << "\n" << run.err;
        EXPECT_EQ(test::ReadBytes(dir.File(s.file)).substr(22, s.records.size()), s.records)
            << s.file;
    }

    const CommandRun all = Extract(dir, "export '" + frame + "' --all --gridlines --protect" +
                                            page + " -o '" + dir.File("all.xlsx") + "'");
    ASSERT_EQ(all.status, 0) << all.err;
    const std::string settings =
        test::CommandOutput(std::string("'") + VELTO_PYTHON + "' '" + VELTO_XLSXCELLS +
                            "' --page '" + dir.File("all.xlsx") + "'");
    // A sheet's columns are its table's: the nodes', the beams' or the fibres' and one more.
    for (const char* sheet : {"sheet1.xml\ncols 1-31 12.7109375\n", "sheet8.xml\ncols 1-7 ",
                              "sheet11.xml\ncols 1-13 "}) {
        EXPECT_NE(settings.find(sheet), std::string::npos) << sheet << "\n" << settings;
    }
    const std::string each = "protection -\ngridlines\nmargins 0.5 0.5 1.25 1\nheader H\n";
    std::size_t count = 0;
    for (std::size_t at = settings.find(each); at != std::string::npos;
         at = settings.find(each, at + 1)) {
        ++count;
    }
    std::size_t sheetCount = 0;
    for (std::size_t at = settings.find(".xml\n"); at != std::string::npos;
         at = settings.find(".xml\n", at + 1)) {
        ++sheetCount;
    }
    EXPECT_EQ(count, sheetCount) << settings;
    EXPECT_GT(count, 10u);
}

// Page options where they cannot go are refused before anything is read, naming why.
TEST_F(ExtractExport, PageOptionsWithoutAPlaceAreRefused) {
    const std::string options = "'" + listing + "' --variable Displacements -o '";
    const std::pair<std::string, const char*> cases[] = {
        {"export " + options + dir.File("a.csv") + "' --gridlines", "a CSV file has no pages"},
        {"export " + options + dir.File("a.xls") + "' --password pw",
         "--password needs an .xlsx file"},
        {"export " + options + dir.File("a.xlsx") + "' --column-width 12abc",
         "--column-width takes a whole number of characters"},
        {"export " + options + dir.File("a.xlsx") + "' --margins 0,5,0,5,0,5,0,5",
         "--margins takes four numbers of inches"},
        {"export " + options + dir.File("a.xlsx") + "' --footer \"$(printf '\\316\\251')\"",
         "--footer holds a character that the sheets' texts (Windows-1252) do not have"},
        {"plot " + options + dir.File("a.svg") + "' --header H", "are for spreadsheets"},
        {"compare '" + listing + "' " + options + dir.File("a.svg") + "' --item 1 --protect",
         "are for spreadsheets"},
    };
    for (const auto& [args, reason] : cases) {
        const CommandRun run = Extract(dir, args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_EQ(run.err.rfind("velto-extract: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(reason), std::string::npos) << reason << "\n" << run.err;
    }
    EXPECT_EQ(test::Entries(dir.path()),
              (std::vector<std::string>{"frame.out", "stderr.txt", "stdout.txt"}));
}

}  // namespace
}  // namespace velto
