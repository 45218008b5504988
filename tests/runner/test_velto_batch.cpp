#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/harness/harness.h"

namespace velto {
namespace {

using test::BatchCommand;
using test::Ended;
using test::Says;
using test::SaysNone;

// velto-batch as a user runs it.
class VeltoBatch : public ::testing::Test {
  protected:
    // velto-batch's records, and the lock files in and beside their folder.
    std::string Records() const { return dir.File("config/Velto Shell/velto-batch"); }
    std::vector<std::string> LockFiles() const {
        std::vector<std::string> locks;
        for (const std::string& folder : {Records(), dir.File("config/Velto Shell")}) {
            for (const std::string& name : test::Entries(folder)) {
                if (name.ends_with(".lock")) {
                    locks.push_back(name);
                }
            }
        }
        return locks;
    }
    std::string Input(const std::string& name, std::vector<std::string> directives = {}) {
        directives.insert(directives.begin(), "PACE 0");
        return test::StandInInput(dir, name, directives);
    }
    // The solver folder given relative to ours: the solver starts in its input file's folder and
    // must still be found.
    BatchCommand Run(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"--solver-folder", std::filesystem::relative(VELTO_STANDIN_DIR).string()});
        return RunAsGiven(std::move(args));
    }
    BatchCommand RunAsGiven(std::vector<std::string> args) {
        return test::RunVeltoBatch(dir, {.args = std::move(args), .seconds = 60});
    }
    test::ScratchDir dir;
};

TEST_F(VeltoBatch, StatusOfEachFileAndTheExitStatus) {
    BatchCommand run = Run(
        {Input("beam1"), Input("beam2", {"EXIT 3"}), Input("beam3"), Input("beam5", {"EXIT 3"})});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(Says(
        run.out,
        {"beam1.in: Completed (", "beam2.in: Velto ended with exit code 3\n", "beam2.in: Failed (",
         "beam3.in: Completed (", "Batch finished: 2 Completed, 2 Failed, 0 Aborted in 0:0"},
        true));
    EXPECT_TRUE(SaysNone(run.out, {"time ="}));  // no console text unless asked
    // Its record stays for --resume; a lock file only while a batch runs.
    ASSERT_EQ(test::Entries(Records()).size(), 1u);
    EXPECT_EQ(LockFiles(), std::vector<std::string>());

    // --resume runs again what did not complete, saying why it failed, though no console text
    // was shown: the failed file, now mended; one deleted since is skipped, said once, and is not
    // asked for again.
    Input("beam2");
    std::filesystem::remove(dir.File("beam5.in"));
    run = Run({"--resume"});
    EXPECT_EQ(run.status, 1) << run.out;  // the skipped file did not complete
    EXPECT_TRUE(Says(
        run.out, {"beam2.in: Failed last time: Velto ended with exit code 3\n",
                  "velto-batch: no such input file: " + dir.File("beam5.in") + "; it is skipped\n",
                  "beam2.in: Completed"}));
    EXPECT_TRUE(SaysNone(run.out, {"beam1.in"}));
    const std::string gone = Input("gone", {"EXIT 3"});  // every file left is deleted
    Run({gone});
    std::filesystem::remove(gone);
    run = Run({"--resume"});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(run.out,
              "gone.in: Failed last time: Velto ended with exit code 3\n"
              "velto-batch: no such input file: " +
                  gone +
                  "; it is skipped\nNothing left to resume: no file of that batch can be "
                  "run now.\n");
    run = Run({"--resume"});
    EXPECT_TRUE(Ended(run, 0, {"nothing to resume"}));

    // A list a window keeps but never ran is not taken up by --resume, nor removed; a record
    // larger than any of ours is kept aside unread, and not claimed to have completed.
    const std::string listed = Records() + "/00000000-000000-000-2.json";
    test::WriteBytes(listed,
                     "{\"rows\": [{\"path\": \"" + Input("waits") + "\", \"status\": \"\"}]}");
    const std::string large = Records() + "/00000000-000000-000-1.json";
    test::WriteBytes(large, "");
    ASSERT_EQ(::truncate(large.c_str(), (64 << 20) + 1), 0);
    run = Run({"--resume"});
    EXPECT_EQ(run.status, 1);  // what that record held is not known to have completed
    EXPECT_TRUE(SaysNone(run.out, {"waits.in"}));
    EXPECT_TRUE(std::filesystem::exists(listed));
    EXPECT_TRUE(Says(run.out, {"velto-batch: the batch record " + large +
                                   " cannot be read; it was kept as " + large + ".unreadable\n",
                               "Nothing to resume of the batches that could be read: each "
                               "completed or runs now (0 running); 1 batch record(s) could not "
                               "be read.\n"}));
    EXPECT_EQ(LockFiles(), std::vector<std::string>());
}

// --resume never loses a record it cannot take whole: one of the right form with values of
// other types is kept aside unread, and one naming files that cannot be run now (a path that is
// not full, which would run from whatever folder is current; a name the solver would not read) is
// kept aside too, while its other files run. Either way the exit status says not everything ran.
TEST_F(VeltoBatch, ResumeKeepsAsideTheRecordsItCannotTakeWhole) {
    std::filesystem::create_directories(Records());
    const std::string damaged = Records() + "/00000000-000000-000-1.json";
    const std::string named = Records() + "/00000000-000000-000-2.json";
    const std::string damagedText = "{\"rows\": [{\"path\": \"" + Input("other") +
                                    "\", \"status\": \"Failed\", \"reason\": [1]}]}";
    const std::string namedText =
        "{\"rows\": [{\"path\": \"relative.in\", \"status\": \"Failed\"}, "
        "{\"path\": \"" +
        Input("fine") +
        "\", \"status\": \"Aborted\"}, "
        "{\"path\": \"" +
        dir.File("beam.txt") + "\", \"status\": \"Failed\"}]}";
    test::WriteBytes(damaged, damagedText);
    test::WriteBytes(named, namedText);
    BatchCommand run = Run({"--resume"});
    EXPECT_TRUE(
        Ended(run, 1,
              {"velto-batch: relative.in: not a full path, so its folder is not known\n",
               "velto-batch: " + dir.File("beam.txt") + ": the solver is given",
               "velto-batch: the batch record " + named +
                   " names files that cannot be run now; it was kept as " + named + ".unreadable\n",
               "fine.in: Completed"}));
    EXPECT_EQ(test::ReadBytes(named + ".unreadable"), namedText);
    EXPECT_TRUE(SaysNone(run.out, {"other.in"}));
    run = Run({"--resume"});
    EXPECT_TRUE(Ended(run, 1,
                      {"velto-batch: the batch record " + damaged +
                       " cannot be read; it was kept as " + damaged + ".unreadable\n"}));
    EXPECT_EQ(test::ReadBytes(damaged + ".unreadable"), damagedText);
    EXPECT_TRUE(SaysNone(run.out, {"other.in"}));
    // Kept aside for a file it names, with nothing else to run: not "every file completed".
    test::WriteBytes(named, "{\"rows\": [{\"path\": \"again.in\", \"status\": \"Failed\"}]}");
    run = Run({"--resume"});
    EXPECT_TRUE(Ended(run, 1, {"Nothing else to resume"}));
    EXPECT_TRUE(SaysNone(run.out, {"completed"}));
}

// A file whose solver completed after its batch ended (in the moments before a kill, the record
// still saying Running; or after a stop, Aborted) is not run again: its listing, written since
// the batch started and since the input last changed, holding the whole analysis to the end
// time, makes it Completed, and the user is told. Any other listing leaves it to run again.
TEST_F(VeltoBatch, ResumeTakesAnAnalysisThatCompletedAfterItsBatch) {
    const QDateTime started = QDateTime::currentDateTimeUtc().addSecs(-1);
    const std::vector<std::string> names = {"ran", "stopped", "cut", "old", "edited", "failed"};
    std::vector<std::string> args;
    for (const std::string& name : names) {
        args.push_back(Input(name));
    }
    ASSERT_EQ(Run(args).status, 0);  // every listing whole, the record gone
    const std::string cut = test::ReadBytes(dir.File("cut.out"));
    test::WriteBytes(dir.File("cut.out"), cut.substr(0, cut.size() - 40));
    // Written before the batch started, after its input: an earlier run's.
    const auto now = std::filesystem::file_time_type::clock::now();
    std::filesystem::last_write_time(dir.File("old.in"), now - std::chrono::hours(2));
    std::filesystem::last_write_time(dir.File("old.out"), now - std::chrono::hours(1));
    Input("edited");
    const std::vector<std::string> statuses = {"Running", "Aborted", "Running",
                                               "Aborted", "Running", "Failed"};
    std::string rows;
    for (std::size_t i = 0; i < names.size(); ++i) {
        rows += std::string(i ? ", " : "") + "{\"path\": \"" + dir.File(names[i] + ".in") +
                "\", \"status\": \"" + statuses[i] + "\"}";
    }
    std::filesystem::create_directories(Records());
    test::WriteBytes(Records() + "/00000000-000000-000-1.json",
                     "{\"rows\": [" + rows + "], \"started\": \"" +
                         started.toString(Qt::ISODateWithMs).toStdString() + "\"}");
    const BatchCommand run = Run({"--resume"});
    EXPECT_TRUE(Ended(
        run, 0,
        {"velto-batch: " + dir.File("ran.in") + " completed after its batch ended: its listing " +
             dir.File("ran.out") + " holds the whole analysis; it is taken as Completed\n",
         "velto-batch: " + dir.File("stopped.in") + " completed after its batch ended",
         "cut.in: Running", "old.in: Running", "edited.in: Running", "failed.in: Running",
         "Batch finished: 4 Completed"}));
    EXPECT_TRUE(SaysNone(run.out, {"ran.in: Running", "stopped.in: Running"}));
}

// After each completed run its listing is exported beside it, as velto-extract exports it; a
// failed run has no export, and an export that fails is said and counted without changing the
// file's status.
TEST_F(VeltoBatch, ExportAfterEachRun) {
    // A folder whose name is not text: the export reads and writes there, by its bytes.
    std::filesystem::create_directory(dir.File("r\xE9sultats"));
    // A folder where the export would go: its save says so, naming the file.
    std::filesystem::create_directory(dir.File("boxed.csv"));
    const BatchCommand run =
        Run({"--export", "--variable 'Temperature' --from 2 --to 3 --format csv",
             Input("r\xE9sultats/hot", {"KIND thermal"}), Input("frame"),
             Input("broken", {"KIND thermal", "EXIT 3"}), Input("boxed", {"KIND thermal"})});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(Says(run.out, {"hot.in: Completed", "hot.in: Exported: ", "frame.in: Completed",
                               "frame.in: Export failed: velto-extract: cannot export: the "
                               "listing does not offer \"Temperature\"",
                               "broken.in: Failed",
                               "boxed.in: Export failed: velto-extract: cannot write " +
                                   dir.File("boxed.csv") + ": it is a folder\n",
                               "Batch finished: 3 Completed, 1 Failed, 0 Aborted in 0:0",
                               "; 2 exports failed\n"}));
    EXPECT_FALSE(std::filesystem::exists(dir.File("frame.csv")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("broken.csv")));
    ASSERT_EQ(
        test::Extract(dir, "export '" + dir.File("r\xE9sultats/hot.out") + "' -o '" +
                               dir.File("direct.csv") + "' --variable Temperature --from 2 --to 3")
            .status,
        0);
    EXPECT_EQ(test::ReadBytes(dir.File("r\xE9sultats/hot.csv")),
              test::ReadBytes(dir.File("direct.csv")));
    // The export's word is ours, in UTF-8, and shows as it is amid the solver's console text,
    // which is read as Windows-1252.
    std::filesystem::create_directory(dir.File("Fall \xC3\xA4"));
    const BatchCommand verbose =
        Run({"--verbose", "--export", "--variable Temperature --format csv",
             Input("Fall \xC3\xA4/warm", {"KIND thermal"})});
    EXPECT_TRUE(Ended(verbose, 0, {"Exported: " + dir.File("Fall \xC3\xA4/warm.csv")}));
    // Resumed, the batch exports as it did.
    Input("broken", {"KIND thermal"});
    const BatchCommand resumed = Run({"--resume"});
    EXPECT_TRUE(Says(resumed.out, {"Exporting after each run as the batch did: --variable "
                                   "Temperature --from 2 --to 3 --format csv"}));
    EXPECT_TRUE(std::filesystem::exists(dir.File("broken.csv"))) << resumed.out;
}

// A file held by another batch's solver says why, even without --verbose, and the others run;
// the reason's name is escaped as the status lines' are. Names that begin with '-', are not
// UTF-8 or hold control characters run as given and print with their control characters and
// stray bytes escaped; --resume runs such a name again byte for byte.
TEST_F(VeltoBatch, OddFilesSayWhyAndOddNamesRunAsGiven) {
    const std::string held = Input("\xC3\xA9-esc\x1b]0;PWNED\x07");
    const int hold = ::open(held.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(hold, LOCK_EX), 0);
    const std::string latin1 = "caf\xe9";
    const std::string escape = "red\x1b[31m";
    BatchCommand run =
        Run({"--jobs", "2", "--", held, Input("-dash"), Input(latin1, {"EXIT 3"}), Input(escape)});
    ::close(hold);
    EXPECT_EQ(run.status, 1) << run.out;
    const std::string shown = "\xC3\xA9-esc\\x1b]0;PWNED\\x07.in";
    EXPECT_TRUE(Says(run.out,
                     {shown + ": " + dir.File(shown) +
                          " is being run already (by another batch, or by a solver "
                          "still running)\n",
                      "-dash.in: Completed", "caf\\xe9.in: Failed", "red\\x1b[31m.in: Completed"}));
    EXPECT_TRUE(SaysNone(run.out, {"\x1b"}));
    EXPECT_TRUE(std::filesystem::exists(dir.File(escape + ".out")));

    Input(latin1);
    run = Run({"--resume"});
    EXPECT_TRUE(Says(run.out, {"caf\\xe9.in: Completed"}));
    EXPECT_TRUE(std::filesystem::exists(dir.File(latin1 + ".out")));
}

// Without a solver folder the window's setting names it. --verbose shows the console text in
// Windows-1252, as the window does: the bytes 0x80 and 0xB2 are the euro sign and the
// superscript two.
// The solver's control characters cannot act on the terminal: they show escaped, as names do.
TEST_F(VeltoBatch, TheWindowsSolverAndItsConsoleText) {
    std::filesystem::create_directories(dir.File("config/Velto Shell"));
    test::WriteBytes(dir.File("config/Velto Shell/Velto Shell.ini"),
                     std::string("[Settings]\nVeltoPath=") + VELTO_STANDIN_2004_DIR + "\n");
    const BatchCommand run = RunAsGiven(
        {"--verbose", "--jobs", "2",
         Input("beam1", {"STEPS \x80/mm\xb2", "PACE \x1b[2J\x1b]0;owned\x07\rbeam9.in: Completed"}),
         Input("beam4")});
    EXPECT_TRUE(Ended(
        run, 0,
        {"Velto Ver. 2004", "time = 100.00", "STANDIN STEPS \u20ac/mm\u00b2\n",
         "STANDIN PACE \\x1b[2J\\x1b]0;owned\\x07\nbeam9.in: Completed", "beam4.in: Completed"}));
    // A carriage return cannot send the cursor back over a line to print over it.
    EXPECT_TRUE(SaysNone(run.out, {"\x1b[2J", "\x1b]0", "\r"}));
}

// velto-batch exports with the velto-extract beside it, installed or built, and with no other:
// not one the PATH finds, nor one in a build tree.
TEST_F(VeltoBatch, ExportsWithTheVeltoExtractBesideIt) {
    const std::string bin = dir.File("bin");
    std::filesystem::create_directories(bin);
    std::filesystem::copy_file(VELTO_BATCH_BIN, bin + "/velto-batch");
    const std::string path = dir.File("path");
    std::filesystem::create_directories(path);
    test::WriteBytes(path + "/velto-extract", "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(path + "/velto-extract", std::filesystem::perms::owner_all);
    const test::BatchCall call = {
        .program = bin + "/velto-batch",
        .args = {"--solver-folder", VELTO_STANDIN_DIR, "--export", "--all", Input("beam1")},
        .path = path + ":/usr/bin:/bin"};
    BatchCommand run = test::RunVeltoBatch(dir, call);
    EXPECT_TRUE(Ended(run, 2, {"velto-batch: " + bin + "/velto-extract cannot be started"}));
    std::filesystem::create_symlink(VELTO_EXTRACT_BIN, bin + "/velto-extract");
    run = test::RunVeltoBatch(dir, call);
    EXPECT_TRUE(Ended(run, 0, {"beam1.in: Exported: "}));
    EXPECT_TRUE(std::filesystem::exists(dir.File("beam1.xlsx")));
}

// Ctrl+C stops the batch as Stop does; so do a closed terminal (SIGHUP) and a shutdown
// (SIGTERM), said in a line, rather than ending the program with its solver left running.
TEST_F(VeltoBatch, CtrlCAbortsTheRunningFileAndStartsNoOther) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        // A file of its own each time: the solver stopped the time before ends at its next line
        // and holds its file until then.
        const std::string stopped = "stopped" + std::to_string(signal);
        BatchCommand run = test::RunVeltoBatch(
            dir, {.args = {"--solver-folder", VELTO_STANDIN_DIR, Input("beam1"),
                           Input(stopped, {"STEPS 100", "PACE 0.1"}), Input("beam3")},
                  .interruptAfter = stopped + ".in: Running",
                  .interrupt = signal});
        EXPECT_TRUE(Ended(run, 1, {"beam1.in: Completed", stopped + ".in: Aborted"}));
        EXPECT_TRUE(SaysNone(run.out, {"beam3.in"}));
        EXPECT_EQ(run.out.find("stopping the batch") != std::string::npos, signal != SIGINT);
    }
}

// What velto-batch refuses before anything runs, or reaches a cluster, with exit status 2: the
// reason in a line, then where the help is, never the help itself. Without a solver it names
// the folder searched, why that one, and the option that names another; a solver file that
// cannot be run is named with why.
TEST_F(VeltoBatch, UsageErrorsExitWithTwo) {
    const std::string input = Input("beam1");
    const std::string give =
        "velto-batch: give the folder that holds the solver with --solver-folder DIR\n";
    BatchCommand run = RunAsGiven({"--solver-folder", dir.File("empty"), input});
    EXPECT_TRUE(Ended(run, 2));
    EXPECT_EQ(run.out, "velto-batch: no Velto solver in " + dir.File("empty") +
                           " (the folder given with --solver-folder)\n" + give);
    std::filesystem::create_directories(dir.File("config/Velto Shell"));
    test::WriteBytes(dir.File("config/Velto Shell/Velto Shell.ini"),
                     "[Settings]\nVeltoPath=" + dir.File("gone") + "\n");
    run = RunAsGiven({input});
    EXPECT_EQ(run.out, "velto-batch: no Velto solver in " + dir.File("gone") +
                           " (the solver folder the VeltoShell window remembers)\n" + give);
    std::filesystem::create_directories(dir.File("plain"));
    test::WriteBytes(dir.File("plain/velto"), "not a program\n");
    std::filesystem::create_directories(dir.File("folder/velto2004"));
    std::filesystem::create_directories(dir.File("dangling"));
    std::filesystem::create_symlink(dir.File("nowhere"), dir.File("dangling/velto"));
    for (const auto& [folder, why] : std::vector<std::pair<std::string, std::string>>{
             {"plain/velto", "is not executable"},
             {"folder/velto2004", "is a folder, not a program"},
             {"dangling/velto", "is a link to nothing, not a program"}}) {
        run = RunAsGiven({"--solver-folder", dir.File(folder.substr(0, folder.find('/'))), input});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "velto-batch: " + dir.File(folder) + " " + why +
                               " (in the folder given with --solver-folder)\n" + give);
    }
    EXPECT_TRUE(Ended(RunAsGiven({"--help"}), 0, {"Usage: velto-batch", "--solver-folder DIR"}));
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"--jobs", "0", "x.in"},
                                               {"--bogus"},
                                               {"--export", "--variable 'Beam", input},
                                               {"--export", "", input},
                                               {"--export", "--all --format csv", input},
                                               {"--partition", "p", input},
                                               {"--detach", input},
                                               {"--slurm", "--jobs", "2", input},
                                               {"--slurm", "--max-running", "0", input},
                                               {"--follow", "42", input},
                                               {"--follow"}}) {
        run = RunAsGiven(args);
        EXPECT_TRUE(Ended(run, 2, {"Try 'velto-batch --help' for more information.\n"}));
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2) << run.out;
    }
    // Files the solver would run wrongly (the rule is the model's): each refused by its name,
    // nothing run.
    std::filesystem::create_symlink(input, dir.File("link.in"));
    run = Run({input, dir.File("link.in"), dir.File("missing.in")});
    EXPECT_TRUE(
        Ended(run, 2,
              {"velto-batch: " + dir.File("link.in") + " is the same input file as " + input,
               "no such input file: " + dir.File("missing.in"), "Try 'velto-batch --help'"}));
    EXPECT_TRUE(SaysNone(run.out, {"Usage:"}));
    EXPECT_FALSE(std::filesystem::exists(dir.File("beam1.out")));
    // No sbatch: one line, no usage text.
    run =
        test::RunVeltoBatch(dir, {.args = {"--slurm", "--solver-folder", VELTO_STANDIN_DIR, input},
                                  .path = dir.path().string()});
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(run.out,
              "velto-batch: sbatch was not found on the PATH: a batch goes to the cluster from a "
              "machine with the Slurm commands\n");
}

// Two batches at once each keep their own record. --resume leaves a batch that still runs alone
// and takes, once it has died, the files it left unfinished, even though another batch ran and
// completed beside it. A file whose
// solver outlived its killed batch is not run again beside it, until that solver has ended; the
// hold on a file is its own solver's alone, never that of another running beside it.
TEST_F(VeltoBatch, BatchesSideBySideKeepTheirOwnRecords) {
    const std::string logA = dir.File("a.txt");
    // a2's solver lets go of its console after its first step and computes on for a minute.
    const pid_t batchA = test::StartVeltoBatch(
        dir,
        {.args = {"--jobs", "2", "--solver-folder", VELTO_STANDIN_DIR, Input("a1"),
                  Input("a2", {"STEPS 2", "CLOSE-OUTPUT 60"}), Input("a3")}},
        logA);
    const std::vector<std::string> aShows = {"a2.in: Running", "a1.in: Completed",
                                             "a3.in: Completed"};
    test::WaitUntil([&] { return bool(Says(test::ReadBytes(logA), aShows)); }, 30);
    ASSERT_TRUE(Says(test::ReadBytes(logA), aShows));

    // a1 ran beside a2's solver, which must not have kept a hold on it.
    BatchCommand run = Run({dir.File("a1.in"), Input("b2")});
    EXPECT_EQ(run.status, 0) << run.out;
    run = Run({"--resume"});
    EXPECT_TRUE(Ended(
        run, 0, {"Nothing to resume: every earlier batch completed or runs now (1 running)."}));

    ::kill(batchA, SIGKILL);
    ::waitpid(batchA, nullptr, 0);
    run = Run({"--resume"});
    EXPECT_TRUE(Ended(run, 1,
                      {"a2.in: " + dir.File("a2.in") +
                       " is being run already (by another batch, or by a solver still "
                       "running)\na2.in: Failed"}));

    // Once that solver has ended, a2 runs again.
    const std::vector<int> orphans = test::ProcessesIn(dir.path());
    ASSERT_EQ(orphans.size(), 1u);
    ::kill(orphans[0], SIGKILL);
    test::WaitUntil([&] { return test::StateOf(orphans[0]) == 'Z' || !test::StateOf(orphans[0]); },
                    10);
    Input("a2");
    run = Run({"--resume"});
    EXPECT_TRUE(Ended(run, 0, {"a2.in: Completed"}));
    EXPECT_TRUE(SaysNone(run.out, {"a1.in", "a3.in", "b2.in"}));
    // Completed batches leave no record behind.
    for (const std::string& name : test::Entries(Records())) {
        EXPECT_FALSE(name.ends_with(".json")) << name;
    }
}

}  // namespace
}  // namespace velto
